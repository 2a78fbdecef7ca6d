// kv7702r's output taken in by the systems fleets log into, each the real program from its
// Debian package on a loopback port of its own: InfluxDB through its HTTP write endpoint,
// and an MQTT broker through mosquitto_pub -l. Missing packages are installed by
// scripts/deps; a test never skips for want of them.

#include "../sim/sim_harness.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <netinet/in.h>
#include <regex>
#include <sstream>
#include <sys/socket.h>

using namespace simtest;

namespace {

constexpr milliseconds kDeadline{60000};
// A polling interval while a server starts, not a synchronisation delay.
constexpr milliseconds kPoll{50};

std::vector<std::string> nonEmptyLines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (!l.empty()) out.push_back(l);
    return out;
}

// The program's full path: on PATH, or in /usr/sbin, where Debian puts servers, for a
// user whose PATH lacks it; empty when it is not installed.
std::string locate(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(std::string(path ? path : "/usr/bin:/bin") + ":/usr/sbin");
    for (std::string d; std::getline(dirs, d, ':');)
        if (!d.empty() && access((d + "/" + program).c_str(), X_OK) == 0) return d + "/" + program;
    return {};
}

// A loopback port nobody listens on now.
int freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0;
    close(fd);
    return ok ? ntohs(a.sin_port) : -1;
}

class Consumers : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.ok());
        // The programs come from scripts/deps, as on a fresh machine.
        const std::vector<std::string> needed{"influxd", "curl", "mosquitto", "mosquitto_pub",
                                              "mosquitto_sub"};
        if (!std::all_of(needed.begin(), needed.end(),
                         [](const std::string& p) { return !locate(p).empty(); })) {
            const Outcome deps = run("/bin/bash", {KV_SOURCE_DIR "/scripts/deps"});
            ASSERT_EQ(deps.code, 0) << deps.err;
        }
        for (const auto& p : needed)
            ASSERT_FALSE(locate(p).empty()) << p << " is missing after scripts/deps";
        // A port path that needs the line protocol's escapes.
        link_ = dir_.file("tty bus,1=a");
        // Two sensors drifting apart from their own seeds; nobody at address 113.
        ASSERT_EQ(sim_.start(KV_SIM_BINARY,
                             {"--link", link_, "--address", "3", "--address", "37", "--seed", "11"},
                             dir_.file("sim.err")),
                  "");
        const auto line = sim_.readLine(Clock::now() + kStartupDeadline);
        ASSERT_TRUE(line && line->rfind("ready ", 0) == 0) << sim_.stderrText();
    }

    struct Outcome {
        std::optional<int> code;
        std::string out;
        std::string err;
    };

    void TearDown() override {
        sim_.terminate();
        // The servers' own folders; TempDir removes only the files it named.
        if (!data_.empty()) std::filesystem::remove_all(data_);
    }

    Outcome run(const std::string& program, const std::vector<std::string>& args) {
        Outcome r;
        Child c;
        const std::string err = c.start(program[0] == '/' ? program : locate(program), args,
                                        dir_.file("err." + std::to_string(++runs_)));
        EXPECT_EQ(err, "");
        if (!err.empty()) return r;
        r.out = c.readAll(Clock::now() + kDeadline);
        r.code = c.wait(Clock::now() + kDeadline);
        r.err = c.stderrText();
        return r;
    }

    // Polls until `ready` holds; false at the deadline.
    template <typename F> bool waitFor(F ready) {
        const auto deadline = Clock::now() + kDeadline;
        while (!ready()) {
            if (Clock::now() >= deadline) return false;
            std::this_thread::sleep_for(kPoll);
        }
        return true;
    }

    // kv7702r read over the three addresses piped into `consumer` (a shell command line
    // reading stdin), with what kv7702r wrote kept in `copy`; the pipeline's exit code.
    std::optional<int> pipeRead(const std::string& format, const std::string& copy,
                                const std::string& consumer, const std::vector<std::string>& consumerArgs) {
        std::vector<std::string> args{"-c",
                                      "set -o pipefail; \"$0\" read --port \"$1\" --rate 19200 --timeout 300 "
                                      "--retries 0 --address 3,37,113 --count 3 " +
                                          format + " | tee \"$2\" | " + consumer,
                                      KV_CLI_BINARY, link_, copy};
        args.insert(args.end(), consumerArgs.begin(), consumerArgs.end());
        const Outcome r = run("bash", args);
        EXPECT_TRUE(r.err.find("never answered: 113") != std::string::npos) << r.err;
        return r.code;
    }

    TempDir dir_;
    std::string link_;
    std::string data_;
    Child sim_;
    int runs_ = 0;
};

TEST_F(Consumers, InfluxDbStoresEveryReadingUnderItsPortAndAddress) {
    const int http = freePort();
    const int rpc = freePort();
    ASSERT_GT(http, 0);
    ASSERT_GT(rpc, 0);
    data_ = dir_.file("influx");
    const std::string& data = data_;
    const std::string config = dir_.file("influxdb.conf");
    {
        std::ofstream c(config);
        c << "reporting-disabled = true\n"
          << "bind-address = \"127.0.0.1:" << rpc << "\"\n"
          << "[meta]\n  dir = \"" << data << "/meta\"\n"
          << "[data]\n  dir = \"" << data << "/data\"\n  wal-dir = \"" << data << "/wal\"\n"
          << "  query-log-enabled = false\n"
          << "[http]\n  bind-address = \"127.0.0.1:" << http << "\"\n  log-enabled = false\n"
          << "[monitor]\n  store-enabled = false\n"
          << "[continuous_queries]\n  enabled = false\n";
    }
    Child server;
    ASSERT_EQ(server.start(locate("influxd"), {"run", "-config", config}, dir_.file("influxd.err")), "");
    const std::string base = "http://127.0.0.1:" + std::to_string(http);
    ASSERT_TRUE(waitFor([&] {
        return run("curl", {"-s", "-o", "/dev/null", "-w", "%{http_code}", base + "/ping"}).out == "204";
    })) << readFile(dir_.file("influxd.err"));
    ASSERT_EQ(run("curl",
                  {"-sS", "--fail", "-XPOST", base + "/query", "--data-urlencode", "q=CREATE DATABASE fleet"})
                  .code,
              0);

    const std::string written = dir_.file("written.lp");
    // A silent sensor makes kv7702r exit 3; curl and tee succeeded when that is the code.
    EXPECT_EQ(pipeRead("--influx", written, "curl -sS --fail -XPOST \"$3\" --data-binary @-",
                       {base + "/write?db=fleet"}),
              3);

    // What kv7702r said, per address in order: moisture and temperature, or the status.
    std::map<int, std::vector<std::string>> sent;
    const std::regex point(
        R"re(soil,address=(\d+),port=(?:\\.|[^ \\])+ (?:moisture=([-0-9.]+),temperature=([-0-9.]+),)?.*status="(\w+)".*)re");
    for (const auto& l : nonEmptyLines(readFile(written))) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, point)) << l;
        sent[std::stoi(m[1])].push_back(m[4] == "ok" ? std::string(m[2]) + " " + std::string(m[3]) : m[4]);
    }
    const Outcome q =
        run("curl", {"-sS", "--fail", "-G", base + "/query", "--data-urlencode", "db=fleet",
                     "--data-urlencode", "q=SELECT moisture, temperature, status FROM soil GROUP BY *"});
    ASSERT_EQ(q.code, 0) << q.err;
    std::map<int, std::vector<std::string>> stored;
    for (const auto& series :
         QJsonDocument::fromJson(QByteArray::fromStdString(q.out))[u"results"][0][u"series"].toArray()) {
        EXPECT_EQ(series[u"tags"][u"port"].toString().toStdString(), link_) << "the port tag unescaped whole";
        auto& values = stored[series[u"tags"][u"address"].toString().toInt()];
        for (const auto& row : series[u"values"].toArray()) // time, moisture, temperature, status
            values.push_back(row[3].toString() == QLatin1String("ok") ? QStringLiteral("%1 %2")
                                                                            .arg(row[1].toDouble(), 0, 'f', 2)
                                                                            .arg(row[2].toDouble(), 0, 'f', 2)
                                                                            .toStdString()
                                                                      : row[3].toString().toStdString());
    }
    EXPECT_EQ(stored, sent) << q.out;
    EXPECT_EQ(sent[113], std::vector<std::string>(3, "timeout")) << "a failed reading keeps its point";
    server.terminate();
}

TEST_F(Consumers, MosquittoCarriesTheJsonLinesOneMessageEach) {
    const int port = freePort();
    ASSERT_GT(port, 0);
    const std::string config = dir_.file("mosquitto.conf");
    {
        std::ofstream c(config);
        c << "listener " << port << " 127.0.0.1\nallow_anonymous true\npersistence false\n";
    }
    Child broker;
    ASSERT_EQ(broker.start(locate("mosquitto"), {"-c", config}, dir_.file("mosquitto.err")), "");
    const std::string p = std::to_string(port);
    const std::vector<std::string> to{"-h", "127.0.0.1", "-p", p, "-q", "1", "-t", "fleet/soil"};
    std::vector<std::string> probe = to;
    probe.insert(probe.end(), {"-m", "probe"});
    ASSERT_TRUE(waitFor([&] { return run("mosquitto_pub", probe).code == 0; }))
        << readFile(dir_.file("mosquitto.err"));
    Child sub;
    std::vector<std::string> subArgs = to;
    subArgs.insert(subArgs.end(), {"-C", "1000"});
    ASSERT_EQ(sub.start(locate("mosquitto_sub"), subArgs, dir_.file("sub.err")), "");
    // The subscriber listens once a probe comes through; probes sent before that are lost,
    // later ones are skipped below.
    ASSERT_TRUE(waitFor([&] {
        if (run("mosquitto_pub", probe).code != 0) return false;
        auto l = sub.readLine(Clock::now() + milliseconds(200));
        return l && *l == "probe";
    })) << readFile(dir_.file("sub.err"));

    const std::string written = dir_.file("written.jsonl");
    EXPECT_EQ(pipeRead("--json", written, "mosquitto_pub -l -h 127.0.0.1 -p \"$3\" -q 1 -t fleet/soil", {p}),
              3);
    const auto sentLines = nonEmptyLines(readFile(written));
    ASSERT_EQ(sentLines.size(), 9u);
    std::vector<std::string> got;
    while (got.size() < sentLines.size()) {
        const auto l = sub.readLine(Clock::now() + kDeadline);
        if (!l) break;
        if (*l != "probe") got.push_back(*l);
    }
    EXPECT_EQ(got, sentLines) << "line for line, in order";
    EXPECT_NE(got.front().find("\"port\":\"" + link_ + "\",\"address\":3,"), std::string::npos)
        << got.front();
    sub.terminate();
    broker.terminate();
}

} // namespace

// kv7702r over the network as a user runs it: against pymodbus's TCP server (a peer nobody
// here wrote) with its RTU framer and with Modbus TCP, and against the virtual sensor as a
// device server, a gateway and DTUs that dial in.

#include "../sim/sim_harness.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>

using namespace simtest;

namespace {

constexpr milliseconds kRunDeadline{60000};

struct Ran {
    std::optional<int> code;
    std::string out;
    std::string err;
};

// A loopback port nothing listens on now.
int freePort() {
    Listener l;
    return l.port();
}

class Remote : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir_.ok()); }

    // Starts a peer (ending none before it); its stdout is its log.
    Child& start(const std::string& program, const std::vector<std::string>& args) {
        peers_.push_back(std::make_unique<Child>());
        const std::string err =
            peers_.back()->start(program, args, dir_.file("peer.err." + std::to_string(peers_.size())));
        EXPECT_EQ(err, "");
        return *peers_.back();
    }
    // The virtual sensor on a TCP link; the port it listens on.
    int serve(const char* mode, std::vector<std::string> extra) {
        extra.insert(extra.begin(), {mode, "0", "--moisture", "30", "--temperature", "22", "--seed", "3"});
        Child& sim = start(KV_SIM_BINARY, extra);
        const auto ready = sim.readLine(Clock::now() + kStartupDeadline);
        std::smatch m;
        EXPECT_TRUE(ready && std::regex_search(*ready, m, std::regex(R"(:(\d+)$)"))) << sim.stderrText();
        return ready && m.size() > 1 ? std::stoi(m[1]) : 0;
    }
    // Waits until something accepts connections on the port.
    static bool accepting(int port) {
        const auto deadline = Clock::now() + kStartupDeadline;
        for (;;) {
            SerialLine probe;
            if (connectTcp(probe, port)) return true;
            if (Clock::now() > deadline) return false;
            std::this_thread::sleep_for(milliseconds(50)); // retry interval, not a synchronisation delay
        }
    }

    Ran kv(const std::vector<std::string>& args) {
        Ran r;
        Child c;
        const std::string err = c.start(KV_CLI_BINARY, args, dir_.file("kv.err." + std::to_string(++runs_)));
        EXPECT_EQ(err, "");
        if (!err.empty()) return r;
        r.out = c.readAll(Clock::now() + kRunDeadline);
        r.code = c.wait(Clock::now() + kRunDeadline);
        r.err = c.stderrText();
        return r;
    }

    TempDir dir_;
    std::vector<std::unique_ptr<Child>> peers_;
    int runs_ = 0;
};

} // namespace

TEST_F(Remote, ReadsThroughPymodbusAsDeviceServerAndAsGateway) {
    // Registers 0..8: moisture 23.45 %, temperature 21.50 C, then the parameters.
    const std::vector<std::string> registers{"2345", "2150", "10000", "1500", "9000",
                                             "100",  "9940", "4965",  "1"};
    for (const auto& [framer, scheme] : {std::pair{"rtu", "tcp"}, std::pair{"socket", "modbus-tcp"}}) {
        SCOPED_TRACE(framer);
        const int port = freePort();
        std::vector<std::string> args{KV_PYMODBUS_SERVER, framer, std::to_string(port)};
        args.insert(args.end(), registers.begin(), registers.end());
        start("/usr/bin/python3", args);
        ASSERT_TRUE(accepting(port)) << peers_.back()->stderrText();
        const std::string where = std::string(scheme) + "://127.0.0.1:" + std::to_string(port);

        const Ran read = kv({"read", "--port", where, "--count", "2", "--csv", "-"});
        EXPECT_EQ(read.code, 0) << read.err;
        EXPECT_EQ(countOf(read.out, ",1,23.45,21.50,"), 2) << read.out;

        const Ran params = kv({"params", "--port", where});
        EXPECT_EQ(params.code, 0) << params.err;
        for (const char* row : {"moisture-offset .* raw  1500", "moisture-max .* raw  9000",
                                "moisture-min .* raw   100", "la .* raw  9940", "of .* raw  4965"})
            EXPECT_TRUE(std::regex_search(params.out, std::regex(row))) << row << "\n" << params.out;
    }
}

TEST_F(Remote, DeviceServerRepliesInSegmentsAndComesBackAfterDroppingItsClient) {
    // A reply in three segments 30 ms apart is read whole, by its length.
    const int split = serve("--tcp", {"--split", "3", "--split-gap", "30"});
    const Ran segments =
        kv({"read", "--port", "tcp://127.0.0.1:" + std::to_string(split), "--count", "3", "--csv", "-"});
    EXPECT_EQ(segments.code, 0) << segments.err;
    const auto rows = lines(segments.out);
    ASSERT_EQ(rows.size(), 4u) << segments.out;
    for (std::size_t i = 1; i < rows.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_search(rows[i], m, std::regex(R"(,1,30\.00,[0-9.]+,([0-9.]+),ok$)")))
            << rows[i];
        EXPECT_GE(std::stod(m[1]), 60.0) << "a reply taken before its last segment";
    }
    EXPECT_NE(segments.err.find("0 late replies"), std::string::npos) << segments.err;
    EXPECT_FALSE(std::regex_search(segments.err, std::regex("[1-9][0-9]* noise bursts"))) << segments.err;

    // A server that drops its client and goes away for a while: rows "port lost", then values again.
    const int dropping = serve("--tcp", {"--drop-after", "2", "--down-for", "1500"});
    const Ran outage = kv({"read", "--port", "tcp://127.0.0.1:" + std::to_string(dropping), "--every", "250",
                           "--count", "14", "--csv", "-"});
    EXPECT_EQ(outage.code, 3) << outage.err;
    const std::string text = outage.out;
    const auto lost = text.find("port lost");
    ASSERT_NE(lost, std::string::npos) << text;
    EXPECT_NE(text.find(",ok", lost), std::string::npos) << "never measured again:\n" << text;
    EXPECT_EQ(countOf(text, ",ok"), 14 - countOf(text, "port lost")) << text;
    // Dropped after every second reply: each outage is counted.
    EXPECT_TRUE(std::regex_search(outage.err, std::regex(R"(port lost [1-9] time\(s\))"))) << outage.err;
}

TEST_F(Remote, GatewayMatchesRepliesByTransaction) {
    // Every third reply comes 400 ms late, after a 200 ms timeout, while the next parameter
    // is asked: shaped like its answer, it must never be shown for it.
    const int late = serve("--modbus-tcp", {"--late-every", "3", "--late-by", "400"});
    const Ran params = kv({"params", "--port", "modbus-tcp://127.0.0.1:" + std::to_string(late), "--timeout",
                           "200", "--retries", "0"});
    EXPECT_EQ(params.code, 3) << params.err;
    // The sim's defaults: p0 10000, p1 0, p2 10000, p3 0, p4 10000, p5 5000.
    const char* const held[] = {"10000", "0", "10000", "0", "10000", "5000"};
    const auto rows = lines(params.out);
    ASSERT_EQ(rows.size(), 7u) << params.out;
    int shown = 0;
    for (int i = 0; i < 6; ++i) {
        std::smatch m;
        if (!std::regex_search(rows[static_cast<std::size_t>(i)], m, std::regex(R"(raw +(\d+))"))) continue;
        ++shown;
        EXPECT_EQ(m[1], held[i]) << rows[static_cast<std::size_t>(i)];
    }
    EXPECT_GE(shown, 3) << params.out;

    // The gateway's own answers, no path to the unit and the unit silent, are no reply (exit 3)
    // in the gateway's words.
    struct Case {
        std::vector<std::string> sim;
        std::string address;
        int code;
        const char* status;
    };
    const Case cases[] = {
        {{}, "9", 3, "no reply: exception 0A Gateway Path Unavailable"},
        {{"--silence", "1", "--gateway-timeout", "50"}, "1", 3, "no reply: exception 0B Gateway Target"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        const int port = serve("--modbus-tcp", c.sim);
        const Ran r = kv({"read", "--port", "modbus-tcp://127.0.0.1:" + std::to_string(port), "--address",
                          c.address, "--csv", "-"});
        EXPECT_EQ(r.code, c.code) << r.err;
        EXPECT_NE(r.out.find(c.status), std::string::npos) << r.out;
    }
}

TEST_F(Remote, DtusThatDialInAreEachTheirOwnBus) {
    const int port = freePort();
    const std::string server = "127.0.0.1:" + std::to_string(port);
    Child tool;
    ASSERT_EQ(tool.start(KV_CLI_BINARY,
                         {"read", "--port", "listen://" + server, "--address", "1,2", "--count", "6",
                          "--every", "300", "--dtus", "2", "--heartbeat", "HB", "--heartbeat", "ALIVE",
                          "--registration-wait", "300", "--json"},
                         dir_.file("listen.err")),
              "");
    // Two DTUs whose sensors hold different values, with heartbeats between requests and
    // replies; the second drops its connection after three replies and dials in again.
    start(KV_SIM_BINARY, {"--dial",
                          server,
                          "--registration",
                          R"(KV\x00\x01)",
                          "--heartbeat",
                          "HB",
                          "--heartbeat-every",
                          "1",
                          "--heartbeat-before-reply",
                          "2",
                          "--address",
                          "1",
                          "--address",
                          "2",
                          "--moisture",
                          "11",
                          "--temperature",
                          "22",
                          "--redial-after",
                          "100"});
    start(KV_SIM_BINARY, {"--dial",
                          server,
                          "--registration",
                          "DTU-2",
                          "--heartbeat",
                          "ALIVE",
                          "--heartbeat-before-reply",
                          "3",
                          "--address",
                          "1",
                          "--address",
                          "2",
                          "--moisture",
                          "22",
                          "--temperature",
                          "22",
                          "--split",
                          "2",
                          "--drop-after",
                          "3",
                          "--redial-after",
                          "100"});
    const std::string out = tool.readAll(Clock::now() + kRunDeadline);
    const auto code = tool.wait(Clock::now() + kRunDeadline);
    const std::string err = tool.stderrText();
    EXPECT_EQ(code, 3) << err; // the drop costs measurements
    const std::string first = "listen://" + server + "/KV%00%01";
    const std::string second = "listen://" + server + "/DTU-2";
    int ok = 0;
    for (const std::string& row : lines(out)) {
        std::smatch m;
        ASSERT_TRUE(
            std::regex_search(row, m, std::regex(R"re("port":"([^"]+)".*"moisture_percent":([^,]+),)re")))
            << row;
        ASSERT_TRUE(m[1] == first || m[1] == second) << row;
        if (m[2] == "null") continue;
        ++ok;
        EXPECT_EQ(m[2], m[1] == first ? "11.00" : "22.00") << row;
    }
    EXPECT_EQ(countOf(out, first), 12) << out;
    EXPECT_EQ(countOf(out, second), 12) << out;
    EXPECT_GE(ok, 12 + 4) << out;
    EXPECT_NE(err.find(first + ": dialled in 1 time(s)"), std::string::npos) << err;
    // Dropped after every third reply, it dials in again and goes on under its name.
    EXPECT_TRUE(std::regex_search(err, std::regex(second + R"(: dialled in [2-9] time\(s\))"))) << err;
    EXPECT_FALSE(std::regex_search(err, std::regex("[1-9][0-9]* noise bursts")))
        << "a heartbeat left in the stream\n"
        << err;
}

TEST_F(Remote, AddressesThatCannotBeReached) {
    Listener untouched; // a malformed address must send nothing, not even connect
    const std::string at = "127.0.0.1:" + std::to_string(untouched.port());
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string said;
    };
    const Case cases[] = {
        {{"read", "--port", "udp://" + at}, 1, "unknown scheme 'udp'"},
        {{"read", "--port", "tcp://127.0.0.1:65536"}, 1, "port 65536 is outside 1-65535"},
        {{"read", "--port", "tcp://" + at + "/1"}, 1, "no port number"},
        {{"params", "--port", "listen://" + at}, 1, "read from only"},
        {{"address", "--port", "modbus-tcp://" + at}, 1, "scan"},
        {{"read", "--port", "tcp://" + at, "--heartbeat", "HB"}, 1, "for --port listen://"},
        {{"read", "--port", "tcp://" + at, "--dtus-wait", "5"}, 1, "for --port listen://"},
        {{"read", "--port", "listen://" + at, "--reconnect-after", "2"},
         1,
         "is for --port tcp:// and modbus-tcp://"},
        {{"read", "--port", "tcp://127.0.0.1:" + std::to_string(freePort())}, 2, "connection refused"},
        {{"read", "--port", "modbus-tcp://no-such-host.invalid"},
         2,
         "modbus-tcp://no-such-host.invalid: unknown host"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[2]);
        const Ran r = kv(c.args);
        EXPECT_EQ(r.code, c.code) << r.err;
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    }
    SerialLine none;
    EXPECT_FALSE(untouched.accept(none, Clock::now() + milliseconds(1)));
}

// DTUs that would share a name are kept apart: two live ones with one registration (a cloned
// configuration), two that register with nothing (from one address, as behind a carrier's NAT);
// a registration that comes late in its moment still names the bus; the wait for --dtus ends
// at --dtus-wait, saying who came; and a timeout outranks an earlier bad reply in the exit code.
TEST_F(Remote, DtusNeverShareABus) {
    struct Case {
        const char* what;
        std::vector<const char*> registrations; // one DTU each; "" registers nothing
        std::vector<std::string> tool;          // besides the port
        std::vector<std::string> sim;           // besides each DTU's values
        int code;
        int rows;                      // per bus
        std::vector<std::string> said; // on stderr, as regular expressions
    };
    const std::string longest(300, 'R');
    const Case cases[] = {
        {"one registration",
         {"KV-1", "KV-1"},
         {"--dtus", "2"},
         {},
         0,
         3,
         {R"(two DTUs register as KV-1, from 127\.0\.0\.1:\d+ and from 127\.0\.0\.1:\d+: the second is read as )"
          R"(KV-1@127\.0\.0\.1:\d+)"}},
        {"no registration", {"", ""}, {"--dtus", "2"}, {}, 0, 3, {R"(/127\.0\.0\.1:\d+ dialled in)"}},
        {"a registration 200 ms after connecting",
         {"KV-1"},
         {},
         {"--registration-after", "200"},
         0,
         3,
         {R"(listen://127\.0\.0\.1:\d+/KV-1 dialled in)"}},
        // Its old connection left open and unanswered: the DTU takes its own bus again.
        {"a DTU that dials in again while its old connection hangs",
         {"KV-1"},
         {},
         {"--stall-after", "2", "--redial-after", "100"},
         0,
         3,
         {R"(listen://127\.0\.0\.1:\d+/KV-1: dialled in 2 time\(s\))"}},
        {"fewer than --dtus",
         {"KV-1"},
         {"--dtus", "2", "--dtus-wait", "1500"},
         {},
         3,
         3,
         {R"(1 of 2 DTUs dialled in within 1\.5 s: listen://127\.0\.0\.1:\d+/KV-1 \(127\.0\.0\.1:\d+\))"}},
        {"a registration of 300 bytes",
         {longest.c_str()},
         {},
         {},
         0,
         3,
         {R"(127\.0\.0\.1:\d+ registered with more than 256 bytes: the first 256 name it)"}},
        // Address 1 refuses every request (a bad reply), address 2 is absent (a timeout).
        {"a timeout after a bad reply",
         {"KV-1"},
         {"--address", "1,2", "--timeout", "200", "--retries", "0"},
         {"--exception", "1"},
         3,
         6,
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const int port = freePort();
        const std::string server = "127.0.0.1:" + std::to_string(port);
        std::vector<std::string> args{"read",    "--port", "listen://" + server,  "--count", "3",
                                      "--every", "200",    "--registration-wait", "300",     "--json"};
        args.insert(args.end(), c.tool.begin(), c.tool.end());
        Child tool;
        ASSERT_EQ(tool.start(KV_CLI_BINARY, args, dir_.file(std::string("dtus.err.") + c.what)), "");
        // Each DTU's sensor holds its own moisture: 11, 12.
        for (std::size_t i = 0; i < c.registrations.size(); ++i) {
            std::vector<std::string> sim{"--dial",        server, "--moisture", std::to_string(11 + i),
                                         "--temperature", "22"};
            if (*c.registrations[i]) sim.insert(sim.end(), {"--registration", c.registrations[i]});
            sim.insert(sim.end(), c.sim.begin(), c.sim.end());
            start(KV_SIM_BINARY, sim);
        }
        const std::string out = tool.readAll(Clock::now() + kRunDeadline);
        const auto code = tool.wait(Clock::now() + kRunDeadline);
        const std::string err = tool.stderrText();
        EXPECT_EQ(code, c.code) << err;
        for (const std::string& said : c.said)
            EXPECT_TRUE(std::regex_search(err, std::regex(said))) << said << "\n" << err;
        // Every bus's rows carry one DTU's values: no rows alternate between two.
        std::map<std::string, std::set<std::string>> values;
        for (const std::string& row : lines(out)) {
            std::smatch m;
            ASSERT_TRUE(
                std::regex_search(row, m, std::regex(R"re("port":"([^"]+)".*"moisture_percent":([^,]+),)re")))
                << row;
            values[m[1]].insert(m[2]);
        }
        EXPECT_EQ(values.size(), c.registrations.size()) << out;
        for (const auto& [bus, seen] : values) {
            EXPECT_EQ(seen.size(), 1u) << bus << "\n" << out;
            EXPECT_EQ(countOf(out, "\"port\":\"" + bus + "\""), c.rows) << out;
        }
        peers_.clear();
    }
}

// Device servers and gateways that close a connection left quiet, or keep a session open that
// no longer answers: the connection is made anew, the readings go on, and the summary says so.
TEST_F(Remote, LinksThatCloseOrStallKeepTheirReadings) {
    struct Case {
        const char* mode;
        std::vector<std::string> sim;
        std::vector<std::string> tool;
        int code;
        int ok; // rows with values
        const char* said;
    };
    const std::vector<std::string> stalling{"--every",   "100", "--count",   "6",
                                            "--timeout", "200", "--retries", "0"};
    const Case cases[] = {
        {"--tcp",
         {"--idle-close", "300"},
         {"--every", "500", "--count", "4"},
         0,
         4,
         "connection made anew 3 time(s): 3 ended by the other end between requests"},
        {"--modbus-tcp",
         {"--idle-close", "300"},
         {"--every", "500", "--count", "4"},
         0,
         4,
         "connection made anew 3 time(s): 3 ended by the other end between requests"},
        {"--tcp", {"--stall-after", "2"}, stalling, 3, 3, "1 after requests in a row went unanswered"},
        {"--modbus-tcp", {"--stall-after", "2"}, stalling, 3, 3, "1 after requests in a row went unanswered"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.mode) + " " + c.sim.front());
        const int port = serve(c.mode, c.sim);
        const std::string scheme = std::string(c.mode) == "--tcp" ? "tcp" : "modbus-tcp";
        std::vector<std::string> args{"read", "--port", scheme + "://127.0.0.1:" + std::to_string(port),
                                      "--csv", "-"};
        args.insert(args.end(), c.tool.begin(), c.tool.end());
        const Ran r = kv(args);
        EXPECT_EQ(r.code, c.code) << r.err;
        EXPECT_EQ(countOf(r.out, ",ok"), c.ok) << r.out;
        EXPECT_EQ(countOf(r.out, "port lost"), 0) << r.out;
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    }
}

// listen:// without a host takes DTUs over IPv4 and IPv6 alike.
TEST_F(Remote, ListensOnEveryInterfaceForBothFamilies) {
    const int port = freePort();
    Child tool;
    ASSERT_EQ(tool.start(KV_CLI_BINARY,
                         {"read", "--port", "listen://:" + std::to_string(port), "--dtus", "2", "--dtus-wait",
                          "20000", "--registration-wait", "300", "--csv", "-"},
                         dir_.file("families.err")),
              "");
    const std::pair<const char*, const char*> dtus[] = {{"127.0.0.1", "KV-4"}, {"[::1]", "KV-6"}};
    for (const auto& [host, registration] : dtus)
        start(KV_SIM_BINARY,
              {"--dial", std::string(host) + ":" + std::to_string(port), "--registration", registration});
    const std::string out = tool.readAll(Clock::now() + kRunDeadline);
    EXPECT_EQ(tool.wait(Clock::now() + kRunDeadline), 0) << tool.stderrText();
    for (const auto& [host, registration] : dtus)
        EXPECT_EQ(countOf(out, std::string("/") + registration + ","), 1) << host << "\n" << out;
}

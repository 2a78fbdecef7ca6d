// Cross-checks the sim against mbpoll, a Modbus master written by someone else.

#include "sim_harness.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sstream>

using namespace simtest;

namespace {

std::string findMbpoll() {
    const char *path = std::getenv("PATH");
    std::stringstream dirs(std::string(path ? path : "") + ":/usr/bin:/usr/local/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (dir.empty())
            continue;
        const std::string candidate = dir + "/mbpoll";
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

struct MbpollResult {
    int status = -1;
    std::string output;
    std::map<int, long> values; // reference -> value, from "[ref]: value" lines
};

// Runs mbpoll with these arguments and gathers its output and values.
MbpollResult runMbpoll(const std::string& mbpoll, const std::vector<std::string>& args, TempDir& dir) {
    MbpollResult r;
    Child child;
    const std::string err = child.start(mbpoll, args, dir.file("mbpoll.err"));
    EXPECT_EQ(err, "");
    if (!err.empty()) return r;
    r.output = child.readAll(Clock::now() + milliseconds(15000));
    r.status = child.wait(Clock::now() + milliseconds(15000)).value_or(-1);
    r.output += child.stderrText();
    const std::regex valueLine(R"(\[(\d+)\]:\s+(-?\d+))");
    for (std::sregex_iterator it(r.output.begin(), r.output.end(), valueLine), end; it != end; ++it)
        r.values[std::stoi((*it)[1])] = std::stol((*it)[2]);
    return r;
}

// Starts a sim with these arguments and returns its ready line.
std::string startSim(Child& sim, const std::vector<std::string>& args, TempDir& dir) {
    EXPECT_EQ(sim.start(KV_SIM_BINARY, args, dir.file("sim.err")), "");
    const auto line = sim.readLine(Clock::now() + kStartupDeadline);
    EXPECT_TRUE(line.has_value()) << sim.stderrText();
    return line.value_or("");
}

class SimMbpoll : public ::testing::Test {
  protected:
    void SetUp() override {
        mbpoll_ = findMbpoll();
        ASSERT_FALSE(mbpoll_.empty()) << "mbpoll not found in PATH; install the Debian package 'mbpoll'";
        ASSERT_TRUE(dir_.ok());
        link_ = dir_.file("ttyKV");
        startSim(sim_, {"--link", link_, "--moisture", "30", "--temperature", "22", "--seed", "5"}, dir_);
    }

    // Runs mbpoll once, 19200 8N1, 0-based references, register table 3 or 4.
    MbpollResult run(int table, int reference, int count, std::optional<long> writeValue = std::nullopt) {
        std::vector<std::string> args{"-m", "rtu",
                                      "-a", "1",
                                      "-b", "19200",
                                      "-P", "none",
                                      "-t", std::to_string(table),
                                      "-r", std::to_string(reference),
                                      "-0", "-1",
                                      "-o", "5"};
        if (!writeValue) {
            args.push_back("-c");
            args.push_back(std::to_string(count));
        }
        args.push_back(link_);
        if (writeValue)
            args.push_back(std::to_string(*writeValue));
        return runMbpoll(mbpoll_, args, dir_);
    }

    // The same registers read directly, after mbpoll has closed the port.
    std::vector<uint16_t> readDirect(uint16_t start, uint16_t count) {
        SerialLine line;
        EXPECT_TRUE(line.open(link_, 19200));
        Bytes req{1,
                  0x03,
                  static_cast<uint8_t>(start >> 8),
                  static_cast<uint8_t>(start),
                  0,
                  static_cast<uint8_t>(count)};
        uint16_t c = 0xFFFF;
        for (uint8_t b : req) {
            c ^= b;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? static_cast<uint16_t>((c >> 1) ^ 0xA001) : static_cast<uint16_t>(c >> 1);
        }
        req.push_back(static_cast<uint8_t>(c & 0xFF));
        req.push_back(static_cast<uint8_t>(c >> 8));
        const Bytes reply = line.transact(req, 5u + 2u * count);
        std::vector<uint16_t> out;
        if (reply.size() != 5u + 2u * count)
            return out;
        for (size_t i = 0; i < count; ++i)
            out.push_back(static_cast<uint16_t>((reply[3 + 2 * i] << 8) | reply[4 + 2 * i]));
        return out;
    }

    std::string mbpoll_;
    TempDir dir_;
    std::string link_;
    Child sim_;
};

} // namespace

TEST_F(SimMbpoll, ReadsMeasurementsAndParameters) {
    const auto meas = run(4, 0, 2);
    ASSERT_EQ(meas.status, 0) << meas.output;
    ASSERT_EQ(meas.values.size(), 2u) << meas.output;
    EXPECT_EQ(meas.values.at(0), 3000);

    const auto params = run(4, 2, 6);
    ASSERT_EQ(params.status, 0) << params.output;
    const std::map<int, long> defaults{{2, 10000}, {3, 0}, {4, 10000}, {5, 0}, {6, 10000}, {7, 5000}};
    EXPECT_EQ(params.values, defaults) << params.output;

    const auto direct = readDirect(0, 2);
    ASSERT_EQ(direct.size(), 2u);
    EXPECT_EQ(meas.values.at(1), direct[1]) << "mbpoll and a direct read disagree on the temperature";

    const auto input = run(3, 8, 1);
    ASSERT_EQ(input.status, 0) << input.output;
    EXPECT_EQ(input.values.at(8), readDirect(8, 1).at(0));
}

TEST_F(SimMbpoll, WritesParameterAndReadsItBack) {
    // Moisture offset +2.50 %.
    const auto write = run(4, 0x0A02, 1, 250);
    ASSERT_EQ(write.status, 0) << write.output;
    EXPECT_NE(write.output.find("Written 1 reference"), std::string::npos) << write.output;

    const auto back = run(4, 0, 4);
    ASSERT_EQ(back.status, 0) << back.output;
    EXPECT_EQ(back.values.at(3), 250);
    EXPECT_EQ(back.values.at(0), 3250) << "the offset must show in the moisture";

    const auto direct = readDirect(3, 1);
    ASSERT_EQ(direct.size(), 1u);
    EXPECT_EQ(direct[0], 250);
}

TEST_F(SimMbpoll, ReportsIllegalAddress) {
    const auto r = run(4, 9, 1);
    EXPECT_NE(r.status, 0);
    EXPECT_TRUE(r.values.empty()) << r.output;
    EXPECT_NE(r.output.find("Illegal data address"), std::string::npos) << r.output;
}

// libmodbus reads the sim's gateway and names the gateway exceptions by their standard names.
TEST(SimMbpollTcp, ReadsTheGatewayAndItsExceptions) {
    const std::string mbpoll = findMbpoll();
    ASSERT_FALSE(mbpoll.empty()) << "mbpoll not found in PATH; install the Debian package 'mbpoll'";
    struct Case {
        std::vector<std::string> simArgs;
        int unit;
        std::map<int, long> values; // empty: the read fails with `message`
        const char* message;
    };
    const std::vector<std::string> bus{"--address",  "1",  "--address",     "37",
                                       "--moisture", "30", "--temperature", "22"};
    std::vector<std::string> silent = bus;
    silent.insert(silent.end(), {"--silence", "1", "--gateway-timeout", "100"});
    const Case cases[] = {
        {bus, 37, {{0, 3000}, {2, 10000}}, ""},
        {bus, 5, {}, "Gateway path unavailable"},
        {silent, 1, {}, "Target device failed to respond"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.unit);
        TempDir dir;
        Child sim;
        std::vector<std::string> args{"--modbus-tcp", "0"};
        args.insert(args.end(), c.simArgs.begin(), c.simArgs.end());
        std::smatch port;
        const std::string ready = startSim(sim, args, dir);
        ASSERT_TRUE(std::regex_match(ready, port, std::regex(R"(ready modbus-tcp 127\.0\.0\.1:(\d+))")))
            << ready;
        const auto r = runMbpoll(mbpoll,
                                 {"-m", "tcp", "-a", std::to_string(c.unit), "-p", port[1], "-t", "4", "-r",
                                  "0", "-c", "3", "-0", "-1", "-o", "2", "127.0.0.1"},
                                 dir);
        if (c.values.empty()) {
            EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
            continue;
        }
        ASSERT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(r.values.at(0), c.values.at(0));
        EXPECT_EQ(r.values.at(2), c.values.at(2));
    }
}

// libmodbus's parity and stop bits reach the sim through a pty (PARENB does not, INPCK does),
// so a sim answers only a master at its own format.
TEST(SimMbpollFormat, AnswersOnlyAMasterAtItsFormat) {
    const std::string mbpoll = findMbpoll();
    ASSERT_FALSE(mbpoll.empty()) << "mbpoll not found in PATH; install the Debian package 'mbpoll'";
    struct Case {
        const char *simParity, *simStopBits, *parity, *stopBits;
        bool answered;
    };
    for (const Case c : {Case{"even", "2", "even", "2", true}, Case{"odd", "1", "odd", "1", true},
                         Case{"none", "1", "none", "1", true}, Case{"even", "2", "none", "2", false},
                         Case{"even", "2", "odd", "2", false}, Case{"even", "2", "even", "1", false},
                         Case{"none", "1", "even", "1", false}}) {
        SCOPED_TRACE(std::string("sim ") + c.simParity + c.simStopBits + ", master " + c.parity + c.stopBits);
        TempDir dir;
        const std::string link = dir.file("ttyKV");
        Child sim;
        startSim(sim, {"--link", link, "--parity", c.simParity, "--stop-bits", c.simStopBits}, dir);
        const auto r = runMbpoll(mbpoll, {"-m",     "rtu", "-a",       "1",  "-b", "19200", "-P",
                                          c.parity, "-s",  c.stopBits, "-t", "4",  "-r",    "2",
                                          "-c",     "1",   "-0",       "-1", "-o", "0.5",   link},
                                 dir);
        EXPECT_EQ(r.status == 0 && r.values.count(2) && r.values.at(2) == 10000, c.answered) << r.output;
    }
}

// Runs the kv7702r-sim binary and talks to it through its pty link.

#include "sim_harness.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <regex>

using namespace simtest;

namespace {

uint16_t crc(const Bytes &b, size_t n) {
    // Bitwise on purpose: an independent check of the sim's table-driven CRC.
    uint16_t c = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        c ^= b[i];
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? static_cast<uint16_t>((c >> 1) ^ 0xA001) : static_cast<uint16_t>(c >> 1);
    }
    return c;
}

Bytes frame(Bytes b) {
    const uint16_t c = crc(b, b.size());
    b.push_back(static_cast<uint8_t>(c & 0xFF));
    b.push_back(static_cast<uint8_t>(c >> 8));
    return b;
}

bool crcOk(const Bytes &b) {
    if (b.size() < 4)
        return false;
    const uint16_t c = crc(b, b.size() - 2);
    return b[b.size() - 2] == (c & 0xFF) && b[b.size() - 1] == (c >> 8);
}

Bytes readRequest(uint8_t address, uint16_t start, uint16_t count) {
    return frame({address, 0x03, static_cast<uint8_t>(start >> 8), static_cast<uint8_t>(start), 0,
                  static_cast<uint8_t>(count)});
}

uint16_t word(const Bytes &reply, size_t index) {
    return static_cast<uint16_t>((reply.at(3 + 2 * index) << 8) | reply.at(4 + 2 * index));
}

double elapsedMs(Clock::time_point since) {
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

bool exists(const std::string &path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

class SimRun : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.ok());
        link_ = dir_.file("ttyKV");
        errPath_ = dir_.file("stderr.txt");
    }

    // Starts the sim and waits for its ready line.
    void launch(std::vector<std::string> extra) {
        std::vector<std::string> args{"--link", link_};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_EQ(sim_.start(KV_SIM_BINARY, args, errPath_), "");
        const auto line = sim_.readLine(Clock::now() + kStartupDeadline);
        ASSERT_TRUE(line.has_value()) << "no ready line; stderr: " << sim_.stderrText();
        ready_ = *line;
    }

    void openLine(int baud = 19200) { ASSERT_TRUE(line_.open(link_, baud)) << std::strerror(errno); }

    TempDir dir_;
    std::string link_;
    std::string errPath_;
    Child sim_;
    SerialLine line_;
    std::string ready_;
};

} // namespace

TEST_F(SimRun, ReadyLineAndMeasurements) {
    launch({"--moisture", "30", "--temperature", "22", "--seed", "3"});
    char target[PATH_MAX] = {};
    ASSERT_GT(readlink(link_.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(ready_, "ready " + link_ + " -> " + target);
    EXPECT_EQ(std::string(target).rfind("/dev/", 0), 0u) << target;

    openLine();
    const Bytes reply = line_.transact(readRequest(1, 0, 2), 9);
    ASSERT_EQ(reply.size(), 9u);
    EXPECT_TRUE(crcOk(reply));
    EXPECT_EQ(reply[0], 1);
    EXPECT_EQ(reply[1], 3);
    EXPECT_EQ(reply[2], 4);
    EXPECT_EQ(word(reply, 0), 3000);
    const auto t = static_cast<int16_t>(word(reply, 1));
    EXPECT_GT(t, 2200) << "an uncalibrated reading is expected to be off";
    EXPECT_LT(t, 2800);

    const double ohm = 100.0 * (1 + 3.9083e-3 * 22 - 5.775e-7 * 22 * 22);
    const Bytes r8 = line_.transact(readRequest(1, 8, 1), 7);
    ASSERT_EQ(r8.size(), 7u);
    EXPECT_TRUE(crcOk(r8));
    EXPECT_EQ(word(r8, 0), std::lround((1.006 * ohm + 0.35) * 100));
}

TEST_F(SimRun, IgnoresOtherAddressAndResyncsAfterNoise) {
    launch({"--address", "7", "--verbose"});
    openLine();
    Bytes noisy{0x55};
    const Bytes req = readRequest(7, 0, 1);
    noisy.insert(noisy.end(), req.begin(), req.end());
    const Bytes reply = line_.transact(noisy, 7);
    ASSERT_EQ(reply.size(), 7u);
    EXPECT_EQ(reply[0], 7);
    EXPECT_TRUE(crcOk(reply));

    ASSERT_TRUE(line_.send(readRequest(1, 0, 1)));
    // The sim logs the request it chose to ignore, so silence is not just a slow sim.
    const auto deadline = Clock::now() + kReplyDeadline;
    std::optional<std::string> logged;
    while ((logged = sim_.readLine(deadline)) && logged->find("<< 01 03") == std::string::npos) {
    }
    ASSERT_TRUE(logged.has_value());
    EXPECT_TRUE(line_.quietFor(milliseconds(300)));
}

TEST_F(SimRun, RecoversFromLineNoise) {
    launch({"--turnaround", "0"});
    openLine(115200);
    uint32_t x = 12345;
    for (int burst = 0; burst < 16; ++burst) {
        Bytes noise(256);
        for (auto &b : noise)
            b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 16);
        ASSERT_TRUE(line_.send(noise));
    }
    // Noise may leave a partial frame that swallows the next request; a retry after the
    // inter-frame silence must get through.
    const auto deadline = Clock::now() + kReplyDeadline;
    Bytes reply;
    while (Clock::now() < deadline) {
        ASSERT_TRUE(line_.send(readRequest(1, 2, 1)));
        reply = line_.receive(7, Clock::now() + milliseconds(500));
        if (reply.size() == 7 && crcOk(reply) && word(reply, 0) == 10000)
            break;
    }
    EXPECT_EQ(reply, frame({0x01, 0x03, 0x02, 0x27, 0x10}));
    EXPECT_EQ(sim_.terminate(SIGTERM), 0) << "the sim must still be alive and exit cleanly";
}

TEST_F(SimRun, VerboseLogFormat) {
    launch({"--verbose"});
    openLine();
    ASSERT_EQ(line_.transact(readRequest(1, 0, 2), 9).size(), 9u);
    const auto deadline = Clock::now() + kReplyDeadline;
    const auto req = sim_.readLine(deadline);
    const auto rep = sim_.readLine(deadline);
    ASSERT_TRUE(req && rep);
    EXPECT_TRUE(std::regex_match(*req, std::regex(R"(\d\d:\d\d:\d\d\.\d{3} << 01 03 00 00 00 02 C4 0B)")))
        << *req;
    EXPECT_TRUE(std::regex_match(*rep, std::regex(R"(\d\d:\d\d:\d\d\.\d{3} >> 01 03 04( [0-9A-F]{2}){6})")))
        << *rep;
}

TEST_F(SimRun, SurvivesPortCloseAndReopen) {
    launch({});
    for (int round = 0; round < 3; ++round) {
        openLine();
        const Bytes reply = line_.transact(readRequest(1, 2, 1), 7);
        ASSERT_EQ(reply.size(), 7u) << "round " << round;
        EXPECT_EQ(word(reply, 0), 10000);
        line_.close();
    }
}

TEST_F(SimRun, RemovesLinkOnSigterm) {
    launch({});
    ASSERT_TRUE(exists(link_));
    EXPECT_EQ(sim_.terminate(SIGTERM), 0);
    EXPECT_FALSE(exists(link_));
}

TEST_F(SimRun, RemovesLinkOnSigintWhileTalking) {
    launch({});
    openLine();
    ASSERT_EQ(line_.transact(readRequest(1, 0, 1), 7).size(), 7u);
    EXPECT_EQ(sim_.terminate(SIGINT), 0);
    EXPECT_FALSE(exists(link_));
}

TEST_F(SimRun, ReplacesStaleSymlink) {
    ASSERT_EQ(symlink("/nonexistent/kvsim-old", link_.c_str()), 0);
    launch({});
    char target[PATH_MAX] = {};
    ASSERT_GT(readlink(link_.c_str(), target, sizeof target - 1), 0);
    EXPECT_NE(std::string(target), "/nonexistent/kvsim-old");
    openLine();
    EXPECT_EQ(line_.transact(readRequest(1, 0, 1), 7).size(), 7u);
}

TEST_F(SimRun, RefusesToReplaceRegularFile) {
    {
        const int fd = open(link_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, "keep", 4), 4);
        close(fd);
    }
    ASSERT_EQ(sim_.start(KV_SIM_BINARY, {"--link", link_}, errPath_), "");
    EXPECT_EQ(sim_.wait(Clock::now() + kStartupDeadline), 1);
    EXPECT_NE(sim_.stderrText().find("not a symlink"), std::string::npos) << sim_.stderrText();
    EXPECT_EQ(readFile(link_), "keep");
}

TEST_F(SimRun, UsageErrorsExitWithTwo) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--link"},
        {"--link", link_, "--bogus", "1"},
        {"--link", link_, "--bad-crc", "1.5"},
        {"--link", link_, "--silence", "x"},
        {"--link", link_, "--address", "248"},
        {"--link", link_, "--split", "0"},
        {"--link", link_, "--turnaround", "-1"},
        {"--link", link_, "--turnaround", "80..20"},
        {"--link", link_, "--turnaround", "20..x"},
        {"--link", link_, "--late-every", "0"},
        {"--link", link_, "--baud", "fast"},
        {"--link", link_, "stray"},
        {"--link", link_, "--tcp", "0"},
        {"--tcp", "70000"},
        {"--dial", "5000"},
        {"--tcp", "0", "--registration", "KV"},
        {"--dial", "127.0.0.1:1", "--registration", "\\xZZ"},
        {"--dial", "127.0.0.1:1", "--heartbeat-every", "5"},
        {"--link", link_, "--parity", "mark"},
        {"--tcp", "0", "--down-for", "100"},
        {"--modbus-tcp", "0", "--garbage", "2"},
        {"--dial", "127.0.0.1:1", "--idle-close", "100"},
        {"--link", link_, "--stall-after", "2"},
        {"--dial", "127.0.0.1:1", "--registration-after", "200"},
    };
    for (const auto &args : bad) {
        Child c;
        ASSERT_EQ(c.start(KV_SIM_BINARY, args, errPath_), "");
        EXPECT_EQ(c.wait(Clock::now() + kStartupDeadline), 2) << ::testing::PrintToString(args);
        EXPECT_NE(c.stderrText().find("usage:"), std::string::npos);
        EXPECT_FALSE(exists(link_));
    }

    Child help;
    ASSERT_EQ(help.start(KV_SIM_BINARY, {"--help"}, errPath_), "");
    const std::string out = help.readAll(Clock::now() + kStartupDeadline);
    EXPECT_EQ(help.wait(Clock::now() + kStartupDeadline), 0);
    EXPECT_NE(out.find("usage:"), std::string::npos);
    EXPECT_NE(out.find("--split-gap"), std::string::npos);
}

TEST_F(SimRun, BaudFilterAnswersOnlyAtItsRate) {
    launch({"--baud", "9600"});
    openLine(19200);
    ASSERT_TRUE(line_.send(readRequest(1, 0, 1)));
    EXPECT_TRUE(line_.quietFor(milliseconds(400)));

    ASSERT_TRUE(line_.setBaud(9600));
    // A different request size, so a late answer to the first request could not pass for this one.
    const Bytes reply = line_.transact(readRequest(1, 0, 2), 9);
    ASSERT_EQ(reply.size(), 9u);
    EXPECT_EQ(reply[2], 4);
    EXPECT_TRUE(crcOk(reply));
}

TEST_F(SimRun, ReplyIsPacedAtLineRate) {
    launch({"--turnaround", "0"});
    openLine(1200);
    const auto start = Clock::now();
    const Bytes reply = line_.transact(readRequest(1, 0, 2), 9);
    const double ms = elapsedMs(start);
    ASSERT_EQ(reply.size(), 9u);
    // 8-byte request plus 9-byte reply, 10 bits each at 1200 bit/s: a real line cannot be faster.
    EXPECT_GE(ms, (8 + 9) * 10 * 1000.0 / 1200);
}

TEST_F(SimRun, ExtraDelayIsHonoured) {
    launch({"--turnaround", "0", "--delay", "150"});
    openLine(115200);
    const auto start = Clock::now();
    ASSERT_EQ(line_.transact(readRequest(1, 0, 1), 7).size(), 7u);
    EXPECT_GE(elapsedMs(start), 150.0);
}

TEST(SimFaults, SplitReplyArrivesWhole) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string link = dir.file("ttyKV");
    Child sim;
    ASSERT_EQ(
        sim.start(KV_SIM_BINARY, {"--link", link, "--split", "3", "--split-gap", "40"}, dir.file("err")), "");
    ASSERT_TRUE(sim.readLine(Clock::now() + kStartupDeadline).has_value());
    SerialLine line;
    ASSERT_TRUE(line.open(link, 19200));
    const auto start = Clock::now();
    const Bytes reply = line.transact(readRequest(1, 0, 9), 23);
    ASSERT_EQ(reply.size(), 23u);
    EXPECT_TRUE(crcOk(reply));
    EXPECT_EQ(word(reply, 2), 10000);
    EXPECT_GE(elapsedMs(start), 2 * 40.0) << "three pieces need two gaps";
}

class SimFaultRun : public SimRun {};

TEST_F(SimFaultRun, BadCrcAlways) {
    launch({"--bad-crc", "1"});
    openLine();
    for (int i = 0; i < 3; ++i) {
        const Bytes reply = line_.transact(readRequest(1, 2, 1), 7);
        ASSERT_EQ(reply.size(), 7u);
        EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 5), (Bytes{0x01, 0x03, 0x02, 0x27, 0x10}));
        EXPECT_FALSE(crcOk(reply));
    }
}

TEST_F(SimFaultRun, GarbageFollowsReply) {
    launch({"--garbage", "5"});
    openLine();
    const Bytes reply = line_.transact(readRequest(1, 2, 1), 12);
    ASSERT_EQ(reply.size(), 12u);
    EXPECT_TRUE(crcOk(Bytes(reply.begin(), reply.begin() + 7)));
    EXPECT_EQ(word(reply, 0), 10000);
}

TEST_F(SimFaultRun, ExceptionAlways) {
    launch({"--exception", "1"});
    openLine();
    EXPECT_EQ(line_.transact(readRequest(1, 0, 2), 5), frame({0x01, 0x83, 0x04}));
}

TEST_F(SimFaultRun, SilenceAlways) {
    launch({"--silence", "1", "--verbose"});
    openLine();
    ASSERT_TRUE(line_.send(readRequest(1, 0, 2)));
    const auto logged = sim_.readLine(Clock::now() + kReplyDeadline);
    ASSERT_TRUE(logged.has_value()) << "request never reached the sim";
    EXPECT_NE(logged->find("<< 01 03 00 00 00 02"), std::string::npos);
    EXPECT_TRUE(line_.quietFor(milliseconds(300)));
}

TEST_F(SimFaultRun, RatesAreProbabilities) {
    launch({"--silence", "0.5", "--seed", "11", "--turnaround", "0"});
    openLine(115200);
    int answered = 0;
    for (int i = 0; i < 40; ++i) {
        ASSERT_TRUE(line_.send(readRequest(1, 0, 1)));
        if (line_.receive(7, Clock::now() + milliseconds(250)).size() == 7)
            ++answered;
    }
    EXPECT_GT(answered, 5);
    EXPECT_LT(answered, 35);
}

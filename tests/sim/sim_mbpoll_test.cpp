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

class SimMbpoll : public ::testing::Test {
  protected:
    void SetUp() override {
        mbpoll_ = findMbpoll();
        ASSERT_FALSE(mbpoll_.empty()) << "mbpoll not found in PATH; install the Debian package 'mbpoll'";
        ASSERT_TRUE(dir_.ok());
        link_ = dir_.file("ttyKV");
        ASSERT_EQ(sim_.start(KV_SIM_BINARY,
                             {"--link", link_, "--moisture", "30", "--temperature", "22", "--seed", "5"},
                             dir_.file("sim.err")),
                  "");
        ASSERT_TRUE(sim_.readLine(Clock::now() + kStartupDeadline).has_value()) << sim_.stderrText();
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

        MbpollResult r;
        Child child;
        const std::string err = child.start(mbpoll_, args, dir_.file("mbpoll.err"));
        EXPECT_EQ(err, "");
        if (!err.empty())
            return r;
        r.output = child.readAll(Clock::now() + milliseconds(15000));
        r.status = child.wait(Clock::now() + milliseconds(15000)).value_or(-1);
        r.output += child.stderrText();
        const std::regex valueLine(R"(\[(\d+)\]:\s+(-?\d+))");
        for (std::sregex_iterator it(r.output.begin(), r.output.end(), valueLine), end; it != end; ++it)
            r.values[std::stoi((*it)[1])] = std::stol((*it)[2]);
        return r;
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

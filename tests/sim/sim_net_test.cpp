// The sim behind a serial device server, a Modbus-TCP gateway and a DTU.

#include "sim_harness.h"

#include <gtest/gtest.h>

#include <memory>
#include <regex>

using namespace simtest;

namespace {

uint16_t crc(const Bytes& b) {
    uint16_t c = 0xFFFF; // bitwise, apart from the sim's table
    for (uint8_t x : b) {
        c ^= x;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? static_cast<uint16_t>((c >> 1) ^ 0xA001) : static_cast<uint16_t>(c >> 1);
    }
    return c;
}

Bytes sealed(Bytes b) {
    const uint16_t c = crc(b);
    b.push_back(static_cast<uint8_t>(c & 0xFF));
    b.push_back(static_cast<uint8_t>(c >> 8));
    return b;
}

Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Bytes kReadP0 = sealed({0x01, 0x03, 0x00, 0x02, 0x00, 0x01});
const Bytes kP0Reply = sealed({0x01, 0x03, 0x02, 0x27, 0x10}); // p0 = 10000 by default

// MBAP header before a PDU: transaction, protocol 0, length, unit.
Bytes adu(uint16_t tid, uint8_t unit, const Bytes& pdu) {
    const auto len = static_cast<uint16_t>(pdu.size() + 1);
    return cat({static_cast<uint8_t>(tid >> 8), static_cast<uint8_t>(tid), 0, 0,
                static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len), unit},
               pdu);
}

class SimNet : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir_.ok()); }

    // Starts a sim (ending the one before), checks its ready line against the pattern and
    // returns the number it captured, if any.
    int launch(const std::vector<std::string>& args, const std::string& readyPattern) {
        sim_ = std::make_unique<Child>();
        EXPECT_EQ(sim_->start(KV_SIM_BINARY, args, dir_.file("err")), "");
        const auto line = sim_->readLine(Clock::now() + kStartupDeadline);
        std::smatch m;
        EXPECT_TRUE(line && std::regex_match(*line, m, std::regex(readyPattern)))
            << line.value_or("no ready line") << "; stderr: " << sim_->stderrText();
        return line && m.size() > 1 && m[1].length() > 0 ? std::stoi(m[1]) : 0;
    }
    int serveTcp(std::vector<std::string> extra, const char* mode = "--tcp") {
        extra.insert(extra.begin(), {mode, "0"});
        return launch(extra, std::string("ready ") + (mode + 2) + R"( 127\.0\.0\.1:(\d+))");
    }

    TempDir dir_;
    std::unique_ptr<Child> sim_;
};

} // namespace

TEST_F(SimNet, DeviceServerAnswersRequestsHoweverTheyAreCut) {
    struct Case {
        const char* what;
        std::vector<std::string> args;
        std::vector<Bytes> segments; // sent apart, the sim shown quiet in between
        Bytes expected;
    };
    const Case cases[] = {
        {"whole", {}, {kReadP0}, kP0Reply},
        {"cut in two",
         {},
         {Bytes(kReadP0.begin(), kReadP0.begin() + 3), Bytes(kReadP0.begin() + 3, kReadP0.end())},
         kP0Reply},
        {"joined with the next", {}, {cat(kReadP0, kReadP0)}, cat(kP0Reply, kP0Reply)},
        {"reply in three pieces", {"--split", "3", "--split-gap", "40"}, {kReadP0}, kP0Reply},
        {"echoing server", {"--echo"}, {kReadP0}, cat(kReadP0, kP0Reply)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const int port = serveTcp(c.args);
        SerialLine tcp;
        ASSERT_TRUE(connectTcp(tcp, port));
        for (size_t i = 0; i < c.segments.size(); ++i) {
            if (i > 0) {
                EXPECT_TRUE(tcp.quietFor(milliseconds(150))) << "answered a partial request";
            }
            ASSERT_TRUE(tcp.send(c.segments[i]));
        }
        EXPECT_EQ(tcp.receive(c.expected.size(), Clock::now() + kReplyDeadline), c.expected);
        EXPECT_TRUE(tcp.quietFor(milliseconds(100)));
    }
}

TEST_F(SimNet, ServerDropsItsClientAndComesBack) {
    struct Case {
        const char* downFor;
        bool refusedAtOnce;
    };
    for (const Case c : {Case{"0", false}, Case{"1000", true}}) {
        SCOPED_TRACE(std::string("--down-for ") + c.downFor);
        const int port = serveTcp({"--drop-after", "2", "--down-for", c.downFor});
        SerialLine tcp;
        ASSERT_TRUE(connectTcp(tcp, port));
        for (int i = 0; i < 2; ++i)
            EXPECT_EQ(tcp.transact(kReadP0, kP0Reply.size()), kP0Reply);
        EXPECT_TRUE(tcp.closedBy(Clock::now() + kReplyDeadline));
        EXPECT_EQ(connectTcp(tcp, port), !c.refusedAtOnce);
        const auto deadline = Clock::now() + kReplyDeadline;
        while (!connectTcp(tcp, port) && Clock::now() < deadline)
            std::this_thread::sleep_for(milliseconds(20)); // retry interval, not a synchronisation delay
        EXPECT_EQ(tcp.transact(kReadP0, kP0Reply.size()), kP0Reply) << "not listening again";
    }
}

TEST_F(SimNet, GatewayAnswersEachTransaction) {
    const Bytes read = {0x03, 0x00, 0x02, 0x00, 0x01};
    const Bytes value = {0x03, 0x02, 0x27, 0x10};
    struct Case {
        const char* what;
        std::vector<std::string> args;
        Bytes request;
        Bytes expected;
        double atLeastMs;
    };
    const Case cases[] = {
        {"answer", {}, adu(0x1234, 1, read), adu(0x1234, 1, value), 0},
        {"pipelined", {}, cat(adu(7, 1, read), adu(8, 1, read)), cat(adu(7, 1, value), adu(8, 1, value)), 0},
        {"unit not on the bus", {}, adu(9, 5, read), adu(9, 5, {0x83, 0x0A}), 0},
        {"silent sensor",
         {"--silence", "1", "--gateway-timeout", "200"},
         adu(10, 1, read),
         adu(10, 1, {0x83, 0x0B}),
         200},
        {"garbled reply",
         {"--bad-crc", "1", "--gateway-timeout", "0"},
         adu(11, 1, read),
         adu(11, 1, {0x83, 0x0B}),
         0},
        {"late reply keeps its id",
         {"--late-every", "1", "--late-by", "300"},
         adu(12, 1, read),
         adu(12, 1, value),
         300},
        {"in pieces", {"--split", "4", "--split-gap", "30"}, adu(13, 1, read), adu(13, 1, value), 90},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const int port = serveTcp(c.args, "--modbus-tcp");
        SerialLine tcp;
        ASSERT_TRUE(connectTcp(tcp, port));
        const auto start = Clock::now();
        EXPECT_EQ(tcp.transact(c.request, c.expected.size()), c.expected);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        EXPECT_GE(ms, c.atLeastMs);
    }
    SerialLine tcp;
    ASSERT_TRUE(connectTcp(tcp, serveTcp({}, "--modbus-tcp")));
    ASSERT_TRUE(tcp.send({0, 1, 0, 1, 0, 6, 1, 3, 0, 0, 0, 1})); // protocol 1: not Modbus
    EXPECT_TRUE(tcp.closedBy(Clock::now() + kReplyDeadline));
}

TEST_F(SimNet, DtuRegistersHeartbeatsAnswersAndDialsAgain) {
    Listener server;
    ASSERT_NE(server.port(), 0);
    const std::string where = "127.0.0.1:" + std::to_string(server.port());
    launch({"--dial", where, "--registration", R"(KV\x00\x01)", "--heartbeat", "HB", "--heartbeat-every", "1",
            "--heartbeat-before-reply", "2", "--redial-after", "100"},
           "ready dial " + std::regex_replace(where, std::regex(R"(\.)"), R"(\.)") + "()");
    const Bytes registration = {'K', 'V', 0x00, 0x01};
    const Bytes heartbeat = {'H', 'B'};
    for (int connection = 0; connection < 2; ++connection) {
        SCOPED_TRACE(connection);
        SerialLine dtu;
        ASSERT_TRUE(server.accept(dtu, Clock::now() + kReplyDeadline));
        EXPECT_EQ(dtu.receive(registration.size(), Clock::now() + kReplyDeadline), registration);
        EXPECT_EQ(dtu.transact(kReadP0, kP0Reply.size()), kP0Reply);
        // Before every second reply: the heartbeat between the request and its reply.
        EXPECT_EQ(dtu.transact(kReadP0, heartbeat.size() + kP0Reply.size()), cat(heartbeat, kP0Reply));
        EXPECT_EQ(dtu.receive(heartbeat.size(), Clock::now() + kReplyDeadline), heartbeat)
            << "no periodic heartbeat";
        dtu.close(); // the server drops it; it dials again and registers again
    }
}

TEST_F(SimNet, PortInUseIsNamed) {
    Listener taken;
    const std::string where = "127.0.0.1:" + std::to_string(taken.port());
    Child sim;
    ASSERT_EQ(sim.start(KV_SIM_BINARY, {"--tcp", where}, dir_.file("err")), "");
    EXPECT_EQ(sim.wait(Clock::now() + kStartupDeadline), 1);
    EXPECT_NE(sim.stderrText().find("cannot listen on " + where), std::string::npos) << sim.stderrText();
}

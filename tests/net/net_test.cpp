// The network links' pure parts (port addresses, Modbus-TCP framing, heartbeats, names of
// registrations), and the links on the fake line in virtual time: a Modbus-TCP reply matched
// by its transaction id, a heartbeat between a request and its reply. Wire bytes are written
// out here, not built with the code under test.

#include "fakeline.h"
#include "line/discipline.h"
#include "net/address.h"
#include "net/dialin.h"
#include "net/heartbeat.h"
#include "net/mbap.h"
#include "net/modbustcpline.h"
#include "net/redial.h"
#include "sensor/protocol.h"

#include <gtest/gtest.h>

using namespace kv;
using namespace kv::fake;

namespace {

std::optional<double> msOf(const std::optional<Nanos>& latency) {
    return latency ? std::optional<double>(kv::msOf(*latency)) : std::nullopt;
}

QByteArray hex(const char* text) {
    return QByteArray::fromHex(text);
}

// Unit 1, read register 2 (one register): as RTU, and its answers holding 1111 and 2222.
const QByteArray kRead = hex("01030002000125CA");
const QByteArray kPdu1111 = hex("03020457");
const QByteArray kPdu2222 = hex("030208AE");

QByteArray adu(int transaction, int unit, const QByteArray& pdu) {
    QByteArray a;
    a.append(char(transaction >> 8)).append(char(transaction & 0xFF)).append('\0').append('\0');
    a.append(char(0)).append(char(pdu.size() + 1)).append(char(unit)).append(pdu);
    return a;
}

} // namespace

TEST(PortAddress, ParsesWhatPortNames) {
    struct Case {
        const char* text;
        net::Scheme scheme;
        const char* host;
        int port;
        const char* error; // part of the reason; empty: valid
    };
    using S = net::Scheme;
    const Case cases[] = {
        {"/dev/ttyUSB0", S::Serial, "", 0, ""},
        {"COM3", S::Serial, "", 0, ""},
        {"tcp://192.0.2.7:4001", S::Tcp, "192.0.2.7", 4001, ""},
        {"TCP://server.example:1", S::Tcp, "server.example", 1, ""},
        {"modbus-tcp://gw.example", S::ModbusTcp, "gw.example", 502, ""},
        {"modbus-tcp://[2001:db8::5]:1502", S::ModbusTcp, "2001:db8::5", 1502, ""},
        {"listen://:9000", S::Listen, "", 9000, ""},
        {"listen://127.0.0.1:65535/", S::Listen, "127.0.0.1", 65535, ""},
        {"udp://h:1", S::Serial, "", 0, "unknown scheme 'udp'"},
        {"tcp://h", S::Serial, "", 0, "no port"},
        {"tcp://h:", S::Serial, "", 0, "no port after the colon"},
        {"tcp://h:0", S::Serial, "", 0, "port 0 is outside 1-65535"},
        {"tcp://h:65536", S::Serial, "", 0, "port 65536 is outside 1-65535"},
        {"tcp://h:12a", S::Serial, "", 0, "'12a' is no port number"},
        {"tcp://:502", S::Serial, "", 0, "no host"},
        {"tcp://h:502/x", S::Serial, "", 0, "no port number"},
        {"modbus-tcp://2001:db8::5", S::Serial, "", 0, "in brackets"},
        {"listen://[::1", S::Serial, "", 0, "closing ]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const net::PortAddress a = net::parsePortAddress(QString::fromLatin1(c.text));
        if (*c.error) {
            EXPECT_TRUE(a.error.contains(QLatin1String(c.error))) << a.error.toStdString();
            continue;
        }
        EXPECT_TRUE(a.ok()) << a.error.toStdString();
        EXPECT_EQ(a.scheme, c.scheme);
        EXPECT_EQ(a.host, QLatin1String(c.host));
        EXPECT_EQ(a.port, c.port);
    }
    EXPECT_EQ(net::addressText(net::parsePortAddress(QStringLiteral("listen://:9000"))),
              QStringLiteral("listen://0.0.0.0:9000"));
    EXPECT_EQ(net::addressText(net::parsePortAddress(QStringLiteral("modbus-tcp://[::1]"))),
              QStringLiteral("modbus-tcp://[::1]:502"));
}

TEST(Mbap, CutsAStreamIntoAdusHoweverItComes) {
    const QByteArray a = adu(0x1234, 1, kPdu1111);
    const QByteArray b = adu(0x1235, 7, hex("8302"));
    const QByteArray longest = adu(0x1236, 1, QByteArray(253, '\x03'));
    struct Case {
        const char* what;
        std::vector<QByteArray> pieces;
        std::vector<int> transactions; // of the ADUs cut, in order
        bool broken;
    };
    const Case cases[] = {
        {"whole", {a}, {0x1234}, false},
        {"in three pieces", {a.left(3), a.mid(3, 5), a.mid(8)}, {0x1234}, false},
        {"two joined", {a + b}, {0x1234, 0x1235}, false},
        {"a header alone", {a.left(7)}, {}, false},
        {"protocol 1", {hex("000100010004010302")}, {}, true},
        {"no PDU", {hex("0001000000010103")}, {}, true},
        {"longer than Modbus", {hex("00010000010001")}, {}, true},
        {"the longest PDU", {longest}, {0x1236}, false},
        {"a length of 255",
         {hex("000100000"
              "0FF01") +
          QByteArray(254, '\x03')},
         {},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        net::AduReader reader;
        std::vector<int> cut;
        bool broken = false;
        for (const QByteArray& piece : c.pieces) {
            reader.feed(piece);
            net::Adu out;
            for (auto k = reader.next(out); k != net::AduReader::Cut::NeedMore; k = reader.next(out)) {
                if (k == net::AduReader::Cut::Broken) {
                    broken = true;
                    break;
                }
                cut.push_back(out.transaction);
            }
        }
        EXPECT_EQ(cut, c.transactions);
        EXPECT_EQ(broken, c.broken);
    }
    EXPECT_EQ(net::aduForFrame(0x0102, kRead), hex("010200000006010300020001"));
    EXPECT_EQ(net::frameForAdu({0x1234, 1, kPdu1111}), hex("0103020457FB7A"));
    EXPECT_TRUE(net::isGatewayException(hex("830B")));
    EXPECT_FALSE(net::isGatewayException(hex("8302")));
}

TEST(Heartbeats, AreTakenOutWhereverTheyCome) {
    const QByteArray reply = hex("0103020457FB7A");
    struct Case {
        const char* what;
        std::vector<QByteArray> pieces;
        QByteArray passed;
        int removed;
    };
    const Case cases[] = {
        {"alone", {"HB"}, {}, 1},
        {"before a reply", {"HB" + reply}, reply, 1},
        {"after a reply", {reply + "HB"}, reply, 1},
        {"twice in a reply's pieces", {reply.left(3) + "HB", "HB" + reply.mid(3)}, reply, 2},
        {"cut across two pieces", {reply + "H", "B" + reply}, reply + reply, 1},
        {"cut across three pieces", {"AL", "IV", "E" + reply}, reply, 1},
        {"cut across three pieces after a reply", {reply + "A", "LIV", "E"}, reply, 1},
        {"a heartbeat's start that ends the stream", {reply + "AL"}, reply + "AL", 0},
        {"the other heartbeat", {"ALIVE" + reply}, reply, 1},
        {"a prefix that is no heartbeat", {"H", "X"}, "HX", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        net::HeartbeatFilter f({"HB", "ALIVE"});
        QByteArray passed;
        for (const QByteArray& piece : c.pieces)
            passed += f.strip(piece);
        passed += f.release();
        EXPECT_EQ(passed, c.passed);
        EXPECT_EQ(f.removed(), c.removed);
    }
}

TEST(Registration, NamesItsBusPrintably) {
    const std::pair<QByteArray, const char*> cases[] = {
        {"KV-0001", "KV-0001"},
        {QByteArray("KV\x00\x01", 4), "KV%00%01"},
        {"a b/100%", "a%20b%2F100%25"},
        {"\xFF\x80", "%FF%80"},
        // Line protocol cannot end a tag with a backslash.
        {"KV\\", "KV%5C"},
    };
    for (const auto& [registration, name] : cases)
        EXPECT_EQ(net::registrationName(registration), QLatin1String(name))
            << registration.toHex().constData();
}

TEST(ModbusTcpOnFakeLine, AReplyIsMatchedByItsTransactionId) {
    struct Case {
        const char* what;
        // Per request (by index): when after it, and which ADU comes back.
        std::function<void(FakeLine&, int, qint64)> gateway;
        line::Outcome outcome;
        std::optional<std::uint16_t> value;
        std::optional<double> latencyMs;
        int timeouts;
        int late;
    };
    const Case cases[] = {
        {"the answer",
         [](FakeLine& f, int i, qint64 t) { f.arrive(t + 30 * NS_PER_MS, adu(i + 1, 1, kPdu1111), i); },
         line::Outcome::Answered, 1111, 30.0, 0, 0},
        // The first try's reply comes after the retry went out, just before the retry's own,
        // and has its shape: only its transaction id tells.
        {"a late reply to the try before",
         [](FakeLine& f, int i, qint64 t) {
             if (i == 0) f.arrive(t + 125 * NS_PER_MS, adu(1, 1, kPdu1111), 0);
             if (i == 1) f.arrive(t + 40 * NS_PER_MS, adu(2, 1, kPdu2222), 1);
         },
         line::Outcome::Answered, 2222, 40.0, 1, 1},
        {"the gateway's target did not answer, then did",
         [](FakeLine& f, int i, qint64 t) {
             f.arrive(t + 50 * NS_PER_MS, adu(i + 1, 1, i == 0 ? hex("830B") : kPdu2222), i);
         },
         line::Outcome::Answered, 2222, 50.0, 1, 0},
        {"no path to the unit",
         [](FakeLine& f, int i, qint64 t) { f.arrive(t + 2 * NS_PER_MS, adu(i + 1, 1, hex("830A")), i); },
         line::Outcome::Timeout, std::nullopt, std::nullopt, 2, 0},
        {"a reply to another unit",
         [](FakeLine& f, int i, qint64 t) { f.arrive(t + 10 * NS_PER_MS, adu(i + 1, 2, kPdu1111), i); },
         line::Outcome::Timeout, std::nullopt, std::nullopt, 2, 2},
        // No device sent it: not a late reply.
        {"the gateway's late exception to the try before",
         [](FakeLine& f, int i, qint64 t) {
             if (i == 0) f.arrive(t + 125 * NS_PER_MS, adu(1, 1, hex("830B")), 0);
             if (i == 1) f.arrive(t + 40 * NS_PER_MS, adu(2, 1, kPdu2222), 1);
         },
         line::Outcome::Answered, 2222, 40.0, 1, 0},
        // Bytes that are no Modbus TCP: a bad reply, each try over a connection made anew.
        {"a foreign protocol id",
         [](FakeLine& f, int i, qint64 t) {
             QByteArray a = adu(i + 1, 1, kPdu1111);
             a[3] = 1;
             f.arrive(t + 5 * NS_PER_MS, a, i);
         },
         line::Outcome::Garbled, std::nullopt, std::nullopt, 0, 0},
        {"a length that holds no PDU",
         [](FakeLine& f, int i, qint64 t) {
             QByteArray a = adu(i + 1, 1, kPdu1111);
             a[5] = 1;
             f.arrive(t + 5 * NS_PER_MS, a, i);
         },
         line::Outcome::Garbled, std::nullopt, std::nullopt, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto stream = std::make_unique<FakeLine>(9600);
        FakeLine& fake = *stream;
        net::RedialLine gateway(std::make_unique<net::ModbusTcpLine>(std::move(stream)));
        fake.onWrite = [&](int index) { c.gateway(fake, index, fake.nowNs()); };
        line::Discipline d(gateway);
        line::Request r;
        r.bytes = kRead;
        r.expect = sensor::expectRead(sensor::readRequest(1, 2, 1));
        r.timeout = Millis(100);
        r.grace = Millis(20);
        r.retries = 1;
        const line::Exchange ex = line::exchange(d, gateway, r);
        EXPECT_EQ(ex.outcome, c.outcome) << "failure " << static_cast<int>(ex.failure);
        if (c.value) {
            ASSERT_EQ(ex.reply.registers.size(), 1u);
            EXPECT_EQ(ex.reply.registers[0], *c.value);
        }
        EXPECT_EQ(msOf(ex.latency), c.latencyMs);
        EXPECT_EQ(ex.tally.timeouts, c.timeouts);
        EXPECT_EQ(ex.tally.lateTotal(), c.late);
        EXPECT_EQ(ex.tally.syncs, 0);
        EXPECT_EQ(ex.tally.lost, 0);
        // The retry after bytes that were no Modbus TCP went over a connection made anew.
        EXPECT_EQ(gateway.reconnects().ended, c.outcome == line::Outcome::Garbled ? 1 : 0);
        // Every try went out as its own transaction, nothing else: no resynchronising read.
        for (std::size_t i = 0; i < fake.writes().size(); ++i)
            EXPECT_EQ(fake.writes()[i].bytes, adu(static_cast<int>(i) + 1, 1, hex("0300020001")));
    }
}

TEST(HeartbeatsOnFakeLine, ARequestGetsItsReplyWhereverAHeartbeatComes) {
    const QByteArray reply = hex("0103020457FB7A");
    struct Case {
        const char* what;
        std::vector<std::pair<int, QByteArray>> after; // ms after the request, bytes
    };
    const Case cases[] = {
        {"between the request and its reply", {{5, "HB"}, {30, reply}}},
        {"joined to the front of the reply", {{30, "HB" + reply}}},
        {"inside the reply's segments", {{20, reply.left(4) + "HB"}, {30, reply.mid(4)}}},
        {"after the reply", {{30, reply + "HB"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeLine fake(9600);
        net::HeartbeatLine dtu(fake, {"HB"});
        fake.onWrite = [&](int index) {
            for (const auto& [ms, bytes] : c.after)
                fake.arrive(fake.nowNs() + ms * NS_PER_MS, bytes, index);
        };
        line::Discipline d(dtu);
        line::Request r;
        r.bytes = kRead;
        r.expect = sensor::expectRead(sensor::readRequest(1, 2, 1));
        r.timeout = Millis(100);
        const line::Exchange ex = line::exchange(d, dtu, r);
        ASSERT_EQ(ex.outcome, line::Outcome::Answered) << "failure " << static_cast<int>(ex.failure);
        EXPECT_EQ(ex.reply.registers[0], 1111);
        EXPECT_EQ(msOf(ex.latency), 30.0);
        EXPECT_EQ(ex.tally.noise, 0);
        EXPECT_EQ(dtu.filter().removed(), 1);
    }
}

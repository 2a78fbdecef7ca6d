#include "sim/mbap.h"
#include "sim/rtu.h"
#include "sim/sensor.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>
#include <string>

using kvsim::Bytes;
using kvsim::Sensor;
using kvsim::SensorSetup;

namespace {

Bytes withCrc(Bytes b) {
    kvsim::appendCrc(b);
    return b;
}

Bytes request(uint8_t address, uint8_t function, uint16_t reg, uint16_t value) {
    return withCrc({address, function, static_cast<uint8_t>(reg >> 8), static_cast<uint8_t>(reg & 0xFF),
                    static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value & 0xFF)});
}

uint16_t word(const Bytes &reply, size_t index) {
    return static_cast<uint16_t>((reply.at(3 + 2 * index) << 8) | reply.at(4 + 2 * index));
}

SensorSetup fixedSetup(double moisture = 30.0, double temperature = 22.0) {
    SensorSetup s;
    s.moisture = moisture;
    s.temperature = temperature;
    return s;
}

// Reads registers through the protocol layer, failing the test on anything but a normal reply.
std::vector<uint16_t> readRegisters(Sensor &sensor, uint16_t start, uint16_t count) {
    const Bytes reply = kvsim::respond(request(sensor.address(), 0x03, start, count), sensor);
    std::vector<uint16_t> out;
    EXPECT_TRUE(kvsim::crcValid(reply));
    EXPECT_EQ(reply.size(), 5u + 2u * count);
    if (reply.size() != 5u + 2u * count)
        return out;
    EXPECT_EQ(reply[2], 2 * count);
    for (uint16_t i = 0; i < count; ++i)
        out.push_back(word(reply, i));
    return out;
}

void writeParameter(Sensor &sensor, int index, uint16_t value) {
    const Bytes req = request(sensor.address(), 0x06, static_cast<uint16_t>(0x0A00 + 2 * index), value);
    ASSERT_EQ(kvsim::respond(req, sensor), req);
}

int16_t reportedCentiDegrees(Sensor &sensor) {
    return static_cast<int16_t>(readRegisters(sensor, 1, 1).at(0));
}

} // namespace

TEST(SimCrc, CheckValueAndKnownFrame) {
    const std::string check = "123456789";
    EXPECT_EQ(kvsim::crc16(reinterpret_cast<const uint8_t *>(check.data()), check.size()), 0x4B37);
    // Widely published read request: 01 03 00 00 00 02 -> C4 0B on the line.
    const Bytes frame = withCrc({0x01, 0x03, 0x00, 0x00, 0x00, 0x02});
    EXPECT_EQ(frame, (Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC4, 0x0B}));
    EXPECT_EQ(kvsim::crc16(nullptr, 0), 0xFFFF);
}

TEST(SimCrc, DetectsEverySingleBitError) {
    const Bytes good = withCrc({0x01, 0x06, 0x0A, 0x02, 0x12, 0x34});
    ASSERT_TRUE(kvsim::crcValid(good));
    for (size_t byte = 0; byte < good.size(); ++byte) {
        for (int bit = 0; bit < 8; ++bit) {
            Bytes bad = good;
            bad[byte] ^= static_cast<uint8_t>(1u << bit);
            EXPECT_FALSE(kvsim::crcValid(bad)) << "byte " << byte << " bit " << bit;
        }
    }
    EXPECT_FALSE(kvsim::crcValid(Bytes{0xFF, 0xFF}));
}

TEST(SimFraming, WholeSplitAndBackToBackFrames) {
    const Bytes a = request(1, 3, 0, 2);
    const Bytes b = request(1, 6, 0x0A00, 1234);
    kvsim::FrameAssembler fa;

    auto frames = fa.feed(a.data(), a.size(), 0);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], a);
    EXPECT_EQ(fa.pending(), 0u);

    frames = fa.feed(a.data(), 3, 1000);
    EXPECT_TRUE(frames.empty());
    frames = fa.feed(a.data() + 3, a.size() - 3, 2000);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], a);

    Bytes both = a;
    both.insert(both.end(), b.begin(), b.end());
    frames = fa.feed(both.data(), both.size(), 3000);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], a);
    EXPECT_EQ(frames[1], b);
}

TEST(SimFraming, ResyncsAfterGarbageAndDropsBadCrc) {
    const Bytes a = request(1, 3, 0, 2);
    kvsim::FrameAssembler fa;

    Bytes stream{0x55};
    stream.insert(stream.end(), a.begin(), a.end());
    auto frames = fa.feed(stream.data(), stream.size(), 0);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], a);
    EXPECT_EQ(fa.pending(), 0u);

    Bytes corrupt = a;
    corrupt[7] ^= 0xFF;
    stream = corrupt;
    stream.insert(stream.end(), a.begin(), a.end());
    frames = fa.feed(stream.data(), stream.size(), 1000);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], a);
}

TEST(SimFraming, SilenceDiscardsPartialFrame) {
    const Bytes a = request(1, 3, 0, 2);
    kvsim::FrameAssembler fa;
    fa.setGapUs(20000);
    fa.feed(a.data(), 4, 0);
    // The rest of the frame arrives too late: the head is gone, so nothing valid forms.
    auto frames = fa.feed(a.data() + 4, a.size() - 4, 25000);
    EXPECT_TRUE(frames.empty());
    frames = fa.feed(a.data(), a.size(), 26000);
    ASSERT_EQ(frames.size(), 1u);

    fa.feed(a.data(), 4, 100000);
    fa.expire(110000);
    EXPECT_EQ(fa.pending(), 4u);
    fa.expire(121000);
    EXPECT_EQ(fa.pending(), 0u);

    // Only silence longer than the gap starts over: at exactly the gap the head is kept
    // and the rest still completes the frame.
    kvsim::FrameAssembler exact;
    exact.setGapUs(20000);
    exact.feed(a.data(), 4, 0);
    exact.expire(20000);
    EXPECT_EQ(exact.pending(), 4u);
    frames = exact.feed(a.data() + 4, a.size() - 4, 20000);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], a);
    exact.feed(a.data(), 4, 30000);
    exact.expire(50001);
    EXPECT_EQ(exact.pending(), 0u);
}

TEST(SimFraming, WriteMultipleFrameLength) {
    const Bytes w = withCrc({0x01, 0x10, 0x0A, 0x00, 0x00, 0x01, 0x02, 0x27, 0x10});
    kvsim::FrameAssembler fa;
    auto frames = fa.feed(w.data(), 8, 0);
    EXPECT_TRUE(frames.empty()) << "an 11-byte frame must not be cut at 8 bytes";
    frames = fa.feed(w.data() + 8, w.size() - 8, 100);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], w);
}

TEST(SimFraming, RandomNoiseNeverYieldsBadFramesOrGrowsUnbounded) {
    std::mt19937 rng(7);
    kvsim::FrameAssembler fa;
    const Bytes a = request(1, 4, 1, 1);
    int64_t t = 0;
    for (int round = 0; round < 2000; ++round) {
        Bytes chunk(rng() % 40);
        for (auto &b : chunk)
            b = static_cast<uint8_t>(rng());
        if (round % 10 == 0)
            chunk.insert(chunk.end(), a.begin(), a.end());
        for (const Bytes &f : fa.feed(chunk.data(), chunk.size(), t += 100))
            EXPECT_TRUE(kvsim::crcValid(f));
        EXPECT_LT(fa.pending(), 300u);
    }
}

TEST(SimRequests, ReadsMeasurementsAndResistance) {
    Sensor sensor(fixedSetup(30.0, 22.0));
    const auto regs = readRegisters(sensor, 0, 2);
    ASSERT_EQ(regs.size(), 2u);
    EXPECT_EQ(regs[0], 3000);
    // Uncalibrated, so the temperature is plausible but off.
    EXPECT_GT(static_cast<int16_t>(regs[1]), 2300);
    EXPECT_LT(static_cast<int16_t>(regs[1]), 2800);

    const double trueOhm = 100.0 * (1 + 3.9083e-3 * 22 - 5.775e-7 * 22 * 22);
    const auto r8 = readRegisters(sensor, 8, 1);
    ASSERT_EQ(r8.size(), 1u);
    EXPECT_EQ(r8[0], std::lround((1.006 * trueOhm + 0.35) * 100));

    // Function 4 serves the same map.
    const Bytes viaInput = kvsim::respond(request(1, 0x04, 0, 9), sensor);
    ASSERT_EQ(viaInput.size(), 5u + 18u);
    EXPECT_EQ(viaInput[1], 0x04);
    EXPECT_EQ(word(viaInput, 0), 3000);
    EXPECT_EQ(word(viaInput, 8), r8[0]);
    EXPECT_EQ(word(viaInput, 2), 10000) << "parameter 0 default";
}

TEST(SimRequests, NegativeTemperatureIsTwosComplement) {
    Sensor sensor(fixedSetup(30.0, -20.0));
    writeParameter(sensor, 4, 9940);
    writeParameter(sensor, 5, 4965);
    const int16_t t = reportedCentiDegrees(sensor);
    EXPECT_NEAR(t, -2000, 20);
}

TEST(SimRequests, ParameterWritesEchoAndReadBack) {
    Sensor sensor(fixedSetup());
    const uint16_t values[6] = {12345, 0xFF38 /* -200 */, 9000, 500, 9876, 5123};
    for (int i = 0; i < 6; ++i)
        writeParameter(sensor, i, values[i]);
    const auto regs = readRegisters(sensor, 2, 6);
    ASSERT_EQ(regs.size(), 6u);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(regs[static_cast<size_t>(i)], values[i]) << "parameter " << i;

    // The hardware range (parameter 6) is accepted and has no read-back register.
    const Bytes w6 = request(1, 0x06, 0x0A0C, 2);
    EXPECT_EQ(kvsim::respond(w6, sensor), w6);
    EXPECT_EQ(sensor.parameter(6), 2);
}

TEST(SimRequests, WriteMultipleToOneParameter) {
    Sensor sensor(fixedSetup());
    const Bytes w = withCrc({0x01, 0x10, 0x0A, 0x02, 0x00, 0x01, 0x02, 0x00, 0xFA});
    EXPECT_EQ(kvsim::respond(w, sensor), withCrc({0x01, 0x10, 0x0A, 0x02, 0x00, 0x01}));
    EXPECT_EQ(readRegisters(sensor, 3, 1).at(0), 250);

    // Two registers would include the gap at 0x0A03, which is not a register; nothing changes.
    const Bytes w2 = withCrc({0x01, 0x10, 0x0A, 0x00, 0x00, 0x02, 0x04, 0x00, 0x01, 0x00, 0x02});
    EXPECT_EQ(kvsim::respond(w2, sensor), kvsim::exceptionReply(1, 0x10, 0x02));
    EXPECT_EQ(sensor.parameter(0), 10000);

    const Bytes badCount = withCrc({0x01, 0x10, 0x0A, 0x00, 0x00, 0x02, 0x02, 0x00, 0x01});
    EXPECT_EQ(kvsim::respond(badCount, sensor), kvsim::exceptionReply(1, 0x10, 0x03));
}

TEST(SimRequests, MoistureFollowsParameters) {
    Sensor sensor(fixedSetup(30.0, 22.0));
    writeParameter(sensor, 0, 12000);                       // x1.2 -> 36 %
    writeParameter(sensor, 1, static_cast<uint16_t>(-150)); // -1.5 % -> 34.5 %
    EXPECT_EQ(readRegisters(sensor, 0, 1).at(0), 3450);

    const Bytes range2 = request(1, 0x06, 0x0A0C, 2);
    ASSERT_EQ(kvsim::respond(range2, sensor), range2);
    EXPECT_EQ(readRegisters(sensor, 0, 1).at(0), 1725);
    ASSERT_FALSE(kvsim::respond(request(1, 0x06, 0x0A0C, 3), sensor).empty());
    EXPECT_NEAR(readRegisters(sensor, 0, 1).at(0), 862.5, 1.0);
    ASSERT_FALSE(kvsim::respond(request(1, 0x06, 0x0A0C, 7), sensor).empty());
    EXPECT_EQ(readRegisters(sensor, 0, 1).at(0), 3450) << "unknown range counts as full scale";

    writeParameter(sensor, 2, 3000);
    EXPECT_EQ(readRegisters(sensor, 0, 1).at(0), 3000) << "clamped to maximum";
    writeParameter(sensor, 2, 10000);
    writeParameter(sensor, 3, 4000);
    EXPECT_EQ(readRegisters(sensor, 0, 1).at(0), 4000) << "clamped to minimum";

    writeParameter(sensor, 3, 0);
    writeParameter(sensor, 1, static_cast<uint16_t>(-9000));
    EXPECT_EQ(readRegisters(sensor, 0, 1).at(0), 0) << "never negative";
}

TEST(SimRequests, AddressChangeReplyAndEffect) {
    Sensor sensor(fixedSetup());
    const Bytes reply = kvsim::respond(request(1, 0x06, 0x0B00, 0x0011), sensor);
    EXPECT_EQ(reply, withCrc({0x01, 0x06, 0x01, 0x11}));
    EXPECT_EQ(sensor.address(), 0x11);

    EXPECT_TRUE(kvsim::respond(request(1, 0x03, 0, 1), sensor).empty()) << "old address must be ignored";
    const Bytes r = kvsim::respond(request(0x11, 0x03, 0, 1), sensor);
    ASSERT_EQ(r.size(), 7u);
    EXPECT_EQ(r[0], 0x11);

    EXPECT_EQ(kvsim::respond(request(0x11, 0x06, 0x0B00, 0), sensor),
              kvsim::exceptionReply(0x11, 0x06, 0x03));
    EXPECT_EQ(kvsim::respond(request(0x11, 0x06, 0x0B00, 248), sensor),
              kvsim::exceptionReply(0x11, 0x06, 0x03));
    EXPECT_EQ(sensor.address(), 0x11);

    SensorSetup echoing = fixedSetup();
    echoing.echoAddressChange = true;
    Sensor standard(echoing);
    // The standard write-single-register echo, 1 -> 5.
    EXPECT_EQ(kvsim::respond(request(1, 0x06, 0x0B00, 5), standard),
              (Bytes{0x01, 0x06, 0x0B, 0x00, 0x00, 0x05, 0x4B, 0xED}));
    EXPECT_EQ(standard.address(), 5);
}

TEST(SimRequests, AddressReadViaWhoeverIsThere) {
    SensorSetup setup = fixedSetup();
    setup.address = 37;
    Sensor sensor(setup);
    EXPECT_EQ(kvsim::respond(request(250, 0x03, 0, 1), sensor), withCrc({37, 0x03, 0x02, 0x00, 37}));
    EXPECT_TRUE(kvsim::respond(request(250, 0x06, 0x0A00, 1), sensor).empty());
    EXPECT_EQ(sensor.parameter(0), 10000);
}

TEST(SimRequests, Exceptions) {
    Sensor sensor(fixedSetup());
    EXPECT_EQ(kvsim::respond(request(1, 0x05, 0, 0xFF00), sensor), withCrc({0x01, 0x85, 0x01}));
    EXPECT_EQ(kvsim::respond(request(1, 0x03, 9, 1), sensor), withCrc({0x01, 0x83, 0x02}));
    EXPECT_EQ(kvsim::respond(request(1, 0x04, 8, 2), sensor), withCrc({0x01, 0x84, 0x02}));
    EXPECT_EQ(kvsim::respond(request(1, 0x03, 0, 0), sensor), withCrc({0x01, 0x83, 0x03}));
    EXPECT_EQ(kvsim::respond(request(1, 0x03, 0, 126), sensor), withCrc({0x01, 0x83, 0x03}));
    EXPECT_EQ(kvsim::respond(request(1, 0x03, 0xFFFF, 125), sensor), withCrc({0x01, 0x83, 0x02}));
    EXPECT_EQ(kvsim::respond(request(1, 0x06, 0x0A0E, 1), sensor), withCrc({0x01, 0x86, 0x02}));
    EXPECT_EQ(kvsim::respond(request(1, 0x06, 0x0A01, 1), sensor), withCrc({0x01, 0x86, 0x02}));
    EXPECT_EQ(kvsim::respond(request(1, 0x06, 0x0001, 1), sensor), withCrc({0x01, 0x86, 0x02}));
}

TEST(SimRequests, SilentCases) {
    Sensor sensor(fixedSetup());
    Bytes bad = request(1, 0x03, 0, 2);
    bad[6] ^= 0x01;
    EXPECT_TRUE(kvsim::respond(bad, sensor).empty());
    EXPECT_TRUE(kvsim::respond(request(2, 0x03, 0, 2), sensor).empty());
    EXPECT_TRUE(kvsim::respond(request(0, 0x03, 0, 2), sensor).empty());
    EXPECT_TRUE(kvsim::respond(Bytes{}, sensor).empty());
    EXPECT_TRUE(kvsim::respond(withCrc({0x01}), sensor).empty());

    // A broadcast write is carried out, but not answered.
    EXPECT_TRUE(kvsim::respond(request(0, 0x06, 0x0A02, 77), sensor).empty());
    EXPECT_EQ(sensor.parameter(1), 77);
}

TEST(SimPhysics, CallendarVanDusen) {
    EXPECT_NEAR(kvsim::cvdResistance(0.0), 100.0, 1e-9);
    EXPECT_NEAR(kvsim::cvdResistance(100.0), 138.5055, 1e-4);
    EXPECT_NEAR(kvsim::cvdResistance(-100.0), 60.2558, 1e-4);
    EXPECT_NEAR(kvsim::cvdResistance(-200.0), 18.5201, 1e-4);
    for (double t = -200.0; t <= 850.0; t += 12.5)
        EXPECT_NEAR(kvsim::cvdTemperature(kvsim::cvdResistance(t)), t, 1e-6) << t;
}

TEST(SimPhysics, TwoPointCalibrationCorrectsTemperature) {
    const double tLow = 0.0;
    const double tHigh = 100.0;
    auto rawAt = [](double t) {
        Sensor s(fixedSetup(30.0, t));
        return readRegisters(s, 8, 1).at(0) / 100.0;
    };
    const double ra = rawAt(tLow);
    const double rb = rawAt(tHigh);
    const double rl = kvsim::cvdResistance(tLow);
    const double rh = kvsim::cvdResistance(tHigh);
    const double la = (rh - rl) / (rb - ra);
    const double of = rh - la * rb;

    for (double t : {-30.0, 5.0, 22.0, 60.0, 95.0}) {
        Sensor sensor(fixedSetup(30.0, t));
        const double before = reportedCentiDegrees(sensor) / 100.0;
        EXPECT_GT(std::fabs(before - t), 1.0) << "defaults should be visibly off at " << t;
        writeParameter(sensor, 4, static_cast<uint16_t>(std::floor(la * 10000)));
        writeParameter(sensor, 5, static_cast<uint16_t>(std::floor(of * 100) + 5000));
        const double after = reportedCentiDegrees(sensor) / 100.0;
        EXPECT_NEAR(after, t, 0.1) << "calibrated at " << t;
    }
}

TEST(SimPhysics, DriftIsPlausibleAndSeeded) {
    SensorSetup setup;
    setup.seed = 42;
    Sensor a(setup);
    Sensor b(setup);
    bool moved = false;
    const double m0 = a.trueMoisture();
    for (int step = 0; step < 36000; ++step) {
        a.advance(1.0);
        b.advance(1.0);
        ASSERT_EQ(a.trueMoisture(), b.trueMoisture());
        ASSERT_GT(a.trueMoisture(), 15.0);
        ASSERT_LT(a.trueMoisture(), 45.0);
        ASSERT_GT(a.trueTemperature(), 15.0);
        ASSERT_LT(a.trueTemperature(), 30.0);
        moved = moved || std::fabs(a.trueMoisture() - m0) > 1.0;
    }
    EXPECT_TRUE(moved);

    setup.seed = 43;
    Sensor c(setup);
    c.advance(1.0);
    a.advance(1.0);
    EXPECT_NE(a.trueMoisture(), c.trueMoisture());
}

TEST(SimPhysics, ExtremeParametersStayInRange) {
    Sensor sensor(fixedSetup(100.0, 850.0));
    for (uint16_t la : {0, 1, 10000, 65535})
        for (uint16_t of : {0, 5000, 65535}) {
            writeParameter(sensor, 4, la);
            writeParameter(sensor, 5, of);
            const auto regs = readRegisters(sensor, 0, 9);
            EXPECT_EQ(regs.size(), 9u);
        }
    writeParameter(sensor, 0, 65535);
    writeParameter(sensor, 1, 32767);
    writeParameter(sensor, 2, 65535);
    EXPECT_EQ(readRegisters(sensor, 0, 1).at(0), 65535);
}

TEST(SimRequests, RandomValidFramesGetWellFormedAnswers) {
    std::mt19937 rng(99);
    Sensor sensor(fixedSetup());
    for (int i = 0; i < 20000; ++i) {
        Bytes body(6 + rng() % 40);
        for (auto &b : body)
            b = static_cast<uint8_t>(rng());
        body[0] = static_cast<uint8_t>(i % 3 == 0 ? 250 : sensor.address());
        if (i % 2 == 0)
            body[1] = static_cast<uint8_t>(std::array<int, 5>{3, 4, 6, 16, 43}[rng() % 5]);
        const uint8_t before = sensor.address();
        const Bytes reply = kvsim::respond(withCrc(body), sensor);
        if (reply.empty())
            continue;
        ASSERT_TRUE(kvsim::crcValid(reply));
        ASSERT_EQ(reply[0], before);
        ASSERT_GE(reply.size(), 5u);
        ASSERT_GE(sensor.address(), 1);
        ASSERT_LE(sensor.address(), 247);
    }
}

TEST(SimMbap, AdusCutAnywhereOrJoined) {
    // Three ADUs back to back: a read, a write, a one-byte PDU; the bytes restated here.
    const Bytes stream = {0x00, 0x01, 0,    0,    0x00, 0x06, 0x01, 0x03, 0x00, 0x00, 0x00,
                          0x02, 0xAB, 0xCD, 0,    0,    0x00, 0x06, 0x25, 0x06, 0x0A, 0x02,
                          0x00, 0xFA, 0xFF, 0xFF, 0,    0,    0x00, 0x02, 0x07, 0x2B};
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        kvsim::MbapAssembler a;
        std::vector<kvsim::Adu> got = a.feed(stream.data(), cut);
        for (kvsim::Adu& adu : a.feed(stream.data() + cut, stream.size() - cut))
            got.push_back(std::move(adu));
        ASSERT_EQ(got.size(), 3u) << "cut at " << cut;
        EXPECT_EQ(got[0].transaction, 0x0001);
        EXPECT_EQ(got[1].transaction, 0xABCD);
        EXPECT_EQ(got[1].unit, 0x25);
        EXPECT_EQ(got[1].pdu, (Bytes{0x06, 0x0A, 0x02, 0x00, 0xFA}));
        EXPECT_EQ(got[2].pdu, Bytes{0x2B});
        EXPECT_EQ(a.pending(), 0u);
        EXPECT_FALSE(a.broken());
    }
}

TEST(SimMbap, GatewayTranslation) {
    const kvsim::Adu request{0x0001, 0x01, {0x03, 0x00, 0x00, 0x00, 0x02}};
    EXPECT_EQ(kvsim::rtuRequestFor(request), (Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC4, 0x0B}));
    EXPECT_EQ(kvsim::aduReplyFor(request, withCrc({0x01, 0x03, 0x04, 0x0B, 0xB8, 0x09, 0x9A})),
              (Bytes{0x00, 0x01, 0, 0, 0x00, 0x07, 0x01, 0x03, 0x04, 0x0B, 0xB8, 0x09, 0x9A}));
    EXPECT_EQ(kvsim::aduExceptionFor(request, 0x0B), (Bytes{0x00, 0x01, 0, 0, 0x00, 0x03, 0x01, 0x83, 0x0B}));
}

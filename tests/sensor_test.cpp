// The sensor protocol module. Expected frames are literals taken from a Modbus master
// nobody here wrote (mbpoll -v, a libmodbus client, against the virtual sensor) and
// from the worked examples of the sensor's documentation.

#include "sensor/protocol.h"
#include "sensor/records.h"
#include "sensor/values.h"
#include "support/qtprint.h"

#include <gtest/gtest.h>

using namespace kv;
using namespace kv::sensor;

namespace {

QByteArray hex(const char* text) {
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}
QByteArray bytesOf(const Frame& f) {
    return toBytes(f);
}

} // namespace

TEST(SensorFrames, RequestsMatchAnIndependentMaster) {
    EXPECT_EQ(bytesOf(measurementRequest(1)), hex("01 03 00 00 00 02 C4 0B"));
    EXPECT_EQ(bytesOf(measurementRequest(37)), hex("25 03 00 00 00 02 C2 EF"));
    EXPECT_EQ(bytesOf(parameterReadRequest(1, 0)), hex("01 03 00 02 00 01 25 CA"));
    EXPECT_EQ(bytesOf(parameterReadRequest(1, 6)), hex("01 03 00 08 00 01 05 C8"));
    EXPECT_EQ(bytesOf(resistanceReadRequest(1)), hex("01 03 00 08 00 01 05 C8"));
    EXPECT_EQ(bytesOf(parameterWriteRequest(1, 4, 9940)), hex("01 06 0A 08 26 D4 11 EF"));
    EXPECT_EQ(bytesOf(parameterWriteRequest(1, 5, 4965)), hex("01 06 0A 0A 13 65 67 0B"));
    EXPECT_EQ(bytesOf(parameterWriteRequest(1, 0, 10000)), hex("01 06 0A 00 27 10 90 2E"));
    EXPECT_EQ(bytesOf(addressReadRequest()), hex("FA 03 00 00 00 01 91 81"));
    EXPECT_EQ(bytesOf(addressChangeRequest(1, 5)), hex("01 06 0B 00 00 05 4B ED"));
    EXPECT_EQ(bytesOf(addressChangeRequest(2, 35)), hex("02 06 0B 00 00 23 CA 04"));
}

TEST(SensorReplies, GoodRepliesDecode) {
    const Reply m = checkReply(hex("01 03 04 0B B8 09 9A FE 09"), expectRead(measurementRequest(1)));
    ASSERT_TRUE(m.ok()) << describe(m);
    EXPECT_EQ(m.registers, (std::vector<std::uint16_t>{3000, 2458}));

    const Reply p = checkReply(hex("01 03 02 27 10 A2 78"), expectRead(parameterReadRequest(1, 0)));
    ASSERT_TRUE(p.ok());
    EXPECT_EQ(p.registers, std::vector<std::uint16_t>{10000});

    const Frame w = parameterWriteRequest(1, 4, 9940);
    const Reply e = checkReply(hex("01 06 0A 08 26 D4 11 EF"), expectEcho(w));
    ASSERT_TRUE(e.ok());
    EXPECT_EQ(e.value, 9940);
}

TEST(SensorReplies, EveryCorruptionIsCaughtByKind) {
    const auto expect = expectRead(measurementRequest(1));
    const QByteArray good = hex("01 03 04 0B B8 09 9A FE 09");
    // Every single-bit flip anywhere in the frame is refused.
    for (int i = 0; i < good.size(); ++i)
        for (int bit = 0; bit < 8; ++bit) {
            QByteArray bad = good;
            bad[i] = static_cast<char>(bad[i] ^ (1 << bit));
            EXPECT_FALSE(checkReply(bad, expect).ok()) << "byte " << i << " bit " << bit;
        }
    EXPECT_EQ(checkReply(good.left(8), expect).status, ReplyStatus::Short);
    EXPECT_EQ(checkReply(QByteArray(), expect).status, ReplyStatus::Short);
    EXPECT_EQ(checkReply(good + '\0', expect).status, ReplyStatus::Long);
    QByteArray crc = good;
    crc[8] = static_cast<char>(crc[8] ^ 0x5A);
    EXPECT_EQ(checkReply(crc, expect).status, ReplyStatus::BadCrc);
    // Sealed frames that are well formed but answer something else.
    EXPECT_EQ(checkReply(hex("25 03 04 0B B8 09 9A 9A 0B"), expect).status, ReplyStatus::WrongAddress);
    EXPECT_EQ(checkReply(hex("01 03 02 27 10 A2 78"), expectRead(measurementRequest(1))).status,
              ReplyStatus::Short);
    // As long as the reply asked for, but counting one register where two were asked for.
    EXPECT_EQ(checkReply(hex("01 03 02 0B B8 09 9A 76 09"), expect).status, ReplyStatus::BadByteCount);
    EXPECT_EQ(checkReply(hex("01 04 02 27 10 A3 0C"), expectRead(parameterReadRequest(1, 0))).status,
              ReplyStatus::WrongFunction);
}

TEST(SensorReplies, ExceptionsCarryTheirStandardNames) {
    const Reply r = checkReply(hex("01 83 02 C0 F1"), expectRead(readRequest(1, 9, 1)));
    EXPECT_EQ(r.status, ReplyStatus::Exception);
    EXPECT_EQ(r.exceptionCode, 2);
    EXPECT_EQ(describe(r), QStringLiteral("exception 02 Illegal Data Address"));
    const Reply w = checkReply(hex("01 86 02 C3 A1"), expectEcho(writeRequest(1, 0x0A01, 5)));
    EXPECT_EQ(w.status, ReplyStatus::Exception);
    EXPECT_EQ(replyLength(hex("01 86"), expectEcho(writeRequest(1, 0x0A01, 5))), 5);
    EXPECT_EQ(exceptionName(1), QStringLiteral("Illegal Function"));
    EXPECT_EQ(exceptionName(3), QStringLiteral("Illegal Data Value"));
    EXPECT_EQ(exceptionName(4), QStringLiteral("Server Device Failure"));
    EXPECT_EQ(exceptionName(6), QStringLiteral("Server Device Busy"));
    EXPECT_EQ(exceptionName(8), QStringLiteral("Memory Parity Error"));
    EXPECT_EQ(exceptionName(0x0B), QStringLiteral("Gateway Target Device Failed to Respond"));
}

TEST(SensorReplies, WritesMustEchoWhatWasWritten) {
    const Frame w = parameterWriteRequest(1, 4, 9940);
    // Same register, another value: a sensor that stored something else.
    EXPECT_EQ(checkReply(hex("01 06 0A 08 27 10 11 EC"), expectEcho(w)).status, ReplyStatus::BadEcho);
}

TEST(SensorReplies, AddressChangeAndAddressRead) {
    const Frame change = addressChangeRequest(1, 5);
    const auto expect = expectAddressChange(change);
    // The sensor's short form: old address, 06, 01, new address.
    QByteArray shortForm = hex("01 06 01 05");
    const std::uint16_t c = crc16(shortForm);
    shortForm.append(static_cast<char>(c & 0xFF)).append(static_cast<char>(c >> 8));
    EXPECT_EQ(replyLength(shortForm.left(3), expect), 6);
    EXPECT_TRUE(checkReply(shortForm, expect).ok());
    EXPECT_EQ(replyLength(hex("01 06 0B"), expect), 8);
    EXPECT_TRUE(checkReply(hex("01 06 0B 00 00 05 4B ED"), expect).ok());
    // The short form must name the address asked for.
    EXPECT_EQ(checkReply(hex("01 06 01 06 60 4B"), expect).status, ReplyStatus::BadEcho);

    // Whoever answers device 250 names itself in byte 0.
    QByteArray who = hex("25 03 02 00 25");
    const std::uint16_t wc = crc16(who);
    who.append(static_cast<char>(wc & 0xFF)).append(static_cast<char>(wc >> 8));
    const Reply r = checkReply(who, expectAddressRead());
    ASSERT_TRUE(r.ok()) << describe(r);
    EXPECT_EQ(r.address, 37);
    // No sensor answers from address 0 (nor from 248 and above).
    EXPECT_EQ(checkReply(hex("00 03 02 00 00 85 84"), expectAddressRead()).status, ReplyStatus::WrongAddress);

    // A request as seen on the line tells its own expectation.
    const Expectation seen = expectFor(hex("FA 03 00 00 00 01 91 81"));
    EXPECT_TRUE(seen.anyAddress);
    EXPECT_EQ(seen.kind, ReplyKind::Read);
    EXPECT_EQ(expectFor(toBytes(change)).kind, ReplyKind::AddressChange);
    EXPECT_EQ(expectFor(hex("01 06 0A 08 26 D4 11 EF")).kind, ReplyKind::WriteEcho);
    const Expectation input = expectFor(hex("01 04 00 08 00 01 B0 08"));
    EXPECT_EQ(replyLength(hex("01 04"), input), 7);
    EXPECT_EQ(input.start, 8);
    EXPECT_EQ(checkReply(hex("01 04 02 27 10 A3 0C"), input).registers, std::vector<std::uint16_t>{10000});
    // Another function is judged whole: CRC, address and function.
    EXPECT_EQ(expectFor(hex("01 10 00 00")).kind, ReplyKind::Other);
    EXPECT_TRUE(
        checkReply(hex("01 10 00 00 00 01 01 C9"), expectFor(hex("01 10 00 00 00 01 02 00 05"))).ok());
}

TEST(SensorValues, ScaledLikeTheWindow) {
    EXPECT_DOUBLE_EQ(moisturePercent(3000), 30.0);
    EXPECT_DOUBLE_EQ(moisturePercent(65535), 655.35);
    EXPECT_DOUBLE_EQ(temperatureCelsius(2458), 24.58);
    EXPECT_DOUBLE_EQ(temperatureCelsius(0xFF38), -2.0);
    EXPECT_DOUBLE_EQ(temperatureCelsius(30000), 300.0);
    EXPECT_DOUBLE_EQ(temperatureCelsius(30001), -355.35);
    EXPECT_EQ(hundredthsText(temperatureHundredths(0xFF38)), QStringLiteral("-2.00"));
    EXPECT_DOUBLE_EQ(resistanceOhm(13850), 138.5);
    EXPECT_EQ(parameterText(0, 2000), QStringLiteral("0.2000"));
    EXPECT_EQ(parameterText(3, 10000), QStringLiteral("10000"));
    EXPECT_EQ(parameterMeaning(5, 4965), QStringLiteral("-0.35 ohm"));
    EXPECT_EQ(parameterMeaning(4, 9940), QStringLiteral("slope x 0.9940"));
}

TEST(SensorValues, ParameterNamesAndEncoding) {
    EXPECT_EQ(parameterIndex(QStringLiteral("la")), 4);
    EXPECT_EQ(parameterIndex(QStringLiteral("6")), 6);
    EXPECT_EQ(parameterIndex(QStringLiteral("7")), -1);
    EXPECT_EQ(parameterIndex(QStringLiteral("slope")), -1);

    auto raw = [](int i, const char* t) { return encodeParameter(i, QString::fromLatin1(t)); };
    EXPECT_EQ(raw(0, "1.0000").raw, 10000);
    EXPECT_EQ(raw(0, "0.2").raw, 2000);
    EXPECT_EQ(raw(0, "6.5535").raw, 65535);
    EXPECT_EQ(raw(1, "2.5").raw, 2);
    EXPECT_EQ(raw(1, "3.5").raw, 4);
    EXPECT_EQ(raw(2, "-1").raw, 65535);
    EXPECT_EQ(raw(2, "65535").raw, 65535);
    EXPECT_EQ(raw(2, "-65535").raw, 1);
    EXPECT_EQ(raw(2, "65536").error, EncodeError::OutOfRange);
    EXPECT_EQ(raw(2, "-65536").error, EncodeError::OutOfRange);
    EXPECT_EQ(raw(0, "7").error, EncodeError::DoesNotFit);
    EXPECT_EQ(raw(2, "-0.2").error, EncodeError::DoesNotFit); // folds to 65536 after rounding
    EXPECT_EQ(raw(2, "abc").error, EncodeError::NotANumber);
    EXPECT_EQ(raw(2, "").error, EncodeError::NotANumber);
}

TEST(SensorValues, CalibrationKnownAnswers) {
    struct Case {
        double RL, RH, RA, RB;
        long long slope, offset;
    };
    // Worked by hand: LA = (RH - RL) / (RB - RA), OF = RH - LA x RB (binary32),
    // registers floor(LA x 10000) and floor(OF x 100) + 5000.
    const Case cases[] = {
        {100, 138.5, 100.00, 138.50, 10000, 5000}, {100, 138.5, 99.50, 138.00, 10000, 5050},
        {100, 138.5, 100.60, 139.10, 10000, 4939}, {100, 138.5, 101.20, 140.90, 9697, 5185},
        {138.5, 100, 100, 138.5, -10000, 28850},
    };
    for (const auto& c : cases) {
        const auto r = calibrate(c.RL, c.RH, c.RA, c.RB);
        ASSERT_TRUE(r.has_value());
        EXPECT_EQ(r->slope, c.slope) << c.RA << " " << c.RB;
        EXPECT_EQ(r->offset, c.offset) << c.RA << " " << c.RB;
    }
    EXPECT_FALSE(calibrate(100, 138.5, 120, 120).has_value());
    EXPECT_FALSE(calibrate(100, 138.5, 130, 120).has_value());
    EXPECT_FALSE(calibrate(100, 138.5, 0, 1e-320).has_value());
}

// The ranges params --help lists are closed at both ends: la 15000 and moisture-min 1000 are
// in range, one beyond is not.
TEST(SensorValues, ParameterRangesIncludeBothEnds) {
    struct Row {
        const char* key;
        int low;
        int high;
    };
    for (const Row& r : {Row{"scale", 2000, 50000}, Row{"moisture-offset", 1000, 64535},
                         Row{"moisture-max", 1000, 10000}, Row{"moisture-min", 0, 1000}, Row{"la", 5000, 15000},
                         Row{"of", 0, 9500}, Row{"range", 1, 3}}) {
        SCOPED_TRACE(r.key);
        const int i = parameterIndex(QString::fromLatin1(r.key));
        ASSERT_GE(i, 0);
        EXPECT_TRUE(parameterInRange(i, static_cast<std::uint16_t>(r.low)));
        EXPECT_TRUE(parameterInRange(i, static_cast<std::uint16_t>(r.high)));
        EXPECT_FALSE(parameterInRange(i, static_cast<std::uint16_t>(r.high + 1)));
        if (r.low > 0) {
            EXPECT_FALSE(parameterInRange(i, static_cast<std::uint16_t>(r.low - 1)));
        }
    }
}

// Each parameter by its index, its name, and the registers it is read and written at, both
// ways: the monitor names a register by the parameter these give back.
TEST(SensorRegisters, EveryParameterByIndexNameAndRegisterBothWays) {
    struct Row {
        int index;
        const char* key;
        int read;
        int written;
    };
    for (const Row& r :
         {Row{PARAM_SCALE, "scale", 2, 0x0A00}, Row{PARAM_MOISTURE_OFFSET, "moisture-offset", 3, 0x0A02},
          Row{PARAM_MOISTURE_MAX, "moisture-max", 4, 0x0A04},
          Row{PARAM_MOISTURE_MIN, "moisture-min", 5, 0x0A06}, Row{PARAM_LA, "la", 6, 0x0A08},
          Row{PARAM_OF, "of", 7, 0x0A0A}, Row{PARAM_RANGE, "range", 8, 0x0A0C}}) {
        SCOPED_TRACE(r.key);
        EXPECT_EQ(parameterIndex(QString::fromLatin1(r.key)), r.index);
        EXPECT_EQ(parameterReadRegister(r.index), r.read);
        EXPECT_EQ(parameterWriteRegister(r.index), r.written);
        EXPECT_EQ(parameterReadAt(r.read), r.index);
        EXPECT_EQ(parameterWrittenAt(r.written), r.index);
    }
    for (int reg : {0, 1, 9, 0x0A08})
        EXPECT_EQ(parameterReadAt(reg), -1) << reg;
    for (int reg : {6, 0x09FE, 0x0A01, 0x0A0B, 0x0A0E, 0x0B00})
        EXPECT_EQ(parameterWrittenAt(reg), -1) << reg;
}

// What the line discipline and scan ask of a frame before it is whole or judged.
TEST(SensorFrames, WhatAFrameSaysOfItself) {
    struct Row {
        const char* bytes;
        int sender;
        int function;
        bool write;
    };
    for (const Row& r : {Row{"", 0, 0, false}, Row{"25", 37, 0, false}, Row{"01 03 04 0B B8", 1, 3, false},
                         Row{"F7 83 02 C0 F1", 247, 3, false}, Row{"01 06 0A 08 26 D4 11 EF", 1, 6, true},
                         Row{"02 86 04", 2, 6, false}}) {
        SCOPED_TRACE(r.bytes);
        EXPECT_EQ(senderOf(hex(r.bytes)), r.sender);
        EXPECT_EQ(functionAnswered(hex(r.bytes)), r.function);
        EXPECT_EQ(isWriteRequest(hex(r.bytes)), r.write);
    }
    for (int a : {-1, 0, 248, 250, 255})
        EXPECT_FALSE(isDeviceAddress(a)) << a;
    for (int a : {1, 37, 247})
        EXPECT_TRUE(isDeviceAddress(a)) << a;
}

TEST(SensorLine, TheStandardRatesAndNoOther) {
    const std::vector<int> rates(STANDARD_RATES.begin(), STANDARD_RATES.end());
    EXPECT_EQ(rates, (std::vector<int>{1200, 2400, 4800, 9600, 14400, 19200, 38400, 57600, 115200}));
    for (int baud : {0, 300, 12345, 28800, 230400})
        EXPECT_FALSE(isStandardRate(baud)) << baud;
    EXPECT_TRUE(isStandardRate(14400));
}

// What fits a register, and the words for a typed value that cannot become one.
TEST(SensorValues, WhatFitsARegisterAndWhyAValueCannot) {
    for (double v : {0.0, 1.0, 65535.0})
        EXPECT_TRUE(fitsRegister(v)) << v;
    for (double v : {-1.0, -0.5, 65535.5, 65536.0})
        EXPECT_FALSE(fitsRegister(v)) << v;
    EXPECT_TRUE(calibrate(100, 138.5, 100, 138.5)->fits());
    EXPECT_FALSE(calibrate(138.5, 100, 100, 138.5)->fits()) << "a negative slope";
    EXPECT_FALSE(calibrate(100, 1000, 100, 101)->fits()) << "a slope of 900";
    EXPECT_EQ(describe(EncodeError::NotANumber), QStringLiteral("not a number"));
    EXPECT_EQ(describe(EncodeError::OutOfRange), QStringLiteral("outside -65535..65535"));
    EXPECT_EQ(describe(EncodeError::DoesNotFit), QStringLiteral("does not fit the register"));
    EXPECT_TRUE(describe(EncodeError::None).isEmpty());
}

// A CSV field as both the command line's log and the monitor's write it, and the nearest-rank
// percentile both report.
TEST(SensorRecords, CsvFieldsAndNearestRankPercentiles) {
    const std::vector<std::pair<const char*, const char*>> fields{{"ok", "ok"},
                                                                  {"", ""},
                                                                  {"a,b", "\"a,b\""},
                                                                  {"say \"hi\"", "\"say \"\"hi\"\"\""},
                                                                  {"two\nlines", "\"two\nlines\""}};
    for (const auto& [text, field] : fields)
        EXPECT_EQ(csvField(QString::fromLatin1(text)), QString::fromLatin1(field)) << text;
    // 18 values 1..20 without 7 and 13, unsorted: the 9th is 10, the 18th 20; the 1st is 1.
    std::vector<double> v;
    for (int i = 20; i >= 1; --i)
        if (i != 7 && i != 13) v.push_back(i);
    for (const auto& [p, value] :
         {std::pair{50.0, 10.0}, {95.0, 20.0}, {0.0, 1.0}, {100.0, 20.0}, {5.0, 1.0}, {6.0, 2.0}})
        EXPECT_EQ(percentile(v, p), value) << p;
    EXPECT_EQ(percentile({42}, 95), 42);
}

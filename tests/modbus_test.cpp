#include "modbus/codec.h"
#include "modbus/decode.h"
#include "modbus/fieldnum.h"
#include "support/qtprint.h"

#include <gtest/gtest.h>

#include <cmath>

#include <cstring>
#include <vector>

using namespace kv;

namespace {

Frame sealed(std::initializer_list<std::uint8_t> head) {
    Frame f{};
    std::copy(head.begin(), head.end(), f.begin());
    sealFrame(f);
    return f;
}

QByteArray bytes(std::initializer_list<int> list) {
    QByteArray b;
    for (int v : list)
        b.append(static_cast<char>(v));
    return b;
}

QString textOf(const FieldWrites& writes, Field field, int index) {
    for (const auto& w : writes)
        if (w.field == field && w.index == index)
            return w.text;
    return QStringLiteral("<none>");
}

} // namespace

TEST(Crc16, CheckValueOverAsciiDigits) {
    const char* digits = "123456789";
    const CrcBytes crc = Crc16(reinterpret_cast<const std::uint8_t*>(digits), 9, 8);
    EXPECT_EQ(crc.HiByte, 0x37); // low-order byte of 0x4B37
    EXPECT_EQ(crc.LoByte, 0x4B);
    EXPECT_EQ(crc16(reinterpret_cast<const std::uint8_t*>(digits), 9), 0x4B37);
    EXPECT_EQ(crc16(QByteArray("123456789")), 0x4B37);
    EXPECT_EQ(crc16(QByteArray()), 0xFFFF);
}

TEST(Crc16, CoversExactlyBytesZeroToJ) {
    const Frame f{0x02, 0x03, 0, 0, 0, 0x02};
    const CrcBytes none = Crc16(f, -1);
    EXPECT_EQ(none.HiByte, 0xFF);
    EXPECT_EQ(none.LoByte, 0xFF);
    // One byte 0x02: computed by hand from the algorithm (0xFFFF ^ 0x02, 8 shifts).
    const CrcBytes one = Crc16(f, 0);
    const std::uint8_t single[] = {0x02};
    const CrcBytes alone = Crc16(single, 1, 0);
    EXPECT_EQ(one.HiByte, alone.HiByte);
    EXPECT_EQ(one.LoByte, alone.LoByte);
    EXPECT_NE(one.HiByte * 256 + one.LoByte, Crc16(f, 1).HiByte * 256 + Crc16(f, 1).LoByte);
    // A j beyond the buffer never reads past it.
    const CrcBytes clamped = Crc16(f.data(), 6, 100);
    EXPECT_EQ(clamped.HiByte, 0xC4);
    EXPECT_EQ(clamped.LoByte, 0x38);
    const Frame zeros{};
    EXPECT_EQ(Crc16(zeros, 5).HiByte, 0x00);
    EXPECT_EQ(Crc16(zeros, 5).LoByte, 0x1B);
}

TEST(Crc16, KnownRequestFrames) {
    EXPECT_EQ(requestText(sealed({0x01, 0x03, 0, 0, 0, 0x02})), "01 03 00 00 00 02 C4 0B ");
    EXPECT_EQ(requestText(sealed({0x02, 0x03, 0, 0, 0, 0x02})), "02 03 00 00 00 02 C4 38 ");
    EXPECT_EQ(requestText(sealed({0xFA, 0x03, 0, 0, 0, 0x01})), "FA 03 00 00 00 01 91 81 ");
    EXPECT_EQ(requestText(sealed({0x01, 0x06, 0x0A, 0x00, 0x27, 0x10})), "01 06 0A 00 27 10 90 2E ");
}

// A reply captured from the sensor: 01 03 04 07 D6 09 C4, CRC 1D 7C.
TEST(Crc16, ClosesFrameJudgesTheFirstLengthBytesOnly) {
    const QByteArray reply = QByteArray::fromHex("01030407d609c41d7c");
    EXPECT_TRUE(crcClosesFrame(reply, reply.size()));
    EXPECT_TRUE(crcClosesFrame(reply + QByteArray::fromHex("ffff"), reply.size())); // trailing bytes ignored
    EXPECT_FALSE(crcClosesFrame(reply, reply.size() + 1)); // beyond the bytes there are
    EXPECT_FALSE(crcClosesFrame(reply, reply.size() - 1));
    QByteArray flipped = reply;
    flipped[4] = static_cast<char>(flipped[4] ^ 0x01);
    EXPECT_FALSE(crcClosesFrame(flipped, flipped.size()));
    QByteArray swapped = reply;
    std::swap(swapped[7], swapped[8]); // the CRC's low-order byte goes first
    EXPECT_FALSE(crcClosesFrame(swapped, swapped.size()));
    // Fewer than four bytes are never a frame, even when the last two are the CRC of the first.
    const QByteArray tiny = QByteArray::fromHex("00bf40");
    EXPECT_EQ(Crc16(reinterpret_cast<const std::uint8_t*>(tiny.constData()), 1, 0).HiByte, 0xBF);
    EXPECT_FALSE(crcClosesFrame(tiny, tiny.size()));
}

TEST(HexText, FormatHexIsTwoUpperCaseDigits) {
    EXPECT_EQ(FormatHex(0), "00");
    EXPECT_EQ(FormatHex(10), "0A");
    EXPECT_EQ(FormatHex(15), "0F");
    EXPECT_EQ(FormatHex(16), "10");
    EXPECT_EQ(FormatHex(171), "AB");
    EXPECT_EQ(FormatHex(255), "FF");
}

TEST(HexText, RequestAndReplyShapes) {
    const QString request = requestText(sealed({0x01, 0x03, 0, 0, 0, 0x02}));
    EXPECT_EQ(request.size(), 24);
    EXPECT_TRUE(request.endsWith(' '));
    const QString reply = replyText(bytes({0x01, 0x03, 0x02, 0x27, 0x10, 0xE6, 0x78}));
    EXPECT_EQ(reply.size(), 21);
    EXPECT_EQ(reply, " 01 03 02 27 10 E6 78");
    EXPECT_EQ(replyText(QByteArray()), "");
}

TEST(FieldNumbers, AcceptedNotations) {
    for (const char* ok : {"1", " 1", "1 ", "\t-2.5", "+3", "3.", ".5", "-.5", "1e3", "1E+3", "2.5e-1", "007"}) {
        EXPECT_TRUE(num::readNumber(QString::fromLatin1(ok))) << ok;
    }
    for (const char* bad : {"", " ", "+", "-", ".", "e3", "1e", "1e+", "1,5", "0x10", "1 2", "abc", "1.2.3",
                            "inf", "nan", "1e400", "--1", "12a"}) {
        EXPECT_FALSE(num::readNumber(QString::fromLatin1(bad))) << bad;
    }
    EXPECT_FALSE(num::readNumber(QStringLiteral("１２"))); // full-width digits are not numbers
    EXPECT_DOUBLE_EQ(*num::readNumber(QStringLiteral(" -2.5e1 ")), -25.0);
    // Too small for the type is still a number: it reads as zero, keeping its sign.
    EXPECT_EQ(num::readNumber(QStringLiteral("1e-400")), 0.0);
    EXPECT_TRUE(std::signbit(*num::readNumber(QStringLiteral("-0.0001e-320"))));
    EXPECT_EQ(num::readSingle(QStringLiteral("1e-50")), 0.0f);
    EXPECT_EQ(num::readNumber(QStringLiteral("4e-320")), 4e-320); // subnormal, not zero
    // Found by the fuzzer's cross-check: an exponent far beyond any type.
    EXPECT_EQ(num::readNumber(QStringLiteral("1E-") + QString(96, QLatin1Char('1'))), 0.0);
    EXPECT_FALSE(num::readNumber(QStringLiteral("1E+") + QString(96, QLatin1Char('1'))));
    EXPECT_FALSE(num::readSingle(QStringLiteral("1e50")));        // too large stays refused
    EXPECT_TRUE(num::isNumeral(QStringLiteral(" 1e400")));
    EXPECT_FALSE(num::isNumeral(QStringLiteral("1e")));
}

TEST(FieldNumbers, RoundingDownAndToEven) {
    EXPECT_EQ(*num::floorOf(7.9), 7);
    EXPECT_EQ(*num::floorOf(-0.5), -1);
    EXPECT_EQ(*num::floorOf(-3.0), -3);
    EXPECT_EQ(*num::roundEven(2.5), 2);
    EXPECT_EQ(*num::roundEven(3.5), 4);
    EXPECT_EQ(*num::roundEven(-2.5), -2);
    EXPECT_EQ(*num::roundEven(-3.5), -4);
    EXPECT_EQ(*num::roundEven(60000.6), 60001);
    EXPECT_EQ(*num::roundEven(0.49999999999999994), 0);
    EXPECT_FALSE(num::floorOf(1e300));
    EXPECT_FALSE(num::roundEven(QStringLiteral("x")));
    // 2^53 is the last whole number taken; it rounds to itself, either way.
    EXPECT_EQ(num::roundEven(QStringLiteral("9007199254740992")), 9007199254740992LL);
    EXPECT_EQ(num::roundEven(QStringLiteral("-9007199254740992")), -9007199254740992LL);
    EXPECT_EQ(num::floorOf(QStringLiteral("9007199254740992")), 9007199254740992LL);
    EXPECT_EQ(num::roundEven(QStringLiteral("9007199254740991.5")), 9007199254740992LL); // the double is 2^53
    EXPECT_FALSE(num::roundEven(QStringLiteral("9007199254740994")));
    EXPECT_FALSE(num::floorOf(QStringLiteral("-9007199254740994")));
}

TEST(FieldNumbers, Bytes) {
    EXPECT_EQ(num::asByte(0), 0);
    EXPECT_EQ(num::asByte(255), 255);
    EXPECT_FALSE(num::asByte(256));
    EXPECT_FALSE(num::asByte(-1));
    EXPECT_FALSE(num::asByte(std::nullopt));
}

TEST(NumberPatterns, ScaledTexts) {
    EXPECT_EQ(num::formatScaled(3000, 2, 2), "30.00");
    EXPECT_EQ(num::formatScaled(5, 2, 2), "00.05");
    EXPECT_EQ(num::formatScaled(-200, 2, 2), "-02.00");
    EXPECT_EQ(num::formatScaled(-200, 1, 2), "-2.00");
    EXPECT_EQ(num::formatScaled(10000, 1, 4), "1.0000");
    EXPECT_EQ(num::formatScaled(65535, 2, 2), "655.35");
    EXPECT_EQ(num::formatScaled(-35535, 2, 2), "-355.35");
}

TEST(MeasurementDecoding, WorkedExample) {
    const auto w = decodeMeasurement(bytes({0x02, 0x03, 0x04, 0x0B, 0xB8, 0xFF, 0x38, 0x0B, 0x10}), "0");
    EXPECT_EQ(textOf(w, Field::Measured, 0), "30.00");
    EXPECT_EQ(textOf(w, Field::Measured, 1), "-02.00");
    EXPECT_EQ(textOf(w, Field::Answered, 0), "");
    EXPECT_EQ(textOf(w, Field::Answered, 1), "");
    EXPECT_EQ(textOf(w, Field::Measured, 2), "<none>");
}

TEST(MeasurementDecoding, SignedFoldOnlyAwayFromPositionZero) {
    EXPECT_EQ(textOf(decodeMeasurement(bytes({1, 3, 2, 0xFF, 0xFF, 0, 0}), "0"), Field::Measured, 0), "655.35");
    const auto w = decodeMeasurement(bytes({1, 3, 4, 0, 0, 0x75, 0x30, 0, 0}), "0");
    EXPECT_EQ(textOf(w, Field::Measured, 1), "300.00");
    const auto w2 = decodeMeasurement(bytes({1, 3, 4, 0, 0, 0x75, 0x31, 0, 0}), "0");
    EXPECT_EQ(textOf(w2, Field::Measured, 1), "-355.35");
}

TEST(MeasurementDecoding, StartRegisterShiftsPositionsButNotColours) {
    const QByteArray reply = bytes({1, 3, 4, 0x01, 0x00, 0xFF, 0x38, 0, 0});
    const auto one = decodeMeasurement(reply, "1");
    EXPECT_EQ(textOf(one, Field::Measured, 0), "02.56");
    const auto two = decodeMeasurement(reply, "2");
    EXPECT_EQ(textOf(two, Field::Measured, 2), "02.56");
    EXPECT_EQ(textOf(two, Field::Measured, 3), "-2.00");
    EXPECT_EQ(textOf(two, Field::Measured, 0), "<none>");
    EXPECT_EQ(textOf(two, Field::Answered, 0), "");
    EXPECT_EQ(textOf(two, Field::Answered, 1), "");
    EXPECT_EQ(textOf(two, Field::Answered, 2), "<none>");
    // Not a number counts as start 0; a huge start shows nothing.
    EXPECT_EQ(textOf(decodeMeasurement(reply, "x"), Field::Measured, 0), "02.56");
    EXPECT_EQ(textOf(decodeMeasurement(reply, "1e300"), Field::Measured, 0), "<none>");
}

TEST(MeasurementDecoding, ByteCountBoundsTheLoop) {
    EXPECT_TRUE(decodeMeasurement(bytes({1, 3, 0, 0x12, 0x34}), "0").empty());
    const auto three = decodeMeasurement(bytes({1, 3, 3, 0x00, 0x01, 0x00, 0x02, 0, 0}), "0");
    EXPECT_EQ(textOf(three, Field::Measured, 0), "00.01");
    EXPECT_EQ(textOf(three, Field::Measured, 1), "<none>");
    QByteArray eight = bytes({1, 3, 8});
    for (int r = 1; r <= 4; ++r)
        eight += bytes({0, r});
    const auto w8 = decodeMeasurement(eight + bytes({0, 0}), "0");
    EXPECT_EQ(textOf(w8, Field::Measured, 3), "0.04");
    QByteArray ten = eight;
    ten[2] = 10;
    ten += bytes({0x12, 0x34, 0, 0});
    const auto w10 = decodeMeasurement(ten, "0");
    EXPECT_EQ(w10.size(), w8.size()); // the fifth register has no box
}

TEST(MeasurementDecoding, ReplyEndingEarlyWritesOnlyWhatArrived) {
    EXPECT_TRUE(decodeMeasurement(bytes({1, 3}), "0").empty());
    EXPECT_TRUE(decodeMeasurement(QByteArray(), "0").empty());
    const auto half = decodeMeasurement(bytes({1, 3, 4, 0x0B, 0xB8, 0xFF}), "0");
    EXPECT_EQ(textOf(half, Field::Measured, 0), "30.00");
    EXPECT_EQ(textOf(half, Field::Measured, 1), "<none>");
    EXPECT_EQ(textOf(half, Field::Answered, 1), "<none>");
    // A byte count claiming far more than arrived reads nothing beyond the reply.
    const auto lying = decodeMeasurement(bytes({1, 3, 0xFF, 0x00, 0x10}), "0");
    EXPECT_EQ(lying.size(), 2u);
}

TEST(RegisterReadDecoding, TargetsAndPatterns) {
    const QByteArray reply = bytes({0x02, 0x03, 0x02, 0x27, 0x10, 0xE6, 0x78});
    EXPECT_EQ(decodeRegisterRead(reply, 0), (FieldWrites{{Field::Parameter, 0, "1.0000"}}));
    EXPECT_EQ(decodeRegisterRead(reply, 3), (FieldWrites{{Field::Parameter, 3, "10000"}}));
    EXPECT_EQ(decodeRegisterRead(reply, 7), (FieldWrites{{Field::RA, 0, "100.00"}}));
    EXPECT_EQ(decodeRegisterRead(bytes({1, 3, 2, 0x36, 0x1A}), 8), (FieldWrites{{Field::RB, 0, "138.50"}}));
    EXPECT_EQ(decodeRegisterRead(bytes({1, 3, 2, 0x07, 0xD0}), 0), (FieldWrites{{Field::Parameter, 0, "0.2000"}}));
    EXPECT_EQ(decodeRegisterRead(bytes({1, 3, 2, 0xFF, 0xFF}), 2), (FieldWrites{{Field::Parameter, 2, "65535"}}));
    EXPECT_TRUE(decodeRegisterRead(reply, 9).empty());
    EXPECT_TRUE(decodeRegisterRead(reply, -1).empty());
    EXPECT_TRUE(decodeRegisterRead(bytes({1, 3, 2, 0x27}), 0).empty());
}

// Every frame that differs from a sound one in a single bit.
static std::vector<QByteArray> singleBitFlips(const QByteArray& good) {
    std::vector<QByteArray> out;
    for (int i = 0; i < good.size(); ++i)
        for (int bit = 0; bit < 8; ++bit) {
            QByteArray flipped = good;
            flipped[i] = static_cast<char>(flipped[i] ^ (1 << bit));
            out.push_back(flipped);
        }
    return out;
}

TEST(ReplySoundness, WholeFrameWithMatchingCrc) {
    // CRCs restated from an independent CRC-16/MODBUS computation.
    const QByteArray good[] = {
        bytes({0x02, 0x03, 0x04, 0x0B, 0xB8, 0xFF, 0x38, 0x0B, 0x10}), // two registers
        bytes({0x02, 0x03, 0x02, 0x27, 0x10, 0xE6, 0x78}),             // one register
        bytes({0x05, 0x03, 0x02, 0x00, 0x05, 0x89, 0x87}),             // an address read
        bytes({0x01, 0x03, 0x00, 0x20, 0xF0}),                         // no registers at all
    };
    for (const QByteArray& reply : good) {
        EXPECT_TRUE(replyIsSound(reply)) << reply.toHex(' ').toStdString();
        // What follows a sound frame does not matter.
        EXPECT_TRUE(replyIsSound(reply + bytes({0x00})));
        EXPECT_TRUE(replyIsSound(reply + bytes({0xDE, 0xAD, 0xBE, 0xEF})));
        for (const QByteArray& flipped : singleBitFlips(reply))
            EXPECT_FALSE(replyIsSound(flipped)) << flipped.toHex(' ').toStdString();
        for (int n = 0; n < reply.size(); ++n)
            EXPECT_FALSE(replyIsSound(reply.left(n))) << n;
    }
}

TEST(ReplySoundness, ExceptionRepliesAreNeverSound) {
    // The example, a measurement of 0 registers answered by exception 03:
    // read by position it would show moisture 03.05.
    EXPECT_FALSE(replyIsSound(bytes({0x01, 0x83, 0x03, 0x01, 0x31})));
    // An exception whose code reads as byte count 0 and whose CRC matches as such.
    EXPECT_FALSE(replyIsSound(bytes({0x01, 0x83, 0x00, 0x41, 0x30})));
    // The same bytes without the exception bit are a sound empty read.
    EXPECT_TRUE(replyIsSound(bytes({0x01, 0x03, 0x00, 0x20, 0xF0})));
    // A byte count claiming more than arrived.
    EXPECT_FALSE(replyIsSound(bytes({0x01, 0x03, 0xFF, 0x00, 0x10, 0x20, 0xF0})));
}

TEST(AddressDecoding, ByteThreeForChangeByteZeroForRead) {
    EXPECT_EQ(decodeAddressRead(bytes({0x05, 0x03, 0x02})),
              (FieldWrites{{Field::Address, 0, "5"}}));
    EXPECT_EQ(decodeAddressChange(bytes({0x09, 0x09, 0x09, 0xFE})),
              (FieldWrites{{Field::Address, 0, "254"}}));
    EXPECT_TRUE(decodeAddressChange(bytes({1, 6, 1})).empty());
    EXPECT_TRUE(decodeAddressRead(QByteArray()).empty());
}

TEST(AddressDecoding, EchoOfTheChangeConfirmsTheNewAddress) {
    const Frame request = sealed({0x01, 0x06, 0x0B, 0x00, 0x00, 0x05});
    const FieldWrites five{{Field::Address, 0, "5"}};
    const QByteArray echo = bytes({0x01, 0x06, 0x0B, 0x00, 0x00, 0x05, 0x4B, 0xED});
    EXPECT_EQ(decodeAddressChange(echo, request), five);
    EXPECT_EQ(decodeAddressChange(echo + bytes({0x77}), request), five);
    // The event comes at six bytes, so the CRC may not have arrived yet.
    EXPECT_EQ(decodeAddressChange(echo.left(6), request), five);
    EXPECT_EQ(decodeAddressChange(echo.left(7), request), five);

    // Anything else is read at byte 3, as designed.
    const FieldWrites zero{{Field::Address, 0, "0"}};
    EXPECT_EQ(decodeAddressChange(bytes({0x01, 0x06, 0x01, 0x05, 0x20, 0x4A}), request), five);
    EXPECT_EQ(decodeAddressChange(bytes({0x01, 0x06, 0x01, 0x09, 0x00, 0x00}), request),
              (FieldWrites{{Field::Address, 0, "9"}}));
    QByteArray badCrc = echo;
    badCrc[7] = static_cast<char>(0xEC);
    EXPECT_EQ(decodeAddressChange(badCrc, request), zero);
    EXPECT_EQ(decodeAddressChange(bytes({0x02, 0x06, 0x0B, 0x00, 0x00, 0x05, 0x4B, 0xDE}), request), zero);
    EXPECT_TRUE(decodeAddressChange(echo.left(3), request).empty());
}

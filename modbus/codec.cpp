#include "modbus/codec.h"

#include <algorithm>

namespace kv {

std::uint16_t crc16(const std::uint8_t* data, std::size_t size) {
    std::uint16_t r = 0xFFFF;
    for (std::size_t i = 0; i < size; ++i) {
        r ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            const bool lsb = (r & 1u) != 0;
            r >>= 1;
            if (lsb) r ^= 0xA001;
        }
    }
    return r;
}

CrcBytes Crc16(const std::uint8_t* cmdstring, std::size_t size, int j) {
    const std::size_t covered = j < 0 ? 0 : std::min<std::size_t>(size, static_cast<std::size_t>(j) + 1);
    const std::uint16_t r = crc16(cmdstring, covered);
    return {r & 0xFF, static_cast<std::uint8_t>(r >> 8)};
}

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Bytes as FormatHex writes each, a blank before (blankFirst) or after every one, written in
// place: the cycle writes a request and a reply twenty times a second.
QString hexBytes(const std::uint8_t* bytes, std::size_t n, bool blankFirst) {
    QString text(static_cast<qsizetype>(3 * n), QLatin1Char(' '));
    QChar* out = text.data() + (blankFirst ? 1 : 0);
    for (std::size_t i = 0; i < n; ++i, out += 3) {
        out[0] = QLatin1Char(kHexDigits[bytes[i] >> 4]);
        out[1] = QLatin1Char(kHexDigits[bytes[i] & 0x0F]);
    }
    return text;
}

} // namespace

QString FormatHex(std::uint8_t bb) {
    const char text[2] = {kHexDigits[bb >> 4], kHexDigits[bb & 0x0F]};
    return QString::fromLatin1(text, 2);
}

CrcBytes sealFrame(Frame& frame) {
    const CrcBytes crc = Crc16(frame, 5);
    frame[6] = static_cast<std::uint8_t>(crc.HiByte);
    frame[7] = crc.LoByte;
    return crc;
}

bool crcClosesFrame(const QByteArray& bytes, qsizetype length) {
    if (length < 4 || length > bytes.size()) return false;
    const auto* b = reinterpret_cast<const std::uint8_t*>(bytes.constData());
    const std::uint16_t crc = crc16(b, static_cast<std::size_t>(length) - 2);
    return b[length - 2] == (crc & 0xFF) && b[length - 1] == (crc >> 8);
}

QString requestText(const Frame& frame) {
    return hexBytes(frame.data(), frame.size(), false);
}

QString replyText(const QByteArray& bytes) {
    return hexBytes(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                    static_cast<std::size_t>(bytes.size()), true);
}

} // namespace kv

#pragma once
// Modbus RTU request frames, the CRC-16 of the serial line and the hex texts of the
// command observation window. Pure functions over bytes.

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>

namespace kv {

inline constexpr std::uint8_t MODBUS_FC_READ_HOLDING_REGISTERS = 0x03;
inline constexpr std::uint8_t MODBUS_FC_READ_INPUT_REGISTERS = 0x04;
inline constexpr std::uint8_t MODBUS_FC_WRITE_SINGLE_REGISTER = 0x06;
// Set in the function byte of an exception reply.
inline constexpr std::uint8_t MODBUS_EXCEPTION_FLAG = 0x80;
// The exceptions a Modbus-TCP gateway answers with itself: no path to the unit asked, and
// the unit did not answer the gateway.
inline constexpr std::uint8_t MODBUS_EXCEPTION_GATEWAY_PATH_UNAVAILABLE = 0x0A;
inline constexpr std::uint8_t MODBUS_EXCEPTION_GATEWAY_TARGET_FAILED = 0x0B;

// An 8-byte request: bytes 0..5 filled by the handler, 6..7 the CRC.
using Frame = std::array<std::uint8_t, 8>;

// The CRC result split the way the window keeps it: HiByte is the CRC's low-order
// byte (sent first), LoByte its high-order byte (sent second).
struct CrcBytes {
    int HiByte = 0;
    std::uint8_t LoByte = 0;
};

// CRC-16/MODBUS (poly 0xA001 reflected, init 0xFFFF, no final xor) over data[0..size):
// the 16-bit value, whose low byte goes first on the line.
[[nodiscard]] std::uint16_t crc16(const std::uint8_t* data, std::size_t size);
[[nodiscard]] inline std::uint16_t crc16(const QByteArray& bytes) {
    return crc16(reinterpret_cast<const std::uint8_t*>(bytes.constData()), static_cast<std::size_t>(bytes.size()));
}

// The window's form of crc16 over cmdstring[0..j]. j = -1 covers nothing; j is clamped
// to the buffer so nothing outside it is ever read.
[[nodiscard]] CrcBytes Crc16(const std::uint8_t* cmdstring, std::size_t size, int j);
[[nodiscard]] inline CrcBytes Crc16(const Frame& frame, int j) { return Crc16(frame.data(), frame.size(), j); }

// Two upper-case hex digits, leading zero below 0x10.
[[nodiscard]] QString FormatHex(std::uint8_t bb);

// Fills bytes 6 and 7 with the CRC over bytes 0..5 and returns the CRC as computed.
CrcBytes sealFrame(Frame& frame);

// True when the first `length` bytes of `bytes` (at least 4 of them, and no more than
// there are) end with the CRC of the bytes before it.
[[nodiscard]] bool crcClosesFrame(const QByteArray& bytes, qsizetype length);

// "01 03 00 00 00 02 C4 0B " : a blank after each byte.
[[nodiscard]] QString requestText(const Frame& frame);
// " 02 03 04": a blank before each byte.
[[nodiscard]] QString replyText(const QByteArray& bytes);

[[nodiscard]] inline QByteArray toBytes(const Frame& frame) {
    return QByteArray(reinterpret_cast<const char*>(frame.data()), static_cast<int>(frame.size()));
}

} // namespace kv

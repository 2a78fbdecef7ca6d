#pragma once
// The sensor's register map, its request frames and strict checks of its replies.
// Pure functions over bytes: a reply is accepted only when its length, CRC, address
// and function are right, and a Modbus exception is reported with its standard name.

#include "modbus/codec.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <vector>

namespace kv::sensor {

// The one strict judge of replies for the command line and the monitor. The window keeps
// the design's lenient decodings in modbus/decode on purpose (it shows what a reply's
// bytes say, sound or not), and the virtual sensor its own framing in sim/ so that it
// checks this code instead of sharing its mistakes: neither is to be merged into this.

// Register map.
inline constexpr std::uint16_t REG_MOISTURE = 0;             // % x 100, unsigned
inline constexpr std::uint16_t REG_TEMPERATURE = 1;          // degC x 100
inline constexpr std::uint16_t REG_FIRST_PARAMETER = 2;      // parameter i is read at 2 + i
inline constexpr std::uint16_t REG_RESISTANCE = 8;           // PT100 resistance, ohm x 100
inline constexpr std::uint16_t REG_PARAMETER_WRITE = 0x0A00; // parameter i is written at 0x0A00 + 2i
inline constexpr std::uint16_t REG_ADDRESS = 0x0B00;
inline constexpr int PARAMETER_COUNT = 7;

// The parameters by index, in the order the sensor keeps them (parameterInfo describes each).
inline constexpr int PARAM_SCALE = 0;
inline constexpr int PARAM_MOISTURE_OFFSET = 1;
inline constexpr int PARAM_MOISTURE_MAX = 2;
inline constexpr int PARAM_MOISTURE_MIN = 3;
inline constexpr int PARAM_LA = 4; // the temperature calibration's slope
inline constexpr int PARAM_OF = 5; // and its offset
inline constexpr int PARAM_RANGE = 6;

// The rates a sensor may be set to, slowest first; no other is sent.
inline constexpr std::array<int, 9> STANDARD_RATES{1200,  2400,  4800,  9600,  14400,
                                                   19200, 38400, 57600, 115200};
[[nodiscard]] constexpr bool isStandardRate(int baud) {
    for (int r : STANDARD_RATES)
        if (r == baud) return true;
    return false;
}

// Every sensor answers a read sent to this device with its own address.
inline constexpr std::uint8_t ADDRESS_READ_DEVICE = 250;
inline constexpr int MIN_ADDRESS = 1;
inline constexpr int MAX_ADDRESS = 247;

// Whether a device on the line may have this address.
[[nodiscard]] constexpr bool isDeviceAddress(int address) {
    return address >= MIN_ADDRESS && address <= MAX_ADDRESS;
}

[[nodiscard]] constexpr std::uint16_t parameterReadRegister(int i) {
    return static_cast<std::uint16_t>(REG_FIRST_PARAMETER + i);
}
[[nodiscard]] constexpr std::uint16_t parameterWriteRegister(int i) {
    return static_cast<std::uint16_t>(REG_PARAMETER_WRITE + 2 * i);
}
// The parameter read at a register, or -1. Register 8 holds the resistance too: a caller that
// shows it so asks for that first.
[[nodiscard]] constexpr int parameterReadAt(int reg) {
    return reg >= REG_FIRST_PARAMETER && reg < REG_FIRST_PARAMETER + PARAMETER_COUNT
               ? reg - REG_FIRST_PARAMETER
               : -1;
}
// The parameter written at a register, or -1.
[[nodiscard]] constexpr int parameterWrittenAt(int reg) {
    const int offset = reg - REG_PARAMETER_WRITE;
    return offset >= 0 && offset % 2 == 0 && offset / 2 < PARAMETER_COUNT ? offset / 2 : -1;
}

// What a frame says of itself, sound or not, once its first two bytes have come: the device
// it is from, the function it answers (an exception's too), and whether a request is a
// write (answered by its own echo). 0 when the frame is too short to tell.
[[nodiscard]] std::uint8_t senderOf(const QByteArray& frame);
[[nodiscard]] std::uint8_t functionAnswered(const QByteArray& frame);
[[nodiscard]] bool isWriteRequest(const QByteArray& request);

// Request frames, sealed with their CRC.
[[nodiscard]] Frame readRequest(std::uint8_t address, std::uint16_t start, std::uint16_t count);
[[nodiscard]] Frame writeRequest(std::uint8_t address, std::uint16_t reg, std::uint16_t value);
// Moisture and temperature: registers 0 and 1.
[[nodiscard]] Frame measurementRequest(std::uint8_t address);
[[nodiscard]] Frame addressReadRequest();
[[nodiscard]] Frame parameterReadRequest(std::uint8_t address, int i);
[[nodiscard]] Frame parameterWriteRequest(std::uint8_t address, int i, std::uint16_t raw);
[[nodiscard]] Frame addressChangeRequest(std::uint8_t address, std::uint8_t newAddress);
[[nodiscard]] Frame resistanceReadRequest(std::uint8_t address);

// What a request expects back; decides when a reply is complete and how it is checked.
enum class ReplyKind {
    Read,          // function 3: address, 3, byte count, registers, CRC
    WriteEcho,     // function 6: the request echoed
    AddressChange, // the sensor's 6-byte form (old, 6, 1, new, CRC) or the standard echo
    Other,         // a function this sensor does not speak: judged whole, by CRC, address and function
};

struct Expectation {
    ReplyKind kind = ReplyKind::Read;
    std::uint8_t address = 1; // for the address read: any address 1..247 may answer
    bool anyAddress = false;
    std::uint16_t start = 0; // first register, for reads
    std::uint16_t count = 0; // registers, for reads
    Frame request{};         // for echoes
};

[[nodiscard]] Expectation expectRead(const Frame& request);
[[nodiscard]] Expectation expectEcho(const Frame& request);
[[nodiscard]] Expectation expectAddressChange(const Frame& request);
[[nodiscard]] Expectation expectAddressRead();
// What a request as seen on the line expects: a read of function 3 or 4 (any address may
// answer one sent to the address-read device), a write's echo, the address change, or
// Other for any other function or a request shorter than 6 bytes.
[[nodiscard]] Expectation expectFor(const QByteArray& request);

// Length the reply will have, judged from its first bytes; 0 while too few bytes have
// arrived to tell. An exception reply is 5 bytes.
[[nodiscard]] int replyLength(const QByteArray& soFar, const Expectation& expect);

// The longest good reply the request can get, for timeouts.
[[nodiscard]] int longestReply(const Expectation& expect);

enum class ReplyStatus {
    Ok,
    Short, // fewer bytes than the reply needs (a timeout cut it)
    Long,  // bytes beyond the reply
    BadCrc,
    WrongAddress,
    WrongFunction,
    BadByteCount,
    BadEcho,   // a write acknowledged with other bytes than were written
    Exception, // a well-formed Modbus exception reply
};

struct Reply {
    ReplyStatus status = ReplyStatus::Short;
    std::uint8_t address = 0;
    std::uint8_t exceptionCode = 0;
    std::vector<std::uint16_t> registers; // reads
    std::uint16_t value = 0;              // echoes: the value acknowledged
    [[nodiscard]] bool ok() const { return status == ReplyStatus::Ok; }
};

[[nodiscard]] Reply checkReply(const QByteArray& reply, const Expectation& expect);

// Whether the frame is one the request could draw: its sound answer or its exception.
[[nodiscard]] bool couldAnswer(const QByteArray& frame, const Expectation& expect);
// Whether some sound reply other than an exception would answer both requests: the same
// device (or either sent to the address-read device), the same function, and a read's
// count or a write's whole echo alike. A reply of such a shape cannot tell which it answers.
[[nodiscard]] bool sameAnswers(const Expectation& a, const Expectation& b);

// The length of a reply frame a Modbus RTU device could send starting at bytes[from],
// judged from its first bytes: 0 while too few have come to tell, -1 when no reply starts
// so (an address outside 1..247, a function no device answers with, a read's byte count
// of 0 or odd). The sensor's 6-byte answer to an address change is the second length of
// its function: see shortAddressChangeLength.
[[nodiscard]] int frameLength(const QByteArray& bytes, int from = 0);
// 6 when the frame at bytes[from] may be the sensor's own short answer to an address
// change (old, 6, 1, new, CRC), else 0.
[[nodiscard]] int shortAddressChangeLength(const QByteArray& bytes, int from = 0);

// The standard name of a Modbus exception code ("Illegal Data Address").
[[nodiscard]] QString exceptionName(std::uint8_t code);
// One line for a failed check ("bad CRC", "exception 02 Illegal Data Address").
[[nodiscard]] QString describe(const Reply& reply);

} // namespace kv::sensor

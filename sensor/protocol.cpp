#include "sensor/protocol.h"

#include <algorithm>

namespace kv::sensor {
namespace {

std::uint8_t hi(std::uint16_t v) {
    return static_cast<std::uint8_t>(v >> 8);
}
std::uint8_t lo(std::uint16_t v) {
    return static_cast<std::uint8_t>(v & 0xFF);
}
int at(const QByteArray& b, int i) {
    return static_cast<std::uint8_t>(b.at(i));
}

Frame sealed(std::uint8_t address, std::uint8_t function, std::uint16_t reg, std::uint16_t value) {
    Frame f{address, function, hi(reg), lo(reg), hi(value), lo(value), 0, 0};
    sealFrame(f);
    return f;
}

} // namespace

std::uint8_t senderOf(const QByteArray& frame) {
    return frame.isEmpty() ? 0 : static_cast<std::uint8_t>(at(frame, 0));
}

std::uint8_t functionAnswered(const QByteArray& frame) {
    return frame.size() < 2 ? 0 : static_cast<std::uint8_t>(at(frame, 1) & ~MODBUS_EXCEPTION_FLAG);
}

bool isWriteRequest(const QByteArray& request) {
    return request.size() > 1 && at(request, 1) == MODBUS_FC_WRITE_SINGLE_REGISTER;
}

Frame readRequest(std::uint8_t address, std::uint16_t start, std::uint16_t count) {
    return sealed(address, MODBUS_FC_READ_HOLDING_REGISTERS, start, count);
}
Frame writeRequest(std::uint8_t address, std::uint16_t reg, std::uint16_t value) {
    return sealed(address, MODBUS_FC_WRITE_SINGLE_REGISTER, reg, value);
}
Frame measurementRequest(std::uint8_t address) {
    return readRequest(address, REG_MOISTURE, 2);
}
Frame addressReadRequest() {
    return readRequest(ADDRESS_READ_DEVICE, 0, 1);
}
Frame parameterReadRequest(std::uint8_t address, int i) {
    return readRequest(address, parameterReadRegister(i), 1);
}
Frame parameterWriteRequest(std::uint8_t address, int i, std::uint16_t raw) {
    return writeRequest(address, parameterWriteRegister(i), raw);
}
Frame addressChangeRequest(std::uint8_t address, std::uint8_t newAddress) {
    return writeRequest(address, REG_ADDRESS, newAddress);
}
Frame resistanceReadRequest(std::uint8_t address) {
    return readRequest(address, REG_RESISTANCE, 1);
}

Expectation expectRead(const Frame& request) {
    Expectation e;
    e.kind = ReplyKind::Read;
    e.address = request[0];
    e.start = static_cast<std::uint16_t>((request[2] << 8) | request[3]);
    e.count = static_cast<std::uint16_t>((request[4] << 8) | request[5]);
    e.request = request;
    return e;
}

Expectation expectEcho(const Frame& request) {
    Expectation e;
    e.kind = ReplyKind::WriteEcho;
    e.address = request[0];
    e.request = request;
    return e;
}

Expectation expectAddressChange(const Frame& request) {
    Expectation e = expectEcho(request);
    e.kind = ReplyKind::AddressChange;
    return e;
}

Expectation expectAddressRead() {
    Expectation e = expectRead(addressReadRequest());
    e.anyAddress = true;
    return e;
}

Expectation expectFor(const QByteArray& request) {
    Frame f{};
    std::copy_n(request.constData(), std::min<qsizetype>(request.size(), 8),
                reinterpret_cast<char*>(f.data()));
    Expectation e;
    if (request.size() < 6) {
        e = expectEcho(f);
        e.kind = ReplyKind::Other;
        return e;
    }
    switch (f[1]) {
    case MODBUS_FC_READ_HOLDING_REGISTERS:
    case MODBUS_FC_READ_INPUT_REGISTERS:
        e = expectRead(f);
        e.anyAddress = f[0] == ADDRESS_READ_DEVICE;
        return e;
    case MODBUS_FC_WRITE_SINGLE_REGISTER:
        return ((f[2] << 8) | f[3]) == REG_ADDRESS ? expectAddressChange(f) : expectEcho(f);
    default:
        e = expectEcho(f);
        e.kind = ReplyKind::Other;
        return e;
    }
}

int replyLength(const QByteArray& soFar, const Expectation& expect) {
    if (soFar.size() < 2) return 0;
    if (at(soFar, 1) & MODBUS_EXCEPTION_FLAG) return 5;
    switch (expect.kind) {
    case ReplyKind::Read:
        return 5 + 2 * expect.count;
    case ReplyKind::WriteEcho:
        return 8;
    case ReplyKind::AddressChange:
        if (soFar.size() < 3) return 0;
        // The echo carries the register's high byte 0x0B where the short form has 0x01.
        return at(soFar, 2) == hi(REG_ADDRESS) ? 8 : 6;
    case ReplyKind::Other:
        return 0;
    }
    return 0;
}

int longestReply(const Expectation& expect) {
    return expect.kind == ReplyKind::Read ? 5 + 2 * expect.count : 8;
}

Reply checkReply(const QByteArray& bytes, const Expectation& expect) {
    Reply r;
    int need = replyLength(bytes, expect);
    if (expect.kind == ReplyKind::Other && need == 0 && bytes.size() >= 4)
        need = static_cast<int>(bytes.size());
    if (need == 0 || bytes.size() < need) {
        r.status = ReplyStatus::Short;
        return r;
    }
    if (bytes.size() > need) {
        r.status = ReplyStatus::Long;
        return r;
    }
    if (!crcClosesFrame(bytes, bytes.size())) {
        r.status = ReplyStatus::BadCrc;
        return r;
    }
    r.address = static_cast<std::uint8_t>(at(bytes, 0));
    const bool addressOk = expect.anyAddress ? isDeviceAddress(r.address) : r.address == expect.address;
    if (!addressOk) {
        r.status = ReplyStatus::WrongAddress;
        return r;
    }
    const int function = at(bytes, 1);
    if (functionAnswered(bytes) != expect.request[1]) {
        r.status = ReplyStatus::WrongFunction;
        return r;
    }
    if (function & MODBUS_EXCEPTION_FLAG) {
        r.status = ReplyStatus::Exception;
        r.exceptionCode = static_cast<std::uint8_t>(at(bytes, 2));
        return r;
    }
    switch (expect.kind) {
    case ReplyKind::Read:
        if (at(bytes, 2) != 2 * expect.count) {
            r.status = ReplyStatus::BadByteCount;
            return r;
        }
        for (int i = 0; i < expect.count; ++i)
            r.registers.push_back(
                static_cast<std::uint16_t>(at(bytes, 3 + 2 * i) * 256 + at(bytes, 4 + 2 * i)));
        break;
    case ReplyKind::WriteEcho:
        if (bytes != toBytes(expect.request)) {
            r.status = ReplyStatus::BadEcho;
            return r;
        }
        r.value = static_cast<std::uint16_t>((expect.request[4] << 8) | expect.request[5]);
        break;
    case ReplyKind::AddressChange:
        if (bytes.size() == 8) {
            if (bytes != toBytes(expect.request)) {
                r.status = ReplyStatus::BadEcho;
                return r;
            }
        } else if (at(bytes, 2) != 0x01 || at(bytes, 3) != expect.request[5]) {
            r.status = ReplyStatus::BadEcho;
            return r;
        }
        r.value = expect.request[5];
        break;
    case ReplyKind::Other:
        break;
    }
    r.status = ReplyStatus::Ok;
    return r;
}

bool couldAnswer(const QByteArray& frame, const Expectation& expect) {
    const ReplyStatus s = checkReply(frame, expect).status;
    return s == ReplyStatus::Ok || s == ReplyStatus::Exception;
}

bool sameAnswers(const Expectation& a, const Expectation& b) {
    const bool sameDevice = a.anyAddress || b.anyAddress || a.address == b.address;
    if (!sameDevice || a.request[1] != b.request[1]) return false;
    if (a.kind == ReplyKind::Read && b.kind == ReplyKind::Read) return a.count == b.count;
    // Writes are answered by their echo (or the address change's own form, which names the
    // new address): only the same write draws the same answer.
    return a.kind == b.kind && a.request == b.request;
}

int frameLength(const QByteArray& bytes, int from) {
    const int have = static_cast<int>(bytes.size()) - from;
    if (have < 1) return 0;
    const int address = at(bytes, from);
    if (!isDeviceAddress(address)) return -1;
    if (have < 2) return 0;
    const int function = at(bytes, from + 1);
    if (function & MODBUS_EXCEPTION_FLAG) return (function & ~MODBUS_EXCEPTION_FLAG) != 0 ? 5 : -1;
    switch (function) {
    case 0x01: // coils, discrete inputs, holding and input registers: address, function, byte count
    case 0x02:
    case MODBUS_FC_READ_HOLDING_REGISTERS:
    case MODBUS_FC_READ_INPUT_REGISTERS: {
        if (have < 3) return 0;
        const int count = at(bytes, from + 2);
        if (count == 0 || (function >= MODBUS_FC_READ_HOLDING_REGISTERS && count % 2 != 0)) return -1;
        return 5 + count;
    }
    case 0x05: // single coil, single register, multiple coils, multiple registers: 8 bytes
    case MODBUS_FC_WRITE_SINGLE_REGISTER:
    case 0x0F:
    case 0x10:
        return 8;
    default:
        return -1;
    }
}

int shortAddressChangeLength(const QByteArray& bytes, int from) {
    return bytes.size() - from >= 3 && at(bytes, from + 1) == MODBUS_FC_WRITE_SINGLE_REGISTER &&
                   at(bytes, from + 2) == 0x01
               ? 6
               : 0;
}

QString exceptionName(std::uint8_t code) {
    switch (code) {
    case 0x01:
        return QStringLiteral("Illegal Function");
    case 0x02:
        return QStringLiteral("Illegal Data Address");
    case 0x03:
        return QStringLiteral("Illegal Data Value");
    case 0x04:
        return QStringLiteral("Server Device Failure");
    case 0x05:
        return QStringLiteral("Acknowledge");
    case 0x06:
        return QStringLiteral("Server Device Busy");
    case 0x08:
        return QStringLiteral("Memory Parity Error");
    case MODBUS_EXCEPTION_GATEWAY_PATH_UNAVAILABLE:
        return QStringLiteral("Gateway Path Unavailable");
    case MODBUS_EXCEPTION_GATEWAY_TARGET_FAILED:
        return QStringLiteral("Gateway Target Device Failed to Respond");
    default:
        return QStringLiteral("Unknown Exception");
    }
}

QString describe(const Reply& reply) {
    switch (reply.status) {
    case ReplyStatus::Ok:
        return QStringLiteral("ok");
    case ReplyStatus::Short:
        return QStringLiteral("reply too short");
    case ReplyStatus::Long:
        return QStringLiteral("reply too long");
    case ReplyStatus::BadCrc:
        return QStringLiteral("bad CRC");
    case ReplyStatus::WrongAddress:
        return QStringLiteral("reply from the wrong address %1").arg(reply.address);
    case ReplyStatus::WrongFunction:
        return QStringLiteral("reply with the wrong function code");
    case ReplyStatus::BadByteCount:
        return QStringLiteral("reply with a wrong byte count");
    case ReplyStatus::BadEcho:
        return QStringLiteral("write acknowledged with other bytes than were sent");
    case ReplyStatus::Exception:
        return QStringLiteral("exception %1 %2")
            .arg(FormatHex(reply.exceptionCode), exceptionName(reply.exceptionCode));
    }
    return {};
}

} // namespace kv::sensor

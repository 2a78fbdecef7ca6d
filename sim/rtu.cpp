#include "sim/rtu.h"

#include "sim/sensor.h"

#include <array>

namespace kvsim {

namespace {

constexpr std::array<uint16_t, 256> makeCrcTable() {
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t v = static_cast<uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit)
            v = (v & 1u) ? static_cast<uint16_t>((v >> 1) ^ 0xA001u) : static_cast<uint16_t>(v >> 1);
        table[i] = v;
    }
    return table;
}

constexpr std::array<uint16_t, 256> kCrcTable = makeCrcTable();

uint16_t be16(const Bytes &b, size_t at) { return static_cast<uint16_t>((b[at] << 8) | b[at + 1]); }

void putBe16(Bytes &b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v & 0xFF));
}

constexpr size_t kPlainRequestLength = 8;
// address, function, start(2), count(2), byte count, data..., crc(2)
constexpr size_t kWriteMultipleOverhead = 9;

Bytes readReply(uint8_t address, const Bytes &req, Sensor &sensor) {
    const uint8_t function = req[1];
    const uint16_t start = be16(req, 2);
    const uint16_t count = be16(req, 4);
    if (count == 0 || count > kMaxReadCount)
        return exceptionReply(address, function, exc::kIllegalValue);
    Bytes reply{address, function, static_cast<uint8_t>(count * 2)};
    for (uint32_t reg = start; reg < uint32_t{start} + count; ++reg) {
        uint16_t value = 0;
        if (!sensor.readRegister(static_cast<uint16_t>(reg), value))
            return exceptionReply(address, function, exc::kIllegalAddress);
        putBe16(reply, value);
    }
    appendCrc(reply);
    return reply;
}

Bytes writeSingleReply(uint8_t address, const Bytes &req, Sensor &sensor) {
    const uint16_t reg = be16(req, 2);
    const uint16_t value = be16(req, 4);
    if (reg == Sensor::kAddressRegister) {
        if (value < 1 || value > 247)
            return exceptionReply(address, req[1], exc::kIllegalValue);
        const auto newAddress = static_cast<uint8_t>(value & 0xFF);
        sensor.setAddress(newAddress);
        if (sensor.echoesAddressChange())
            return req;
        Bytes reply{address, fn::kWriteSingle, 0x01, newAddress};
        appendCrc(reply);
        return reply;
    }
    if (!sensor.writeParameterRegister(reg, value))
        return exceptionReply(address, req[1], exc::kIllegalAddress);
    return req;
}

Bytes writeMultipleReply(uint8_t address, const Bytes &req, Sensor &sensor) {
    const uint16_t start = be16(req, 2);
    const uint16_t count = be16(req, 4);
    const uint8_t byteCount = req[6];
    if (count == 0 || count > kMaxWriteCount || byteCount != count * 2 ||
        req.size() != kWriteMultipleOverhead + byteCount)
        return exceptionReply(address, req[1], exc::kIllegalValue);
    // All or nothing: refuse before touching anything if one register is not writable.
    for (uint32_t reg = start; reg < uint32_t{start} + count; ++reg)
        if (!Sensor::isParameterRegister(static_cast<uint16_t>(reg)))
            return exceptionReply(address, req[1], exc::kIllegalAddress);
    for (uint16_t i = 0; i < count; ++i)
        sensor.writeParameterRegister(static_cast<uint16_t>(start + i), be16(req, 7 + 2 * size_t{i}));
    Bytes reply(req.begin(), req.begin() + 6);
    appendCrc(reply);
    return reply;
}

} // namespace

uint16_t crc16(const uint8_t *data, size_t size) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < size; ++i)
        crc = static_cast<uint16_t>((crc >> 8) ^ kCrcTable[(crc ^ data[i]) & 0xFF]);
    return crc;
}

void appendCrc(Bytes &frame) {
    const uint16_t crc = crc16(frame);
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
}

bool crcValid(const Bytes &frame) {
    if (frame.size() < 4)
        return false;
    const size_t n = frame.size() - 2;
    const uint16_t crc = crc16(frame.data(), n);
    return frame[n] == (crc & 0xFF) && frame[n + 1] == (crc >> 8);
}

Bytes exceptionReply(uint8_t address, uint8_t function, uint8_t code) {
    Bytes reply{address, static_cast<uint8_t>(function | 0x80), code};
    appendCrc(reply);
    return reply;
}

size_t FrameAssembler::expectedLength() const {
    if (buf_.size() < 2)
        return 0;
    if (buf_[1] != fn::kWriteMultiple)
        return kPlainRequestLength;
    if (buf_.size() < 7)
        return 0;
    const uint8_t byteCount = buf_[6];
    if (byteCount % 2 != 0 || byteCount > kMaxWriteCount * 2)
        return kPlainRequestLength; // cannot be a real request; let the CRC check discard it
    return kWriteMultipleOverhead + byteCount;
}

std::vector<Bytes> FrameAssembler::feed(const uint8_t *data, size_t size, int64_t nowUs) {
    std::vector<Bytes> frames;
    if (size == 0)
        return frames;
    expire(nowUs);
    buf_.insert(buf_.end(), data, data + size);
    lastUs_ = nowUs;
    for (;;) {
        const size_t len = expectedLength();
        if (len == 0 || buf_.size() < len)
            break;
        Bytes candidate(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(len));
        if (crcValid(candidate)) {
            frames.push_back(std::move(candidate));
            buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(len));
        } else {
            buf_.erase(buf_.begin());
        }
    }
    return frames;
}

void FrameAssembler::expire(int64_t nowUs) {
    if (!buf_.empty() && nowUs - lastUs_ > gapUs_)
        buf_.clear();
}

Bytes respond(const Bytes &request, Sensor &sensor) {
    if (request.size() < 8 || !crcValid(request))
        return {};
    const uint8_t target = request[0];
    const uint8_t function = request[1];
    const uint8_t own = sensor.address();

    if (target == kWhoIsThereAddress && target != own) {
        if (function != fn::kReadHolding)
            return {};
        Bytes reply{own, fn::kReadHolding, 0x02, 0x00, own};
        appendCrc(reply);
        return reply;
    }
    const bool broadcast = target == kBroadcastAddress;
    if (!broadcast && target != own)
        return {};

    Bytes reply;
    switch (function) {
    case fn::kReadHolding:
    case fn::kReadInput:
        if (broadcast || request.size() != kPlainRequestLength)
            return {};
        reply = readReply(own, request, sensor);
        break;
    case fn::kWriteSingle:
        if (request.size() != kPlainRequestLength)
            return {};
        reply = writeSingleReply(own, request, sensor);
        break;
    case fn::kWriteMultiple:
        reply = writeMultipleReply(own, request, sensor);
        break;
    default:
        reply = exceptionReply(own, function, exc::kIllegalFunction);
        break;
    }
    // Broadcast writes take effect but are never answered.
    return broadcast ? Bytes{} : reply;
}

} // namespace kvsim

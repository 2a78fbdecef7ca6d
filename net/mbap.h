#pragma once
// Modbus TCP's framing: the MBAP header (transaction id, protocol 0, length, unit id) in
// front of a PDU, and its translation to and from the RTU frame (unit, PDU, CRC) the line
// discipline speaks. Pure functions over bytes.

#include <QByteArray>

#include <cstdint>

namespace kv::net {

inline constexpr int MBAP_HEADER = 7; // transaction 2, protocol 2, length 2, unit 1
inline constexpr int MAX_PDU = 253;

struct Adu {
    std::uint16_t transaction = 0;
    std::uint8_t unit = 0;
    QByteArray pdu;
};

// The ADU for an RTU frame (its address as the unit, its CRC dropped); empty when the frame
// is too short to hold a function code and a CRC, or its PDU too long for Modbus TCP.
[[nodiscard]] QByteArray aduForFrame(std::uint16_t transaction, const QByteArray& rtuFrame);
// The RTU frame an ADU stands for: unit, PDU and its CRC.
[[nodiscard]] QByteArray frameForAdu(const Adu& adu);
// Whether the PDU is a gateway's own exception (0x0A path unavailable, 0x0B the target did
// not respond): the gateway speaking, not a device.
[[nodiscard]] bool isGatewayException(const QByteArray& pdu);

// Cuts a TCP stream into ADUs, however its segments cut or join them.
class AduReader {
public:
    enum class Cut { NeedMore, Whole, Broken };
    void feed(const QByteArray& bytes) { buffer_ += bytes; }
    // The next ADU when one is whole; Broken when the stream cannot be Modbus TCP (a
    // protocol id other than 0, or a length that holds no PDU of 1..253 bytes): from there
    // on nothing in it can be trusted: `out` holds what came of it, and the rest is dropped.
    Cut next(Adu& out);
    void clear() { buffer_.clear(); }

private:
    QByteArray buffer_;
};

} // namespace kv::net

#pragma once
// Modbus TCP as the sim's gateway speaks it: the MBAP header (transaction id, protocol 0,
// length, unit id) around a PDU, turned into the RTU frame the sensors hear and back.
// Its own code, like rtu.h, so the tool's Modbus-TCP link is checked independently.

#include "sim/rtu.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kvsim {

namespace exc {
constexpr uint8_t kGatewayPathUnavailable = 0x0A;  // no sensor with that unit id on the bus
constexpr uint8_t kGatewayTargetNoResponse = 0x0B; // the sensor did not answer soundly
} // namespace exc

struct Adu {
    uint16_t transaction = 0;
    uint8_t unit = 0;
    Bytes pdu; // function code and data
};

// Splits a TCP byte stream into ADUs by their length fields, whatever segments they came in.
class MbapAssembler {
public:
    static constexpr size_t kHeaderSize = 7;
    static constexpr size_t kMaxPdu = 253;

    // The ADUs completed by these bytes, in order. A header no gateway accepts (protocol
    // other than 0, a length that cannot hold a PDU of 1..253 bytes) breaks the stream:
    // nothing more is taken, and broken() tells.
    std::vector<Adu> feed(const uint8_t* data, size_t size);
    bool broken() const { return broken_; }
    size_t pending() const { return buf_.size(); }

private:
    Bytes buf_;
    bool broken_ = false;
};

Bytes encodeAdu(const Adu& adu);
// The frame the sensors hear for an ADU: unit, PDU, CRC.
Bytes rtuRequestFor(const Adu& request);
// The ADU that carries a sound RTU reply back: the request's transaction and unit id, the
// reply without its address and CRC.
Bytes aduReplyFor(const Adu& request, const Bytes& rtuReply);
Bytes aduExceptionFor(const Adu& request, uint8_t code);

} // namespace kvsim

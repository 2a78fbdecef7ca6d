#include "sim/mbap.h"

namespace kvsim {

namespace {

uint16_t be16(const Bytes& b, size_t at) {
    return static_cast<uint16_t>((b[at] << 8) | b[at + 1]);
}

} // namespace

std::vector<Adu> MbapAssembler::feed(const uint8_t* data, size_t size) {
    std::vector<Adu> adus;
    if (broken_) return adus;
    buf_.insert(buf_.end(), data, data + size);
    size_t at = 0;
    while (buf_.size() - at >= kHeaderSize) {
        const uint16_t protocol = be16(buf_, at + 2);
        const uint16_t length = be16(buf_, at + 4); // unit id and PDU
        if (protocol != 0 || length < 2 || length > kMaxPdu + 1) {
            broken_ = true;
            break;
        }
        if (buf_.size() - at < 6 + size_t{length}) break;
        Adu adu;
        adu.transaction = be16(buf_, at);
        adu.unit = buf_[at + 6];
        adu.pdu.assign(buf_.begin() + static_cast<std::ptrdiff_t>(at + kHeaderSize),
                       buf_.begin() + static_cast<std::ptrdiff_t>(at + 6 + length));
        adus.push_back(std::move(adu));
        at += 6 + length;
    }
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(at));
    if (broken_) buf_.clear();
    return adus;
}

Bytes encodeAdu(const Adu& adu) {
    const auto length = static_cast<uint16_t>(adu.pdu.size() + 1);
    Bytes out{
        static_cast<uint8_t>(adu.transaction >> 8), static_cast<uint8_t>(adu.transaction & 0xFF), 0,       0,
        static_cast<uint8_t>(length >> 8),          static_cast<uint8_t>(length & 0xFF),          adu.unit};
    out.insert(out.end(), adu.pdu.begin(), adu.pdu.end());
    return out;
}

Bytes rtuRequestFor(const Adu& request) {
    Bytes frame{request.unit};
    frame.insert(frame.end(), request.pdu.begin(), request.pdu.end());
    appendCrc(frame);
    return frame;
}

Bytes aduReplyFor(const Adu& request, const Bytes& rtuReply) {
    Adu reply{request.transaction, request.unit, {}};
    if (rtuReply.size() > 3) reply.pdu.assign(rtuReply.begin() + 1, rtuReply.end() - 2);
    return encodeAdu(reply);
}

Bytes aduExceptionFor(const Adu& request, uint8_t code) {
    const uint8_t function = request.pdu.empty() ? 0 : request.pdu[0];
    return encodeAdu({request.transaction, request.unit, {static_cast<uint8_t>(function | 0x80), code}});
}

} // namespace kvsim

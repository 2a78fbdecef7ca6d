#include "sim/pacing.h"

#include "sim/clock.h"
#include "sim/line.h"

#include <algorithm>
#include <cmath>

namespace kvsim {

namespace {

// The RTU standard's character (8 data bits with parity, or two stop bits without).
constexpr int kStandardCharBits = 11;

double charUs(const LineTiming& line) {
    return line.charBits * 1e6 / static_cast<double>(line.baud);
}

// Writes each byte no earlier than a line at this rate would have finished transmitting it.
SendResult sendPaced(int fd, const uint8_t* data, size_t size, const LineTiming& line, int64_t& lastWriteUs) {
    const double byteUs = charUs(line);
    const int64_t start = nowUs();
    size_t sent = 0;
    while (sent < size) {
        const auto due = static_cast<size_t>(static_cast<double>(nowUs() - start) / byteUs);
        const size_t upTo = std::min(size, due);
        if (upTo > sent) {
            lastWriteUs = nowUs();
            if (!writeAll(fd, data + sent, upTo - sent)) return SendResult::Unheard;
            sent = upTo;
            continue;
        }
        if (!waitUntil(start + static_cast<int64_t>(std::ceil(static_cast<double>(sent + 1) * byteUs))))
            return SendResult::Interrupted;
    }
    return SendResult::Sent;
}

} // namespace

double replySilenceUs(const LineTiming& line) {
    return 3.5 * std::max(line.charBits, kStandardCharBits) * 1e6 / static_cast<double>(line.baud);
}

double tooSoonUs(const LineTiming& line) {
    return 3.5 * charUs(line);
}

int64_t interFrameGapUs(long baud, int charBits) {
    if (baud <= 0) return FrameAssembler::kDefaultGapUs;
    return std::max<int64_t>(FrameAssembler::kDefaultGapUs,
                             static_cast<int64_t>(replySilenceUs(LineTiming{baud, charBits})));
}

SendResult sendReply(int fd, const Delivery& reply, int64_t receivedUs, const LineTiming& line,
                     const PacingSetup& setup, int64_t* lastWriteUs) {
    int64_t lastWrite = 0;
    // The link hands over the request at once; a real line would still be carrying it,
    // and a slave knows the frame has ended only after 3.5 characters of silence.
    const double requestUs = static_cast<double>(reply.requestLineSize) * charUs(line);
    const double firstByteUs =
        requestUs + replySilenceUs(line) + (setup.turnaroundMs + setup.delayMs) * 1000.0;
    if (!waitUntil(receivedUs + static_cast<int64_t>(firstByteUs))) return SendResult::Interrupted;
    // A device server has the whole reply only once the line has carried it.
    if (reply.packed &&
        !waitUntil(nowUs() + static_cast<int64_t>(static_cast<double>(reply.replyLineSize) * charUs(line))))
        return SendResult::Interrupted;
    if (reply.before && !writeAll(fd, reply.before->data(), reply.before->size())) return SendResult::Unheard;
    const Bytes& wire = reply.wire;
    const size_t pieces = std::min(wire.size(), static_cast<size_t>(std::max(setup.split, 1)));
    size_t offset = 0;
    for (size_t i = 0; i < pieces; ++i) {
        const size_t len = wire.size() / pieces + (i < wire.size() % pieces ? 1 : 0);
        if (i > 0 && !waitUntil(nowUs() + static_cast<int64_t>(setup.splitGapMs * 1000.0)))
            return SendResult::Interrupted;
        if (reply.packed) {
            lastWrite = nowUs();
            if (!writeAll(fd, wire.data() + offset, len)) return SendResult::Unheard;
        } else if (const SendResult r = sendPaced(fd, wire.data() + offset, len, line, lastWrite);
                   r != SendResult::Sent) {
            return r;
        }
        if (lastWriteUs) *lastWriteUs = lastWrite;
        offset += len;
    }
    return SendResult::Sent;
}

} // namespace kvsim

#include "sim/pacing.h"

#include "sim/clock.h"
#include "sim/line.h"

#include <algorithm>
#include <cmath>

namespace kvsim {

namespace {

constexpr double kBitsPerByte = 10.0; // start, 8 data, stop

// Writes each byte no earlier than a line at this rate would have finished transmitting it.
// False when interrupted by a signal.
bool sendPaced(int fd, const uint8_t* data, size_t size, long baud, int64_t& lastWriteUs) {
    const double byteUs = kBitsPerByte * 1e6 / static_cast<double>(baud);
    const int64_t start = nowUs();
    size_t sent = 0;
    while (sent < size) {
        const auto due = static_cast<size_t>(static_cast<double>(nowUs() - start) / byteUs);
        const size_t upTo = std::min(size, due);
        if (upTo > sent) {
            lastWriteUs = nowUs();
            if (!writeAll(fd, data + sent, upTo - sent))
                return true; // nobody is listening; drop the rest like a line would
            sent = upTo;
            continue;
        }
        if (!waitUntil(start + static_cast<int64_t>(std::ceil(static_cast<double>(sent + 1) * byteUs))))
            return false;
    }
    return true;
}

// 3.5 characters of 11 bits: the silence that ends an RTU frame.
double silenceUs(long baud) {
    return 3.5 * 11.0 * 1e6 / static_cast<double>(baud);
}

} // namespace

int64_t interFrameGapUs(long baud) {
    if (baud <= 0) return FrameAssembler::kDefaultGapUs;
    return std::max<int64_t>(FrameAssembler::kDefaultGapUs, static_cast<int64_t>(silenceUs(baud)));
}

bool sendReply(int fd, const Bytes& reply, size_t requestSize, int64_t receivedUs, long baud,
               const PacingSetup& setup, int64_t* lastWriteUs) {
    int64_t lastWrite = 0;
    const long paceBaud = baud > 0 ? baud : kFallbackPaceBaud;
    // The pty hands over the request at once; a real line would still be carrying it,
    // and a slave knows the frame has ended only after 3.5 characters of silence.
    const double requestUs =
        static_cast<double>(requestSize) * kBitsPerByte * 1e6 / static_cast<double>(paceBaud);
    if (!waitUntil(receivedUs + static_cast<int64_t>(requestUs + silenceUs(paceBaud) +
                                                     (setup.turnaroundMs + setup.delayMs) * 1000.0)))
        return false;
    const size_t pieces = std::min(reply.size(), static_cast<size_t>(std::max(setup.split, 1)));
    size_t offset = 0;
    for (size_t i = 0; i < pieces; ++i) {
        const size_t len = reply.size() / pieces + (i < reply.size() % pieces ? 1 : 0);
        if (i > 0 && !waitUntil(nowUs() + static_cast<int64_t>(setup.splitGapMs * 1000.0))) return false;
        if (!sendPaced(fd, reply.data() + offset, len, paceBaud, lastWrite)) return false;
        if (lastWriteUs) *lastWriteUs = lastWrite;
        offset += len;
    }
    return true;
}

} // namespace kvsim

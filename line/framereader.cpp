#include "line/framereader.h"

#include "modbus/codec.h"
#include "sensor/protocol.h"

namespace kv::line {
namespace {

bool crcCloses(const QByteArray& b, int from, int length) {
    if (length < 4 || from + length > b.size()) return false;
    const auto* p = reinterpret_cast<const std::uint8_t*>(b.constData()) + from;
    const std::uint16_t crc = crc16(p, static_cast<std::size_t>(length - 2));
    return p[length - 2] == (crc & 0xFF) && p[length - 1] == (crc >> 8);
}

// The length of a sound frame starting at `from`, 0 when none does (yet).
int soundAt(const QByteArray& b, int from) {
    const int shortForm = sensor::shortAddressChangeLength(b, from);
    if (shortForm > 0 && crcCloses(b, from, shortForm)) return shortForm;
    const int length = sensor::frameLength(b, from);
    return length > 0 && crcCloses(b, from, length) ? length : 0;
}

} // namespace

void FrameReader::feed(const QByteArray& bytes) {
    buffer_ += bytes;
}

FrameReader::Cut FrameReader::cut() const {
    const int n = static_cast<int>(buffer_.size());
    if (n == 0) return {};
    if (n > MAX_BUFFERED) return {Cut::Noise, n - MAX_BUFFERED};
    // A sound frame anywhere: what comes before it is noise, even a frame begun and never ended.
    for (int i = 0; i < n; ++i)
        if (const int length = soundAt(buffer_, i); length > 0)
            return i == 0 ? Cut{Cut::Frame, length} : Cut{Cut::Noise, i};
    // None yet: noise up to the first place where a frame may still be arriving.
    for (int i = 0; i < n; ++i) {
        const int length = sensor::frameLength(buffer_, i);
        if (length == 0 || (length > 0 && i + length > n)) return i == 0 ? Cut{} : Cut{Cut::Noise, i};
    }
    return {Cut::Noise, n};
}

int FrameReader::soundFrom(int from) const {
    for (int i = from; i < buffer_.size(); ++i)
        if (soundAt(buffer_, i) > 0) return i;
    return -1;
}

QByteArray FrameReader::take(int n) {
    QByteArray front = buffer_.left(n);
    buffer_.remove(0, n);
    return front;
}

} // namespace kv::line

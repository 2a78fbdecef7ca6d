#pragma once
// Cuts the bytes a line delivers into sound frames and noise. RTU frames are told apart
// by silence, which a USB adapter or a busy host blurs; here a frame is what the judge's
// length rules and a closing CRC make one, wherever it starts, and the bytes before it
// are noise. A frame still arriving is waited for; bytes that can start none are noise.

#include <QByteArray>

namespace kv::line {

class FrameReader {
public:
    // What the front of the buffer holds.
    struct Cut {
        enum Kind { NeedMore, Frame, Noise } kind = NeedMore;
        int length = 0;
    };

    void feed(const QByteArray& bytes);
    [[nodiscard]] Cut cut() const;
    // Where the first sound frame at or after `from` starts; -1 when none does (yet).
    [[nodiscard]] int soundFrom(int from) const;
    // Removes `n` bytes from the front and returns them.
    QByteArray take(int n);
    // Removes `n` bytes from `at` on.
    void remove(int at, int n) { buffer_.remove(at, n); }
    [[nodiscard]] const QByteArray& bytes() const { return buffer_; }
    [[nodiscard]] bool empty() const { return buffer_.isEmpty(); }
    void clear() { buffer_.clear(); }

private:
    QByteArray buffer_;
};

// Bytes kept while a frame may still complete; beyond, the oldest are noise.
inline constexpr int MAX_BUFFERED = 512;

} // namespace kv::line

#pragma once
// When reply bytes go out: every timing of the virtual line lives here.

#include "sim/rtu.h"

#include <cstdint>

namespace kvsim {

struct PacingSetup {
    double turnaroundMs = 5.0;
    double delayMs = 0.0;
    int split = 1;
    double splitGapMs = 30.0;
};

// Rate used for timing when the tool set none the sim knows, and on a TCP link without --baud.
constexpr long kFallbackPaceBaud = 9600;

// The serial line's timing: its rate and a character's length in bits (start, 8 data,
// parity, stop bits: 10 at 8N1, 11 with parity or two stop bits, 12 with both).
struct LineTiming {
    long baud = kFallbackPaceBaud;
    int charBits = 10;
};

constexpr int characterBits(bool parity, int stopBits) {
    return 1 + 8 + (parity ? 1 : 0) + stopBits;
}

// The silence the sim waits after a request before it replies: 3.5 characters of the
// line's length, never shorter than the 11-bit character of the RTU standard.
double replySilenceUs(const LineTiming& line);
// A request that starts sooner than 3.5 characters of the line's own length after the last
// reply is, for a real sensor, part of the frame before (--strict-gap).
double tooSoonUs(const LineTiming& line);

// Silence after which a partial request is dropped: the reply silence, or the assembler's
// default, whichever is longer; the default for an unknown rate.
int64_t interFrameGapUs(long baud, int charBits = 10);

// One reply and how it reaches the master.
struct Delivery {
    const Bytes& wire;      // the bytes that go out
    size_t requestLineSize; // the request's size on the serial line
    size_t replyLineSize;   // the reply's size on the serial line
    // A device server forwards each piece whole once the line delivered it; a pty gets
    // each byte no earlier than the line could have carried it.
    bool packed = false;
    const Bytes* before = nullptr; // sent right before the reply's first byte (a DTU's heartbeat)
};

enum class SendResult { Sent, Unheard, Interrupted };

// Sends a reply to a request that arrived at receivedUs the way a real line would: no
// earlier than the request's own line time, the reply silence and the turnaround (and
// extra delay), in `split` pieces. Unheard when the reader stopped taking bytes (the rest
// is dropped, as a line would), Interrupted by a termination signal. lastWriteUs, when
// given, receives the time just before the last bytes were written.
SendResult sendReply(int fd, const Delivery& reply, int64_t receivedUs, const LineTiming& line,
                     const PacingSetup& setup, int64_t* lastWriteUs = nullptr);

} // namespace kvsim

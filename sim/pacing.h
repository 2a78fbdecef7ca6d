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

// Rate used for timing when the tool set none the sim knows.
constexpr long kFallbackPaceBaud = 9600;

// Silence after which a partial request is dropped: 3.5 characters of 11 bits, or the
// assembler's default, whichever is longer.
int64_t interFrameGapUs(long baud);

// Sends a reply to a request that arrived at receivedUs the way a real line would: no
// earlier than the request's own line time, 3.5 characters of silence and the turnaround
// (and extra delay), each byte no earlier than the line could have carried it, in
// `split` pieces. False when a termination signal cut it short. lastWriteUs, when given,
// receives the time just before the last bytes were written.
bool sendReply(int fd, const Bytes& reply, size_t requestSize, int64_t receivedUs, long baud,
               const PacingSetup& setup, int64_t* lastWriteUs = nullptr);

} // namespace kvsim

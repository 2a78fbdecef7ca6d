#pragma once
// The sensors on one line: every request reaches all of them, and the replies of
// several at once collide on the wire.

#include "sim/faults.h"
#include "sim/options.h"
#include "sim/pacing.h"
#include "sim/rtu.h"
#include "sim/sensor.h"

#include <random>
#include <vector>

namespace kvsim {

class PtyLine;

class Bus {
public:
    Bus(const Options& options, PtyLine& line, uint32_t seed);

    // Serves requests until a termination signal; the exit status.
    int run();

    // What goes on the wire for one request: one sensor's reply, several replies
    // overlaid bit by bit (a collision), or nothing.
    Bytes answer(const Bytes& request);

private:
    // False when interrupted by a termination signal.
    bool handle(const Bytes& request, long baud, int64_t startedUs);
    // The pacing of the next reply: its turnaround drawn, late when its turn has come.
    PacingSetup nextPacing();

    const Options& opt_;
    PtyLine& line_;
    std::vector<Sensor> sensors_;
    FrameAssembler assembler_;
    Faults faults_;
    PacingSetup pacing_;
    std::mt19937 jitter_;
    long replies_ = 0;
    int64_t lastReplyEndUs_ = 0;
};

// Bytes that two transmitters put on the line at once: a 0 bit wins.
Bytes collide(const Bytes& a, const Bytes& b);

} // namespace kvsim

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

class Bus {
public:
    Bus(const Options& options, uint32_t seed);

    // What goes on the wire for one request: one sensor's reply, several replies
    // overlaid bit by bit (a collision), or nothing.
    Bytes answer(const Bytes& request);
    // The same for a request heard at nowUs, after the sensors' world moved on to then,
    // with the injected faults.
    Bytes serve(const Bytes& request, int64_t nowUs);
    // True when a sensor on the bus has this address now.
    bool hasSensor(uint8_t address) const;
    // The pacing of the next reply: its turnaround drawn, late when its turn has come.
    PacingSetup nextPacing();

private:
    const Options& opt_;
    std::vector<Sensor> sensors_;
    Faults faults_;
    PacingSetup pacing_;
    std::mt19937 jitter_;
    long replies_ = 0;
    int64_t lastAdvanceUs_;
};

// Bytes that two transmitters put on the line at once: a 0 bit wins.
Bytes collide(const Bytes& a, const Bytes& b);

} // namespace kvsim

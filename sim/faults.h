#pragma once
// Faults injected into the sensor's answers, each by its own probability.

#include "sim/rtu.h"

#include <cstdint>
#include <random>

namespace kvsim {

class Sensor;

struct FaultSetup {
    double badCrc = 0.0;       // corrupt the reply's CRC
    double silence = 0.0;      // do not answer
    double exception = 0.0;    // answer with exception 04 instead
    int garbage = 0;           // random bytes after each reply
    bool forgetWrites = false; // acknowledge parameter writes without storing them
};

class Faults {
public:
    Faults(const FaultSetup& setup, uint32_t seed) : setup_(setup), rng_(seed) {}

    // The sensor's reply to a request, with a forgotten write undone after it was acknowledged.
    Bytes respond(const Bytes& request, Sensor& sensor);
    // The reply as it goes on the line; empty when the sensor stays silent.
    Bytes disturb(Bytes reply, const Bytes& request);

private:
    bool chance(double rate);

    FaultSetup setup_;
    std::mt19937 rng_;
};

} // namespace kvsim

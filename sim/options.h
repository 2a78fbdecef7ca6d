#pragma once
// The virtual sensor's command-line options.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kvsim {

struct Options {
    std::string link;
    std::vector<int> addresses{1}; // one sensor per address, all on the same line
    bool answerAddressRead = true;
    long baud = 0;
    double turnaroundMs = 5.0;
    double turnaroundMaxMs = 5.0; // above turnaroundMs: each reply's pause drawn between the two
    int lateEvery = 0;            // every Nth reply comes lateByMs later; 0: never
    double lateByMs = 0.0;
    bool echo = false;      // an adapter that hears its own transmission
    bool strictGap = false; // drop requests that start sooner than 3.5 characters after a reply
    double delayMs = 0.0;
    std::optional<double> moisture;
    std::optional<double> temperature;
    std::optional<uint32_t> seed;
    double badCrc = 0.0;
    double silence = 0.0;
    double exception = 0.0;
    int split = 1;
    double splitGapMs = 30.0;
    int garbage = 0;
    bool forgetWrites = false;
    bool verbose = false;
    bool addressEcho = false;
};

struct ParseResult {
    enum Outcome { Run, Help, Error } outcome = Run;
    std::string text; // the usage for Help, the reason and the usage for Error
};

ParseResult parseOptions(int argc, char** argv, Options& options);

} // namespace kvsim

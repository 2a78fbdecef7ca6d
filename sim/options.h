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

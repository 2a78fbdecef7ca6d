#pragma once
// The subcommands. Each returns the program's exit code.

#include "cli/session.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kv::cli {

struct ScanOptions {
    std::vector<int> rates{4800, 9600, 14400, 19200};
    std::vector<int> addresses; // empty: 1..247
    bool first = false;
    bool sweepAll = false;
};
int runScan(Session& session, const ScanOptions& options);

struct ReadOptions {
    std::vector<int> addresses; // asked in turn each round; empty: the session's address
    int count = 0;              // rounds; 0: once, or until Ctrl-C with --every
    int everyMs = 0;            // period of a round; 0: as fast as replies come
    bool countGiven = false;
    bool everyGiven = false;
    std::string csv; // file, "-" for stdout, empty for none
    bool json = false;
    bool influx = false;
    bool reconnect = true; // with --every or until Ctrl-C: ride out a lost port
};
int runRead(Session& session, const ReadOptions& options);

int runParams(Session& session);
// index 0..6; raw already converted from the typed value.
int runParamsSet(Session& session, int index, std::uint16_t raw);

int runAddressRead(Session& session);
// Refuses (exit 4, nothing written) when NEW answers already, unless forced.
int runAddressSet(Session& session, int newAddress, bool force);

struct CalibrateOptions {
    double RL = 0;
    double RH = 0;
    std::optional<double> RA;
    std::optional<double> RB;
    bool yes = false;
};
int runCalibrate(Session& session, const CalibrateOptions& options);

} // namespace kv::cli

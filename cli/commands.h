#pragma once
// The subcommands. Each returns the program's exit code.

#include "cli/paramsfile.h"
#include "cli/session.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kv::cli {

struct ScanOptions {
    std::vector<int> rates{4800, 9600, 14400, 19200};
    std::vector<LineFormat> formats; // tried in turn, each at every rate; empty: the session's
    std::vector<int> addresses;      // empty: 1..247
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
// The seven parameters into a params file (cli/paramsfile.h).
int runParamsSave(Session& session, const std::string& path);
// A params file, read from `path` before the port was opened, into each sensor of `addresses`
// in turn: the differences shown, only those written, each read back, stopping at the first
// failure. Values outside their range need `force`, unless the file is the tool's own backup
// (said on stderr).
int runParamsLoad(Session& session, const std::string& path, const ParamsFile& file, bool force,
                  const std::vector<int>& addresses);

int runAddressRead(Session& session);
// Refuses (exit 4, nothing written) when NEW answers already, unless forced.
int runAddressSet(Session& session, int newAddress, bool force);
// Commissions a row: each sensor plugged in alone, whatever its address, gets the next of
// `newAddresses`, until the list or the operator ends.
int runAddressSequence(Session& session, const std::vector<int>& newAddresses);

struct CalibrateOptions {
    double RL = 0;
    double RH = 0;
    std::optional<double> RA;
    std::optional<double> RB;
    bool yes = false;
    int samples = 10;        // readings averaged once settled
    double spreadOhm = 0.05; // their largest minus their smallest, at most
    std::string backup;      // where the previous LA and OF go; empty: a file named for the sensor and time
};
int runCalibrate(Session& session, const CalibrateOptions& options);
// Writes back the LA and OF a calibration saved before writing, read from `path`.
int runCalibrateUndo(Session& session, const std::string& path, const ParamsFile& file);

struct RawOptions {
    int function = MODBUS_FC_READ_HOLDING_REGISTERS; // 3 or 4 to read, 6 or 16 to write
    std::uint16_t reg = 0;
    int count = 1;                     // registers read
    std::vector<std::uint16_t> values; // written
};
// Any register read or written, the values in decimal, hex and signed, writes read back.
int runRaw(Session& session, const RawOptions& options);
// A register number or value as typed: decimal (a negative one as its two's complement) or
// 0x hex; none when it is neither or does not fit 16 bits.
[[nodiscard]] std::optional<std::uint16_t> parseWord(const std::string& text);
// "0x0A08".
[[nodiscard]] QString hexWord(std::uint16_t value);

} // namespace kv::cli

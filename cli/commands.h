#pragma once
// The subcommands. Each is a row of the table main walks, defined beside its code: its
// options described on its own subcommand into its own options, the checks CLI11 cannot
// state, and how it runs. The entry points each runs return the program's exit code.

#include "cli/console.h"
#include "cli/paramsfile.h"
#include "cli/session.h"
#include "cli/trace.h"
#include "soil/flags.h"
#include "soil/settings.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
}
namespace kv::collect {
struct CollectorConfig;
}

namespace kv::cli {

// The options every command takes, before or after its name.
struct GlobalOptions {
    CommonOptions common;        // the session's, --port parsed once
    std::vector<int> addresses;  // --address as a list; common.address is its first
    bool everyParity = false;    // --parity all (scan only)
    std::optional<int> stopBits; // --stop-bits, when given
    std::string trace;           // --trace: empty for none, "-" for lines on stderr, else a JSON-lines file
    std::string operatorName;    // --operator: who the history names; empty: $KV7702R_OPERATOR
};

// What a command runs with: the options every command takes, and the session they name,
// opened when the command asks (after whatever it reads first) and traced as --trace says.
class Context {
public:
    explicit Context(const GlobalOptions& options) : options_(options) {}
    [[nodiscard]] const GlobalOptions& options() const { return options_; }
    // Opens the session and runs `job` on it: the job's exit code, or the one opening ended with.
    [[nodiscard]] int onSession(const std::function<int(Session&)>& job);
    // Sets `to` to the trace of lines served without a session, each named by its port (DTUs
    // dialling in); false, after saying why, when the trace's file cannot be written.
    [[nodiscard]] bool traceLines(std::function<void(const line::LineEvent&, const QString&)>& to);

private:
    const GlobalOptions& options_;
    TraceSink trace_;
};

// Says what is wrong with the options; false, for a check to return.
inline bool refuse(const QString& why) {
    error(why);
    return false;
}

// A command as the operator gave it, holding its own options.
class Command {
public:
    virtual ~Command() = default;

    // Whether --address may be a list, the sensors done in turn.
    [[nodiscard]] virtual bool takesAddressList() const { return false; }
    // Whether --parity may be all, each format tried in turn.
    [[nodiscard]] virtual bool takesEveryParity() const { return false; }
    // Checks that need no device but more than CLI11 can state: those of the command's options
    // against --port once it is parsed, then the rest after the options every command takes;
    // each false after saying what is wrong. Until the last of them the command may ask its
    // CLI11 options whether they were given. By default a command is no read of DTUs dialling in.
    [[nodiscard]] virtual bool checkPort(GlobalOptions& options);
    [[nodiscard]] virtual bool check(GlobalOptions& /*options*/) { return true; }
    [[nodiscard]] virtual int run(Context& context) = 0;
};

// A row of the table: the subcommand's place, and how its options are described on it, bound
// to a new command's own.
struct CommandRow {
    const char* parent; // the subcommand it is one of ("params" for params set); null at the top
    const char* name;
    std::unique_ptr<Command> (*describe)(CLI::App& sub);
};

// The describe of a row whose command describes itself on construction.
template <class C> std::unique_ptr<Command> describeAs(CLI::App& sub) {
    return std::make_unique<C>(sub);
}

// The rows, each in its command's file.
extern const CommandRow scanRow, readRow, paramsRow, paramsSetRow, paramsSaveRow, paramsLoadRow, addressRow,
    addressSetRow, calibrateRow, rawRow, historyRow;
// kv7702r collect, export, soil-fit and watered, on Linux only.
extern const CommandRow collectRow, exportRow, soilFitRow, wateredRow;
// The collector's configuration, checked whole with the ports as --port takes them; false when it
// is not sound, each error said.
bool loadChecked(const QString& path, collect::CollectorConfig& config);

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
    // With any soil option the rows carry relative water, deficit and flags; without, they stay as ever.
    bool withSoil = false;
    soil::SoilSettings soil;
    soil::FlagOptions flags;
};
int runRead(Session& session, const ReadOptions& options);

int runParams(Session& session);
struct ParamsSetOptions {
    int index = 0;         // 0..6
    std::uint16_t raw = 0; // the typed value converted
};
int runParamsSet(Session& session, const ParamsSetOptions& options);
// The seven parameters into a params file (cli/paramsfile.h).
int runParamsSave(Session& session, const std::string& path);
struct ParamsLoadOptions {
    std::string path;
    bool force = false;         // values outside their ranges too
    std::vector<int> addresses; // each in turn
};
// A params file, read from the path before the port was opened, into each sensor in turn: the
// differences shown, only those written, each read back, stopping at the first failure. Values
// outside their range need force, unless the file is the tool's own backup (said on stderr).
int runParamsLoad(Session& session, const ParamsLoadOptions& options, const ParamsFile& file);

int runAddressRead(Session& session);
struct AddressSetOptions {
    int newAddress = 0;
    bool force = false; // even when NEW answers already
};
// Refuses (exit 4, nothing written) when NEW answers already, unless forced.
int runAddressSet(Session& session, const AddressSetOptions& options);
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

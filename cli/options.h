#pragma once
// The command line as the operator typed it: every option described for --help, parsed,
// and checked as far as it can be without a device.

#include "cli/commands.h"
#include "cli/listenread.h"
#include "cli/session.h"
#include "net/address.h"

#include <cstdint>
#include <optional>

namespace kv::cli {

// ListenRead: read --port listen://, where DTUs dial in and no session is opened.
enum class Command { Scan, Read, ListenRead, Params, ParamsSet, AddressRead, AddressSet, Calibrate };

// What to run, with everything it needs.
struct Invocation {
    Command command = Command::Read;
    CommonOptions common;
    ScanOptions scan;
    ReadOptions read;
    ListenOptions listen;       // read --port listen://
    net::PortAddress where;     // --port as parsed
    int parameter = -1;         // params set: the parameter's index
    std::uint16_t raw = 0;      // and the register value the typed one becomes
    int newAddress = 0;         // address set
    bool force = false;         // params set, address set
    CalibrateOptions calibrate; // calibrate
};

// The invocation, or the exit code to end with at once: after --help or --version (0), or
// after saying what is wrong with the options (1). Nothing is sent to a device either way.
struct Parsed {
    std::optional<Invocation> invocation;
    int exitCode = 0;
};
[[nodiscard]] Parsed parseCommandLine(int argc, char** argv);

} // namespace kv::cli

#pragma once
// The command line as the operator typed it: the options every command takes described for
// --help, each command's own described by its row, all parsed and checked as far as they can
// be without a device.

#include "cli/commands.h"

#include <memory>
#include <vector>

namespace kv::cli {

// The command to run and the options every command takes, or the exit code to end with at
// once: after --help or --version (0), or after saying what is wrong with the options (1).
// Nothing is sent to a device either way.
struct Parsed {
    std::unique_ptr<Command> command;
    GlobalOptions options;
    int exitCode = 0;
};
// `table`: every command, in the order --help lists them, a subcommand's parent before it.
[[nodiscard]] Parsed parseCommandLine(int argc, char** argv, const std::vector<const CommandRow*>& table);

} // namespace kv::cli

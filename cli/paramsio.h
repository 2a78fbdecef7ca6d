#pragma once
// A sensor's settings between the line and a params file: what a file says of the session
// it is saved from, and a file's parameters written into a sensor.

#include "cli/paramsfile.h"
#include "cli/session.h"

#include <optional>
#include <string>

namespace kv::cli {

// A file that says where, when and by what it was saved; no parameters yet.
[[nodiscard]] ParamsFile describeSession(const Session& s);
// The params file at `path`; empty after saying why.
[[nodiscard]] std::optional<ParamsFile> readParams(const std::string& path);
// Writes the file's parameters into the session's sensor: shows each against what it holds,
// writes only those that differ (outside their ranges only when forced or when the file is the
// tool's own backup), each read back, and
// stops at the first failure saying what is written and what is not; the writes go to the history
// as `action` from the file named `from`. Its exit code.
[[nodiscard]] int loadInto(Session& s, const ParamsFile& file, bool force, const QString& action = {},
                           const QString& from = {});

} // namespace kv::cli

#pragma once
// A row of sensors in one run: a job done for each address in turn, each reported, stopping
// at the first that fails with what was done and what was not.

#include "cli/session.h"

#include <functional>
#include <vector>

namespace kv::cli {

// Runs `job` with the session asking each address in turn; its exit code, or the first
// failure's.
[[nodiscard]] int forEachAddress(Session& s, const std::vector<int>& addresses,
                                 const std::function<int()>& job);

} // namespace kv::cli

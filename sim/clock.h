#pragma once
// Time and termination: a monotonic clock, and waits that a SIGINT, SIGTERM or SIGHUP
// cuts short so the sim can remove its link and exit.

#include <cstdint>

namespace kvsim {

int64_t nowUs();
// Installs the handlers; false when the signal pipe cannot be made.
bool installTerminationSignals();
// The descriptor that turns readable once a termination signal arrived.
int terminationFd();
bool terminationRequested();
// Sleeps until the deadline; false when a termination signal arrived first.
bool waitUntil(int64_t deadlineUs);

} // namespace kvsim

#pragma once
// The serving loops, one per kind of link. Each serves requests until a termination
// signal and returns the exit status.

#include "sim/bus.h"
#include "sim/options.h"

namespace kvsim {

class PtyLine;

// The pty: the request's rate, parity and stop bits read off the terminal, filtered by
// --baud, --parity and --stop-bits, and the reply paced at that line's speed.
int servePty(Bus& bus, PtyLine& line, const Options& options);

// A listening socket (raw RTU frames, or Modbus TCP), already listening on listenFd and
// serving each client that connects.
int serveListener(Bus& bus, int listenFd, const Options& options);

// A DTU: dials options.endpoint, and again whenever the connection is lost.
int serveDial(Bus& bus, const Options& options);

} // namespace kvsim

#pragma once
// read --port listen://[HOST]:PORT: the tool is the server DTUs dial in to. Each DTU's
// connection is one bus, named by its registration packet and polled with the address list,
// all buses at the same time in one thread, each with its own line discipline.

#include "cli/commands.h"
#include "net/address.h"

#include <functional>
#include <string>
#include <vector>

namespace kv::cli {

struct ListenOptions {
    std::vector<QByteArray> heartbeats; // taken out of every DTU's stream
    int registrationMs = 1000;          // a new connection's moment to register
    int dtus = 1;                       // with --count: the run ends once this many have done their rounds
    int dtusWaitMs = 60000;             // how long to wait for them to dial in before going on without
    // Told of everything each DTU's line does and hears, with the DTU's port (--trace).
    std::function<void(const line::LineEvent&, const QString& port)> trace;
};

int runListenRead(const CommonOptions& common, const ReadOptions& read, const ListenOptions& listen,
                  const net::PortAddress& where);

// A TEXT option as bytes: \xNN for any byte, \\, \r and \n; false for any other escape or a
// text that comes to no bytes.
[[nodiscard]] bool textBytes(const std::string& text, QByteArray& out);

} // namespace kv::cli

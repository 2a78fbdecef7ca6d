#pragma once
// What --port leads to: a serial port, a serial device server (tcp://), a Modbus-TCP gateway
// (modbus-tcp://), or DTUs dialling in (listen://, read only).

#include "cli/port.h"
#include "serial/byteline.h"

#include <memory>

namespace kv::cli {

// The link --port names, not yet open. A network link is made anew when its other end ended it
// between requests, or after `reconnectAfter` requests in a row went unanswered (0: never).
[[nodiscard]] std::unique_ptr<Link> makeLink(const PortOption& port, int reconnectAfter);

} // namespace kv::cli

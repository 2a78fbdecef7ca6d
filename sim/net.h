#pragma once
// TCP sockets for the device server, the gateway and the DTU: plain POSIX, non-blocking,
// without Nagle's delay so that each piece of a split reply is its own segment.

#include "sim/options.h"

#include <string>

namespace kvsim {

// Listens on the endpoint (an empty host is 127.0.0.1); the socket, or -1 and the reason.
int listenOn(const Endpoint& where, std::string& error);
// The next client of a listening socket, or -1 when none is waiting.
int acceptClient(int listenFd);
// Dials the endpoint, giving up after five seconds or at a termination signal; the
// connected socket, or -1 and the reason.
int dialTo(const Endpoint& where, std::string& error);
// "127.0.0.1:502" or "[::1]:502": the socket's own address, or its peer's.
std::string localName(int fd);
std::string peerName(int fd);
// The port a socket is bound to; 0 when unknown.
int localPort(int fd);
// "host:port" as given, an IPv6 host in brackets.
std::string endpointText(const Endpoint& where);

} // namespace kvsim

#pragma once
// What --port names: a serial port, or a device server, a gateway or a port to listen on for
// DTUs, as tcp://HOST:PORT, modbus-tcp://HOST[:PORT] and listen://[HOST]:PORT.

#include <QString>

namespace kv::net {

enum class Scheme {
    Serial,    // no scheme: COMn or a device path
    Tcp,       // raw RTU frames through a serial device server
    ModbusTcp, // Modbus TCP through a gateway
    Listen,    // DTUs dial in
};

// The port of Modbus TCP when the address names none.
inline constexpr int MODBUS_TCP_PORT = 502;

struct PortAddress {
    Scheme scheme = Scheme::Serial;
    QString host; // without the brackets of an IPv6 address; empty for listen: every interface
    int port = 0;
    QString error; // why the text is no address; empty when it is one
    [[nodiscard]] bool ok() const { return error.isEmpty(); }
    [[nodiscard]] bool network() const { return scheme != Scheme::Serial; }
};

// Parses --port. Anything without "://" is a serial port; a scheme other than the three, a
// missing host or port, a port outside 1-65535 or anything after it is an error.
[[nodiscard]] PortAddress parsePortAddress(const QString& text);

// The address written back in full: "modbus-tcp://192.0.2.7:502", "listen://0.0.0.0:9000",
// "tcp://[::1]:4001".
[[nodiscard]] QString addressText(const PortAddress& a);

} // namespace kv::net

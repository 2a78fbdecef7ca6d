#pragma once
// TCP sockets for the links to device servers, gateways and dialling DTUs: one small layer
// over POSIX sockets and Winsock, non-blocking, waited on with poll (WSAPoll), so that the
// Windows build gets the links without Qt Network and one thread can watch many sockets.

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>

namespace kv::net {

// Nanoseconds on the monotonic clock every network line keeps its time on.
[[nodiscard]] qint64 monotonicNs();

class Socket {
public:
    using Native = std::intptr_t; // an int on POSIX, a SOCKET on Windows
    static constexpr Native INVALID = -1;

    Socket() = default;
    explicit Socket(Native native) : native_(native) {}
    ~Socket();
    Socket(Socket&& other) noexcept;
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    [[nodiscard]] bool valid() const { return native_ != INVALID; }
    [[nodiscard]] Native native() const { return native_; }
    void close();

    // What came in, without waiting; `closed` is set when the peer has ended the connection
    // or it broke (`why` says how).
    QByteArray receive(bool& closed, QString& why);
    // Sends every byte, waiting up to timeoutMs for room; false when the connection broke.
    [[nodiscard]] bool sendAll(const QByteArray& bytes, int timeoutMs, QString& why);
    // A waiting client of a listening socket, or an invalid socket when none waits.
    [[nodiscard]] Socket accept();
    // "192.0.2.7" (the peer's address without its port), empty when unknown.
    [[nodiscard]] QString peerHost() const;
    // "192.0.2.7:40112" or "[2001:db8::7]:40112", empty when unknown.
    [[nodiscard]] QString peerName() const;
    // The port the socket is bound to, 0 when unknown.
    [[nodiscard]] int localPort() const;

private:
    [[nodiscard]] QString peer(bool withPort) const;

    Native native_ = INVALID;
};

enum class ConnectError { None, UnknownHost, Refused, TimedOut, Other };

struct Connected {
    Socket socket;
    ConnectError error = ConnectError::None;
    QString why; // one line, without the address
};

// Connects to host:port (a name, an IPv4 address or an IPv6 one) within timeoutMs.
[[nodiscard]] Connected connectTo(const QString& host, int port, int timeoutMs);

// Listens on host:port; an empty host is every interface, IPv6 and IPv4 alike where the system
// has IPv6. `why` on failure.
[[nodiscard]] Socket listenOn(const QString& host, int port, QString& why);

// One socket to wait on, and what it showed.
struct Watch {
    Socket::Native socket = Socket::INVALID;
    bool readable = false; // bytes, a client waiting, or the end of the connection
};

// Waits until a socket is readable or timeoutMs passes (0: just looks); false on an error of
// the wait itself.
bool waitAny(std::vector<Watch>& watches, int timeoutMs);

} // namespace kv::net

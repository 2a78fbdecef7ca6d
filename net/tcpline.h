#pragma once
// Byte lines over TCP, on QTcpSocket: a connected socket as a line (a DTU's connection, handed
// over by the server that accepted it), and a device server's line opened by its address,
// tcp://HOST:PORT, which carries the bus's raw RTU frames. TCP keeps no silences between frames:
// a reply is whole by its length, however the segments cut it, and nothing waits for a frame gap.

#include "net/tcpsocket.h"
#include "serial/byteline.h"
#include "serial/linenotify.h"

#include <QTcpSocket>

namespace kv::net {

// How long a connection may take to be set up.
inline constexpr int CONNECT_TIMEOUT_MS = 3000;

class SocketLine final : public ByteLine {
public:
    SocketLine() = default;
    ~SocketLine() override;

    // A new connection: bytes of the one before are gone.
    void attach(SocketPtr<QTcpSocket> socket);
    // Ends the connection, for the reason given.
    void drop(const QString& why);
    [[nodiscard]] bool connected() const;
    // The connection's socket, for a server that watches its signals too (after the line's own
    // handlers, which have read what came); null when there is none.
    [[nodiscard]] QTcpSocket* socket() const { return socket_.get(); }
    [[nodiscard]] bool hasBytes() const { return !buffer_.isEmpty(); }
    // When bytes last came, and when bytes last went out (the clock's epoch: never on this
    // connection).
    [[nodiscard]] TimePoint heard() const { return heard_; }
    [[nodiscard]] TimePoint wrote() const { return wrote_; }
    // Called after each write, for a server that keeps time by the requests (not a driver's).
    void setOnWrite(std::function<void()> onWrite) { onWrite_ = std::move(onWrite); }

    [[nodiscard]] QByteArray take() override;
    [[nodiscard]] bool write(const QByteArray& bytes) override;
    void waitReadable(TimePoint deadline) override;
    using ByteLine::waitReadable;
    [[nodiscard]] bool setNotify(std::function<void()> onActivity) override {
        notify_.set(std::move(onActivity));
        return true;
    }
    [[nodiscard]] bool lost() const override { return !connected(); }
    [[nodiscard]] TimePoint now() const override { return LineClock::now(); }
    [[nodiscard]] LinkFacts facts() const override;
    [[nodiscard]] QString errorString() const override;

private:
    // What the socket holds, into the line.
    void pump();
    // The socket's end: what came before it, and why.
    void ended();
    // The socket let go: at once, or after the driver's handler that is under way.
    void retire();

    SocketPtr<QTcpSocket> socket_;
    QByteArray buffer_;
    QString why_;
    TimePoint heard_{};
    TimePoint wrote_{};
    LineNotify notify_;
    std::function<void()> onWrite_;
};

enum class ConnectError { None, UnknownHost, Refused, TimedOut, Other };

struct Connected {
    SocketPtr<QTcpSocket> socket;
    ConnectError error = ConnectError::None;
    QString why; // one line, without the address
};

// Connects to host:port (a name, an IPv4 address or an IPv6 one) within timeoutMs an address.
[[nodiscard]] Connected connectTo(const QString& host, int port, int timeoutMs);

// Where a link names a network address: what it could not reach, told as a failed open
// that names the address.
[[nodiscard]] OpenResult connectFailure(const QString& address, const Connected& c);

// A serial device server: raw RTU frames over TCP (and the stream under Modbus TCP).
class TcpLine final : public Link {
public:
    // `name` is tcp://HOST:PORT (or modbus-tcp://HOST[:PORT]); the rate is that of the bus behind the server,
    // kept for the timing of probes only.
    [[nodiscard]] OpenResult open(const QString& name, int baud) override;
    [[nodiscard]] OpenResult reopen() override;
    [[nodiscard]] bool isOpen() const override { return line_.connected(); }
    [[nodiscard]] bool setBaudRate(int) override { return true; }
    void close() override { line_.drop(QStringLiteral("closed")); }

    [[nodiscard]] QByteArray take() override { return line_.take(); }
    [[nodiscard]] bool write(const QByteArray& bytes) override { return line_.write(bytes); }
    void waitReadable(TimePoint deadline) override { line_.waitReadable(deadline); }
    using ByteLine::waitReadable;
    [[nodiscard]] bool setNotify(std::function<void()> onActivity) override {
        return line_.setNotify(std::move(onActivity));
    }
    [[nodiscard]] bool lost() const override { return line_.lost(); }
    [[nodiscard]] TimePoint now() const override { return line_.now(); }
    [[nodiscard]] LinkFacts facts() const override { return line_.facts(); }
    [[nodiscard]] QString errorString() const override { return line_.errorString(); }

private:
    SocketLine line_;
    QString name_;
};

} // namespace kv::net

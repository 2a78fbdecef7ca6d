#pragma once
// Byte lines over TCP: a connected socket as a line (a DTU's connection, handed over by the
// server that accepted it), and a device server's line opened by its address, tcp://HOST:PORT,
// which carries the bus's raw RTU frames. TCP keeps no silences between frames: a reply is
// whole by its length, however the segments cut it, and nothing waits for a frame gap.

#include "net/socket.h"
#include "serial/byteline.h"

namespace kv::net {

// How long a connection may take to be set up.
inline constexpr int CONNECT_TIMEOUT_MS = 3000;

class SocketLine final : public ByteLine {
public:
    // A new connection: bytes of the one before are gone.
    void attach(Socket socket);
    // Ends the connection, for the reason given.
    void drop(const QString& why);
    [[nodiscard]] bool connected() const { return socket_.valid(); }
    [[nodiscard]] Socket::Native native() const { return socket_.native(); }
    // Reads what the socket holds into the line, without waiting; a server watching many
    // sockets calls it for each that is readable.
    void pump();
    [[nodiscard]] bool hasBytes() const { return !buffer_.isEmpty(); }
    // When bytes last came, and when bytes last went out (0: never on this connection).
    [[nodiscard]] qint64 heardNs() const { return heardNs_; }
    [[nodiscard]] qint64 wroteNs() const { return wroteNs_; }

    [[nodiscard]] QByteArray take() override;
    [[nodiscard]] bool write(const QByteArray& bytes) override;
    void waitReadable(qint64 deadlineNs) override;
    [[nodiscard]] bool lost() const override { return !socket_.valid(); }
    [[nodiscard]] qint64 nowNs() const override { return monotonicNs(); }
    [[nodiscard]] LinkFacts facts() const override;
    [[nodiscard]] QString errorString() const override { return why_; }

private:
    Socket socket_;
    QByteArray buffer_;
    QString why_;
    qint64 heardNs_ = 0;
    qint64 wroteNs_ = 0;
};

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
    void waitReadable(qint64 deadlineNs) override { line_.waitReadable(deadlineNs); }
    [[nodiscard]] bool lost() const override { return line_.lost(); }
    [[nodiscard]] qint64 nowNs() const override { return line_.nowNs(); }
    [[nodiscard]] LinkFacts facts() const override { return line_.facts(); }
    [[nodiscard]] QString errorString() const override { return line_.errorString(); }

private:
    SocketLine line_;
    QString name_;
};

} // namespace kv::net

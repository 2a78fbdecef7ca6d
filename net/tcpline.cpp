#include "net/tcpline.h"

#include "net/address.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace kv::net {
namespace {

constexpr qint64 kNsPerMs = 1000000;
constexpr int kSendTimeoutMs = 2000;
// Bytes kept for the discipline between exchanges; beyond, the oldest go (they are noise).
constexpr int kMaxBuffered = 64 * 1024;
// The longest single wait, so that a caller's deadline far away is still a plain int of ms.
constexpr qint64 kLongestWaitMs = 60000;

int msUntil(qint64 deadlineNs) {
    const qint64 left = deadlineNs - monotonicNs();
    return left <= 0 ? 0 : static_cast<int>(std::min((left + kNsPerMs - 1) / kNsPerMs, kLongestWaitMs));
}

} // namespace

void SocketLine::attach(Socket socket) {
    socket_ = std::move(socket);
    buffer_.clear();
    why_.clear();
    heardNs_ = 0;
    wroteNs_ = 0;
}

void SocketLine::drop(const QString& why) {
    if (!socket_.valid()) return;
    socket_.close();
    why_ = why;
}

void SocketLine::pump() {
    if (!socket_.valid()) return;
    bool closed = false;
    QString why;
    const QByteArray got = socket_.receive(closed, why);
    if (!got.isEmpty()) heardNs_ = monotonicNs();
    buffer_ += got;
    if (buffer_.size() > kMaxBuffered) buffer_.remove(0, buffer_.size() - kMaxBuffered);
    if (closed) drop(why);
}

QByteArray SocketLine::take() {
    pump();
    QByteArray got;
    got.swap(buffer_);
    return got;
}

bool SocketLine::write(const QByteArray& bytes) {
    if (!socket_.valid()) return false;
    QString why;
    wroteNs_ = monotonicNs();
    if (socket_.sendAll(bytes, kSendTimeoutMs, why)) return true;
    drop(why);
    return false;
}

void SocketLine::waitReadable(qint64 deadlineNs) {
    const int ms = msUntil(deadlineNs);
    if (ms <= 0 || !buffer_.isEmpty()) return;
    if (!socket_.valid()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return;
    }
    std::vector<Watch> watch{{socket_.native(), false}};
    waitAny(watch, ms);
}

LinkFacts SocketLine::facts() const {
    LinkFacts f;
    f.frameSilenceNs = 0;
    f.setsRate = false;
    return f;
}

OpenResult connectFailure(const QString& address, const Connected& c) {
    OpenResult r;
    r.failure = c.error == ConnectError::UnknownHost || c.error == ConnectError::Refused
                    ? OpenFailure::Missing
                    : OpenFailure::Other;
    r.reason = QStringLiteral("%1: %2").arg(address, c.why);
    return r;
}

OpenResult TcpLine::open(const QString& name, int) {
    name_ = name;
    return reopen();
}

OpenResult TcpLine::reopen() {
    const PortAddress a = parsePortAddress(name_);
    if (!a.ok() || (a.scheme != Scheme::Tcp && a.scheme != Scheme::ModbusTcp))
        return {OpenFailure::Other,
                a.ok() ? QStringLiteral("%1 is no address to connect to").arg(name_) : a.error,
                {},
                {}};
    Connected c = connectTo(a.host, a.port, CONNECT_TIMEOUT_MS);
    if (c.error != ConnectError::None) return connectFailure(name_, c);
    line_.attach(std::move(c.socket));
    return {};
}

} // namespace kv::net

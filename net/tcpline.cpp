#include "net/tcpline.h"

#include "net/address.h"

#include <QHostInfo>
#include <QNetworkProxy>
#include <QThread>

namespace kv::net {
namespace {

constexpr int kSendTimeoutMs = 2000;
// Bytes kept for the discipline between exchanges; beyond, the oldest go (they are noise).
constexpr int kMaxBuffered = 64 * 1024;

} // namespace

SocketLine::~SocketLine() {
    retire();
}

void SocketLine::attach(SocketPtr<QTcpSocket> socket) {
    retire();
    socket_ = std::move(socket);
    buffer_.clear();
    why_.clear();
    heard_ = {};
    wrote_ = {};
    if (!socket_) return;
    QTcpSocket* s = socket_.get();
    QObject::connect(s, &QTcpSocket::readyRead, s, [this] {
        pump();
        notify_.activity();
    });
    QObject::connect(s, &QTcpSocket::disconnected, s, [this] {
        ended();
        notify_.activity();
    });
    pump();
}

void SocketLine::retire() {
    if (!socket_) return;
    QTcpSocket* s = socket_.release();
    if (!notify_.telling()) {
        SocketEnd{}(s);
        return;
    }
    // The driver's handler runs inside one of this socket's signals.
    s->disconnect();
    s->abort();
    s->deleteLater();
}

void SocketLine::drop(const QString& why) {
    if (!socket_) return;
    // A connection that ended by itself keeps the reason it ended for.
    if (connected() || why_.isEmpty()) why_ = connected() ? why : faultWords(*socket_);
    retire();
}

bool SocketLine::connected() const {
    return socket_ && socket_->state() == QAbstractSocket::ConnectedState;
}

void SocketLine::pump() {
    if (!socket_) return;
    const QByteArray got = socket_->readAll();
    if (got.isEmpty()) return;
    heard_ = now();
    buffer_ += got;
    if (buffer_.size() > kMaxBuffered) buffer_.remove(0, buffer_.size() - kMaxBuffered);
}

void SocketLine::ended() {
    pump();
    if (why_.isEmpty()) why_ = faultWords(*socket_);
}

QString SocketLine::errorString() const {
    if (why_.isEmpty() && socket_ && !connected()) return faultWords(*socket_);
    return why_;
}

QByteArray SocketLine::take() {
    if (connected()) {
        const LineNotify::Call call(notify_);
        // Bytes still with the system count as arrived: what came while nobody waited is heard
        // before the next request goes out, not after it.
        if (socket_->bytesAvailable() == 0 && systemHolds(*socket_)) socket_->waitForReadyRead(0);
        pump();
        notify_.handedOver();
    }
    QByteArray got;
    got.swap(buffer_);
    return got;
}

bool SocketLine::write(const QByteArray& bytes) {
    if (!connected()) return false;
    const LineNotify::Call call(notify_);
    wrote_ = now();
    if (onWrite_) onWrite_();
    QString why;
    const qint64 sent = socket_->bytesToWrite() == 0 ? sendNow(*socket_, bytes, why) : 0;
    if (sent < 0) {
        drop(why);
        return false;
    }
    if (sent == bytes.size()) return true;
    // What the system did not take waits in Qt's buffer until it does, as long as a request may.
    if (socket_->write(bytes.mid(static_cast<qsizetype>(sent))) == bytes.size() - sent) {
        socket_->flush();
        while (connected() && socket_->bytesToWrite() > 0 && socket_->waitForBytesWritten(kSendTimeoutMs)) {
        }
        if (connected() && socket_->bytesToWrite() == 0) return true;
    }
    drop(QStringLiteral("nothing could be sent for %1 ms").arg(kSendTimeoutMs));
    return false;
}

void SocketLine::waitReadable(TimePoint deadline) {
    const int ms = waitMs(deadline - now());
    if (ms <= 0 || !buffer_.isEmpty()) return;
    if (!connected()) {
        QThread::msleep(static_cast<unsigned long>(ms));
        return;
    }
    const LineNotify::Call call(notify_);
    if (socket_->bytesAvailable() > 0)
        pump();
    else
        socket_->waitForReadyRead(ms);
    notify_.handedOver(); // the caller takes what came next
}

LinkFacts SocketLine::facts() const {
    LinkFacts f;
    f.frameSilenceNs = 0;
    f.setsRate = false;
    return f;
}

Connected connectTo(const QString& host, int port, int timeoutMs) {
    Connected c;
    QList<QHostAddress> addresses;
    if (QHostAddress literal; literal.setAddress(host)) {
        addresses.push_back(literal);
    } else {
        const QHostInfo info = QHostInfo::fromName(host);
        if (info.error() != QHostInfo::NoError || info.addresses().isEmpty()) {
            c.error = ConnectError::UnknownHost;
            c.why = QStringLiteral("unknown host (%1)").arg(lookupWords(info));
            return c;
        }
        addresses = info.addresses();
    }
    QAbstractSocket::SocketError last = QAbstractSocket::UnknownSocketError;
    for (const QHostAddress& a : addresses) {
        SocketPtr<QTcpSocket> s(new QTcpSocket);
        // Device servers and DTUs are reached directly, whatever proxy the system names.
        s->setProxy(QNetworkProxy::NoProxy);
        s->connectToHost(a, static_cast<quint16>(port));
        if (s->waitForConnected(timeoutMs)) {
            tune(*s);
            c.socket = std::move(s);
            return c;
        }
        last = s->error();
        c.why = faultWords(*s);
    }
    c.error = last == QAbstractSocket::ConnectionRefusedError ? ConnectError::Refused
              : last == QAbstractSocket::SocketTimeoutError   ? ConnectError::TimedOut
                                                              : ConnectError::Other;
    if (c.error == ConnectError::Refused) c.why = QStringLiteral("connection refused");
    if (c.error == ConnectError::TimedOut) c.why = QStringLiteral("no answer within %1 ms").arg(timeoutMs);
    return c;
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

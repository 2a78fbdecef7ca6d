#include "net/tcpsocket.h"

#include <QHostAddress>
#include <QVariant>

#ifdef Q_OS_WIN
#include <winsock2.h>
// After winsock2.h, whose types it uses.
#include <mstcpip.h>
#else
#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#endif

namespace kv::net {

void tune(QAbstractSocket& socket) {
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket.setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    // Qt turns keepalive on; its timings are the system's, set on the socket itself.
#ifdef Q_OS_WIN
    const auto s = static_cast<SOCKET>(socket.socketDescriptor());
    tcp_keepalive k{1, KEEP_IDLE_S * 1000, KEEP_INTERVAL_S * 1000};
    DWORD returned = 0;
    ::WSAIoctl(s, SIO_KEEPALIVE_VALS, &k, sizeof k, nullptr, 0, &returned, nullptr, nullptr);
#else
    const auto s = static_cast<int>(socket.socketDescriptor());
#ifdef TCP_KEEPIDLE
    const int idle = KEEP_IDLE_S;
    ::setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
#endif
#ifdef TCP_KEEPINTVL
    const int interval = KEEP_INTERVAL_S;
    ::setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
#endif
#ifdef TCP_KEEPCNT
    const int probes = KEEP_PROBES;
    ::setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
#endif
#endif
}

bool systemHolds(const QAbstractSocket& socket) {
#ifdef Q_OS_WIN
    WSAPOLLFD p{static_cast<SOCKET>(socket.socketDescriptor()), POLLRDNORM, 0};
    return ::WSAPoll(&p, 1, 0) > 0;
#else
    pollfd p{static_cast<int>(socket.socketDescriptor()), POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
#endif
}

qint64 sendNow(const QAbstractSocket& socket, const QByteArray& bytes, QString& why) {
#ifdef Q_OS_WIN
    const int n = ::send(static_cast<SOCKET>(socket.socketDescriptor()), bytes.constData(),
                         static_cast<int>(bytes.size()), 0);
    if (n >= 0) return n;
    const int code = ::WSAGetLastError();
    if (code == WSAEWOULDBLOCK || code == WSAEINTR) return 0;
#else
#ifdef MSG_NOSIGNAL
    constexpr int kNoSignal = MSG_NOSIGNAL; // a peer gone is an error here, not SIGPIPE
#else
    constexpr int kNoSignal = 0;
#endif
    const auto n = ::send(static_cast<int>(socket.socketDescriptor()), bytes.constData(),
                          static_cast<std::size_t>(bytes.size()), kNoSignal);
    if (n >= 0) return n;
    const int code = errno;
    if (code == EAGAIN || code == EWOULDBLOCK || code == EINTR) return 0;
#endif
    why = qt_error_string(code);
    return -1;
}

QString faultWords(QAbstractSocket::SocketError error, const QString& qtWords) {
#ifdef Q_OS_WIN
    constexpr int kInUse = WSAEADDRINUSE, kNotAvailable = WSAEADDRNOTAVAIL, kDenied = WSAEACCES;
#else
    constexpr int kInUse = EADDRINUSE, kNotAvailable = EADDRNOTAVAIL, kDenied = EACCES;
#endif
    switch (error) {
    case QAbstractSocket::RemoteHostClosedError:
        return QStringLiteral("the connection was closed by the other end");
    case QAbstractSocket::AddressInUseError:
        return qt_error_string(kInUse);
    case QAbstractSocket::SocketAddressNotAvailableError:
        return qt_error_string(kNotAvailable);
    case QAbstractSocket::SocketAccessError:
        return qt_error_string(kDenied);
    default:
        return qtWords;
    }
}

QString lookupWords(const QHostInfo& info) {
    if (info.error() != QHostInfo::HostNotFound) return info.errorString();
#ifdef Q_OS_WIN
    return qt_error_string(WSAHOST_NOT_FOUND);
#else
    return QString::fromLocal8Bit(::gai_strerror(EAI_NONAME));
#endif
}

QString faultWords(const QAbstractSocket& socket) {
    return faultWords(socket.error(), socket.errorString());
}

QString peerName(const QAbstractSocket& socket) {
    QHostAddress a = socket.peerAddress();
    if (a.isNull()) return {};
    bool v4 = false;
    if (const quint32 ip = a.toIPv4Address(&v4); v4) a = QHostAddress(ip);
    const QString host = a.toString();
    const QString port = QString::number(socket.peerPort());
    return a.protocol() == QAbstractSocket::IPv6Protocol
               ? QLatin1Char('[') + host + QStringLiteral("]:") + port
               : host + QLatin1Char(':') + port;
}

void SocketEnd::operator()(QAbstractSocket* socket) const {
    socket->disconnect();
    socket->abort();
    delete socket;
}

} // namespace kv::net

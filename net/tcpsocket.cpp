#include "net/tcpsocket.h"

#include <QHostAddress>
#include <QVariant>

#ifdef Q_OS_WIN
#include <winsock2.h>
// After winsock2.h, whose types it uses.
#include <mstcpip.h>
#else
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
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
    return a.protocol() == QAbstractSocket::IPv6Protocol ? QLatin1Char('[') + host + QStringLiteral("]:") + port
                                                         : host + QLatin1Char(':') + port;
}

void SocketEnd::operator()(QAbstractSocket* socket) const {
    socket->disconnect();
    socket->abort();
    delete socket;
}

} // namespace kv::net

#include "net/socket.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#ifdef _WIN32
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, whose types it uses.
#include <mstcpip.h>
#else
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace kv::net {
namespace {

#ifdef _WIN32
using Native = SOCKET;
using PollFd = WSAPOLLFD;
constexpr int kWouldBlock = WSAEWOULDBLOCK;
constexpr int kInProgress = WSAEWOULDBLOCK;
constexpr int kRefused = WSAECONNREFUSED;
constexpr int kInterrupted = WSAEINTR;
constexpr int kNoSignal = 0;

int lastError() {
    return WSAGetLastError();
}
int pollSockets(PollFd* fds, std::size_t n, int timeoutMs) {
    return WSAPoll(fds, static_cast<ULONG>(n), timeoutMs);
}
void closeNative(Native s) {
    ::closesocket(s);
}
bool setNonBlocking(Native s) {
    u_long on = 1;
    return ::ioctlsocket(s, FIONBIO, &on) == 0;
}
// WSAPoll does not report a refused connect on every Windows: select does.
bool waitConnected(Native s, int timeoutMs) {
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval t{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return ::select(0, nullptr, &writable, &failed, &t) > 0;
}
QString errorText(int code) {
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    QString s = text ? QString::fromWCharArray(text).trimmed() : QStringLiteral("error %1").arg(code);
    LocalFree(text);
    return s;
}
// Winsock must be started once before its first use; it is never stopped, as the process ends.
struct Startup {
    Startup() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
};
void ensureStarted() {
    static const Startup startup;
}
#else
using Native = int;
using PollFd = pollfd;
constexpr int kWouldBlock = EWOULDBLOCK;
constexpr int kInProgress = EINPROGRESS;
constexpr int kRefused = ECONNREFUSED;
constexpr int kInterrupted = EINTR;
// A peer gone away makes send fail with an error instead of raising SIGPIPE.
#ifdef MSG_NOSIGNAL
constexpr int kNoSignal = MSG_NOSIGNAL;
#else
constexpr int kNoSignal = 0;
#endif

int lastError() {
    return errno;
}
int pollSockets(PollFd* fds, std::size_t n, int timeoutMs) {
    return ::poll(fds, static_cast<nfds_t>(n), timeoutMs);
}
void closeNative(Native s) {
    ::close(s);
}
bool setNonBlocking(Native s) {
    const int flags = ::fcntl(s, F_GETFL, 0);
    return flags >= 0 && ::fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
}
bool waitConnected(Native s, int timeoutMs) {
    pollfd p{};
    p.fd = s;
    p.events = POLLOUT;
    return ::poll(&p, 1, timeoutMs) > 0;
}
QString errorText(int code) {
    return QString::fromLocal8Bit(std::strerror(code));
}
void ensureStarted() {}
#endif

Native sys(Socket::Native s) {
    return static_cast<Native>(s);
}

constexpr int kReceiveAtMost = 64 * 1024;

bool wouldBlock(int code) {
    return code == kWouldBlock || code == EAGAIN || code == kInterrupted;
}

// One socket's wait for an event, up to timeoutMs.
bool waitFor(Native s, short events, int timeoutMs) {
    PollFd p{};
    p.fd = s;
    p.events = events;
    return pollSockets(&p, 1, timeoutMs) > 0;
}

void noDelay(Native s) {
    // Requests are small and go one at a time: Nagle's delay would only hold them back.
    int on = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

// A peer that vanished without a word (a device server switched off, a modem out of coverage)
// is found out by the system between requests: idle 20 s, then a probe every 5 s, 3 unanswered.
constexpr int kKeepIdleS = 20;
constexpr int kKeepIntervalS = 5;
constexpr int kKeepProbes = 3;

void keepAlive(Native s) {
    int on = 1;
    ::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on);
#ifdef _WIN32
    tcp_keepalive k{1, kKeepIdleS * 1000, kKeepIntervalS * 1000};
    DWORD returned = 0;
    ::WSAIoctl(s, SIO_KEEPALIVE_VALS, &k, sizeof k, nullptr, 0, &returned, nullptr, nullptr);
#else
#ifdef TCP_KEEPIDLE
    int idle = kKeepIdleS;
    ::setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
#endif
#ifdef TCP_KEEPINTVL
    int interval = kKeepIntervalS;
    ::setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
#endif
#ifdef TCP_KEEPCNT
    int probes = kKeepProbes;
    ::setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
#endif
#endif
}

struct AddressList {
    addrinfo* head = nullptr;
    ~AddressList() {
        if (head) ::freeaddrinfo(head);
    }
};

int resolve(const QString& host, int port, bool passive, AddressList& out) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = passive ? AI_PASSIVE : 0;
    const QByteArray name = host.toUtf8();
    const QByteArray service = QByteArray::number(port);
    return ::getaddrinfo(name.isEmpty() ? nullptr : name.constData(), service.constData(), &hints, &out.head);
}

QString resolveError(int code) {
#ifdef _WIN32
    return errorText(code);
#else
    return QString::fromLocal8Bit(::gai_strerror(code));
#endif
}

// One connect to one address of the host; the error code, 0 when connected.
int connectOne(const addrinfo* a, int timeoutMs, Socket& out) {
    const Native s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == static_cast<Native>(Socket::INVALID)) return lastError();
    Socket owned(static_cast<Socket::Native>(s));
    if (!setNonBlocking(s)) return lastError();
    if (::connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
        const int code = lastError();
        if (code != kInProgress && code != EINPROGRESS) return code;
        if (!waitConnected(s, timeoutMs)) return ETIMEDOUT;
        int soError = 0;
        socklen_t len = sizeof soError;
        ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &len);
        if (soError != 0) return soError;
    }
    noDelay(s);
    keepAlive(s);
    out = std::move(owned);
    return 0;
}

} // namespace

qint64 monotonicNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

Socket::~Socket() {
    close();
}

Socket::Socket(Socket&& other) noexcept : native_(other.native_) {
    other.native_ = INVALID;
}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        close();
        native_ = other.native_;
        other.native_ = INVALID;
    }
    return *this;
}

void Socket::close() {
    if (native_ == INVALID) return;
    closeNative(sys(native_));
    native_ = INVALID;
}

QByteArray Socket::receive(bool& closed, QString& why) {
    closed = false;
    QByteArray got;
    if (!valid()) {
        closed = true;
        return got;
    }
    char buf[4096];
    // A peer that never stops sending is read in bounded helpings, so a caller watching many
    // sockets serves the others too.
    while (got.size() < kReceiveAtMost) {
        const auto n = ::recv(sys(native_), buf, sizeof buf, 0);
        if (n > 0) {
            got.append(buf, static_cast<int>(n));
            continue;
        }
        if (n == 0) {
            closed = true;
            why = QStringLiteral("the connection was closed by the other end");
            return got;
        }
        const int code = lastError();
        if (wouldBlock(code)) return got;
        closed = true;
        why = errorText(code);
        return got;
    }
    return got;
}

bool Socket::sendAll(const QByteArray& bytes, int timeoutMs, QString& why) {
    int done = 0;
    while (done < bytes.size()) {
        const auto n =
            ::send(sys(native_), bytes.constData() + done, static_cast<int>(bytes.size() - done), kNoSignal);
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        const int code = lastError();
        if (!wouldBlock(code)) {
            why = errorText(code);
            return false;
        }
        if (!waitFor(sys(native_), POLLOUT, timeoutMs)) {
            why = QStringLiteral("nothing could be sent for %1 ms").arg(timeoutMs);
            return false;
        }
    }
    return true;
}

Socket Socket::accept() {
    const Native s = ::accept(sys(native_), nullptr, nullptr);
    if (s == static_cast<Native>(INVALID)) return {};
    Socket client(static_cast<Native>(s));
    if (!setNonBlocking(s)) return {};
    noDelay(s);
    keepAlive(s);
    return client;
}

QString Socket::peerHost() const {
    return peer(false);
}

QString Socket::peerName() const {
    return peer(true);
}

QString Socket::peer(bool withPort) const {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (::getpeername(sys(native_), reinterpret_cast<sockaddr*>(&a), &len) != 0) return {};
    char host[NI_MAXHOST] = {};
    char service[NI_MAXSERV] = {};
    if (::getnameinfo(reinterpret_cast<sockaddr*>(&a), len, host, sizeof host, service, sizeof service,
                      NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return {};
    QString text = QString::fromLatin1(host);
    // An IPv4 peer of the socket that listens on every interface, told as IPv4.
    if (text.startsWith(QLatin1String("::ffff:"), Qt::CaseInsensitive) && text.contains(QLatin1Char('.')))
        text = text.mid(7);
    if (!withPort) return text;
    if (text.contains(QLatin1Char(':'))) text = QLatin1Char('[') + text + QLatin1Char(']');
    return text + QLatin1Char(':') + QLatin1String(service);
}

int Socket::localPort() const {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (::getsockname(sys(native_), reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    char service[NI_MAXSERV] = {};
    if (::getnameinfo(reinterpret_cast<sockaddr*>(&a), len, nullptr, 0, service, sizeof service,
                      NI_NUMERICSERV) != 0)
        return 0;
    return QByteArray(service).toInt();
}

Connected connectTo(const QString& host, int port, int timeoutMs) {
    ensureStarted();
    Connected c;
    AddressList list;
    if (const int code = resolve(host, port, false, list); code != 0) {
        c.error = ConnectError::UnknownHost;
        c.why = QStringLiteral("unknown host (%1)").arg(resolveError(code));
        return c;
    }
    int last = 0;
    for (const addrinfo* a = list.head; a; a = a->ai_next) {
        last = connectOne(a, timeoutMs, c.socket);
        if (last == 0) return c;
    }
    c.error = last == kRefused || last == ECONNREFUSED ? ConnectError::Refused
              : last == ETIMEDOUT                      ? ConnectError::TimedOut
                                                       : ConnectError::Other;
    c.why = c.error == ConnectError::Refused    ? QStringLiteral("connection refused")
            : c.error == ConnectError::TimedOut ? QStringLiteral("no answer within %1 ms").arg(timeoutMs)
                                                : errorText(last);
    return c;
}

namespace {

// Every interface: one IPv6 socket that takes IPv4 too; nothing when the system has no IPv6.
Socket listenDualStack(int port) {
    const Native s = ::socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP);
    if (s == static_cast<Native>(Socket::INVALID)) return {};
    Socket owned(static_cast<Socket::Native>(s));
    int off = 0;
    if (::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off), sizeof off) != 0)
        return {};
#ifndef _WIN32
    int on = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
#endif
    sockaddr_in6 any{}; // zeroed: the address :: is every interface
    any.sin6_family = AF_INET6;
    any.sin6_port = htons(static_cast<std::uint16_t>(port));
    if (::bind(s, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0 || ::listen(s, SOMAXCONN) != 0 ||
        !setNonBlocking(s))
        return {};
    return owned;
}

} // namespace

Socket listenOn(const QString& host, int port, QString& why) {
    ensureStarted();
    if (host.isEmpty())
        if (Socket both = listenDualStack(port); both.valid()) return both;
    AddressList list;
    if (const int code = resolve(host, port, true, list); code != 0) {
        why = QStringLiteral("unknown host (%1)").arg(resolveError(code));
        return {};
    }
    int last = 0;
    for (const addrinfo* a = list.head; a; a = a->ai_next) {
        const Native s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == static_cast<Native>(Socket::INVALID)) {
            last = lastError();
            continue;
        }
        Socket owned(static_cast<Socket::Native>(s));
#ifndef _WIN32
        // A restarted server takes its port back at once; Windows would let two share it.
        int on = 1;
        ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
#endif
        if (::bind(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0 && ::listen(s, SOMAXCONN) == 0 &&
            setNonBlocking(s))
            return owned;
        last = lastError();
    }
    why = errorText(last);
    return {};
}

bool waitAny(std::vector<Watch>& watches, int timeoutMs) {
    std::vector<PollFd> fds(watches.size());
    for (std::size_t i = 0; i < watches.size(); ++i) {
        fds[i].fd = sys(watches[i].socket);
        fds[i].events = POLLIN;
        watches[i].readable = false;
    }
    const int n = pollSockets(fds.data(), fds.size(), timeoutMs);
    if (n < 0) return lastError() == kInterrupted;
    for (std::size_t i = 0; i < watches.size(); ++i)
        watches[i].readable = (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    return true;
}

} // namespace kv::net

#include "sim/net.h"

#include "sim/clock.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kvsim {

namespace {

constexpr int kDialTimeoutMs = 5000;

// The endpoint's addresses; empty and the reason when the host cannot be resolved.
addrinfo* resolve(const Endpoint& where, bool passive, std::string& error) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
    const std::string host = where.host.empty() ? "127.0.0.1" : where.host;
    addrinfo* list = nullptr;
    const int rc = getaddrinfo(host.c_str(), std::to_string(where.port).c_str(), &hints, &list);
    if (rc != 0) {
        error = endpointText(where) + ": " + gai_strerror(rc);
        return nullptr;
    }
    return list;
}

void tune(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

std::string nameOf(const sockaddr_storage& a) {
    char host[INET6_ADDRSTRLEN] = {};
    if (a.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(a);
        inet_ntop(AF_INET6, &v6.sin6_addr, host, sizeof host);
        return std::string("[") + host + "]:" + std::to_string(ntohs(v6.sin6_port));
    }
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(a);
    inet_ntop(AF_INET, &v4.sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(v4.sin_port));
}

// Waits for a non-blocking connect to finish; 0 or the error.
int awaitConnect(int fd) {
    const int64_t deadline = nowUs() + int64_t{kDialTimeoutMs} * 1000;
    for (;;) {
        pollfd fds[2] = {{fd, POLLOUT, 0}, {terminationFd(), POLLIN, 0}};
        const int left = static_cast<int>((deadline - nowUs()) / 1000);
        if (left <= 0) return ETIMEDOUT;
        const int r = poll(fds, 2, left);
        if (r < 0 && errno != EINTR) return errno;
        if (fds[1].revents) return EINTR;
        if (r > 0 && fds[0].revents) break;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
    return err;
}

} // namespace

std::string endpointText(const Endpoint& where) {
    const std::string host = where.host.empty() ? "127.0.0.1" : where.host;
    return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(where.port);
}

int listenOn(const Endpoint& where, std::string& error) {
    addrinfo* list = resolve(where, true, error);
    if (!list) return -1;
    int fd = -1;
    for (addrinfo* a = list; a && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) continue;
        const int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (bind(fd, a->ai_addr, a->ai_addrlen) != 0 || listen(fd, 16) != 0) {
            error = "cannot listen on " + endpointText(where) + ": " + std::strerror(errno);
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(list);
    return fd;
}

int acceptClient(int listenFd) {
    const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0) tune(fd);
    return fd;
}

int dialTo(const Endpoint& where, std::string& error) {
    addrinfo* list = resolve(where, false, error);
    if (!list) return -1;
    int fd = -1;
    for (addrinfo* a = list; a && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) continue;
        int err = connect(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
        if (err == EINPROGRESS) err = awaitConnect(fd);
        if (err != 0) {
            error = "cannot dial " + endpointText(where) + ": " + std::strerror(err);
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(list);
    if (fd >= 0) tune(fd);
    return fd;
}

std::string localName(int fd) {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    return getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0 ? nameOf(a) : std::string("?");
}

int localPort(int fd) {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    return ntohs(a.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(a).sin6_port
                                         : reinterpret_cast<const sockaddr_in&>(a).sin_port);
}

std::string peerName(int fd) {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    return getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0 ? nameOf(a) : std::string("?");
}

} // namespace kvsim

// The TCP links: a serial device server (raw RTU frames), a Modbus-TCP gateway, and a DTU
// that dials out. One thread: a reply is sent before the next request is read, as the one
// bus behind a server answers one request at a time.

#include "sim/serve.h"

#include "sim/clock.h"
#include "sim/line.h"
#include "sim/log.h"
#include "sim/mbap.h"
#include "sim/net.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <list>
#include <poll.h>
#include <unistd.h>

namespace kvsim {

namespace {

// TCP keeps no silences: a request is complete by its length. A partial one is dropped only
// after this long without a byte, so a master that died mid-request cannot poison the next.
constexpr int64_t kStreamGapUs = 1000000;

// One TCP peer.
struct Connection {
    Connection(int socket, std::string name) : fd(socket), peer(std::move(name)) {
        rtu.setGapUs(kStreamGapUs);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() {
        if (fd >= 0) close(fd);
    }

    int fd;
    std::string peer;
    FrameAssembler rtu; // raw RTU frames
    MbapAssembler mbap; // Modbus TCP
    int replies = 0;
    int64_t lastUs = nowUs(); // the last request heard or reply sent
    bool stalled = false;     // --stall-after: open, never answered again
};

// What becomes of a connection after its bytes were served.
enum class After {
    Keep,
    Close, // the stream broke, or the peer stopped reading
    Drop,  // --drop-after: the server closes it on purpose
    Quit,  // a termination signal
};

class Server {
public:
    Server(Bus& bus, const Options& o) : bus_(bus), opt_(o) {
        timing_.baud = o.baud > 0 ? o.baud : kFallbackPaceBaud;
        timing_.charBits =
            characterBits(o.parity.value_or(Parity::None) != Parity::None, o.stopBits.value_or(1));
    }

    After take(Connection& c, const uint8_t* data, size_t size) {
        if (c.stalled) return After::Keep;
        if (opt_.mode == Mode::ModbusTcp) {
            for (const Adu& adu : c.mbap.feed(data, size))
                if (const After a = answer(c, adu); a != After::Keep) return a;
            if (c.mbap.broken()) {
                event(c, "sent a header no gateway accepts; closed");
                return After::Close;
            }
            return After::Keep;
        }
        // A device server on a 2-wire bus hears its own transmission and forwards it.
        if (opt_.echo && !writeAll(c.fd, data, size)) return After::Close;
        for (const Bytes& request : c.rtu.feed(data, size, nowUs()))
            if (const After a = answer(c, request); a != After::Keep) return a;
        return After::Keep;
    }

    void event(const Connection& c, const std::string& what) const {
        if (opt_.verbose) logEvent(c.peer + " " + what);
    }

private:
    After answer(Connection& c, const Bytes& request) {
        const int64_t received = nowUs();
        if (opt_.verbose) logFrame("<<", request);
        const Bytes reply = bus_.serve(request, received);
        if (reply.empty()) return After::Keep;
        const bool heartbeatFirst =
            opt_.heartbeatBeforeReply > 0 && ++replies_ % opt_.heartbeatBeforeReply == 0;
        const Delivery d{reply, request.size(), reply.size(), true,
                         heartbeatFirst ? &opt_.heartbeat : nullptr};
        return sent(c, sendReply(c.fd, d, received, timing_, bus_.nextPacing()), reply, heartbeatFirst);
    }

    After answer(Connection& c, const Adu& adu) {
        const int64_t received = nowUs();
        const Bytes rtuRequest = rtuRequestFor(adu);
        if (opt_.verbose) logFrame("<<", encodeAdu(adu));
        // A gateway knows which units are behind it: 0 broadcasts, 250 asks whoever is there.
        const bool routed =
            adu.unit == kBroadcastAddress || adu.unit == kWhoIsThereAddress || bus_.hasSensor(adu.unit);
        if (!routed) return sentAt(c, received, aduExceptionFor(adu, exc::kGatewayPathUnavailable));
        const Bytes reply = bus_.serve(rtuRequest, received);
        if (adu.unit == kBroadcastAddress) return After::Keep;
        // Silence, a garbled CRC or replies colliding: the gateway gives up after its timeout.
        if (reply.empty() || !crcValid(reply))
            return sentAt(c, received + static_cast<int64_t>(opt_.gatewayTimeoutMs * 1000.0),
                          aduExceptionFor(adu, exc::kGatewayTargetNoResponse));
        const Bytes wire = aduReplyFor(adu, reply);
        const Delivery d{wire, rtuRequest.size(), reply.size(), true};
        return sent(c, sendReply(c.fd, d, received, timing_, bus_.nextPacing()), wire, false);
    }

    // A gateway's own answer, whole, at the given time.
    After sentAt(Connection& c, int64_t atUs, const Bytes& wire) {
        if (!waitUntil(atUs)) return After::Quit;
        return sent(c, writeAll(c.fd, wire.data(), wire.size()) ? SendResult::Sent : SendResult::Unheard,
                    wire, false);
    }

    After sent(Connection& c, SendResult result, const Bytes& wire, bool heartbeatFirst) {
        if (result == SendResult::Interrupted) return After::Quit;
        if (result == SendResult::Unheard) {
            event(c, "stopped reading; closed");
            return After::Close;
        }
        if (opt_.verbose && heartbeatFirst) logFrame("-> heartbeat", opt_.heartbeat);
        if (opt_.verbose) logFrame(">>", wire);
        c.lastUs = nowUs();
        ++c.replies;
        if (opt_.dropAfter > 0 && c.replies >= opt_.dropAfter) {
            event(c, "dropped after " + std::to_string(c.replies) + " replies");
            return After::Drop;
        }
        if (opt_.stallAfter > 0 && c.replies >= opt_.stallAfter) {
            c.stalled = true;
            event(c, "stalled after " + std::to_string(c.replies) + " replies");
        }
        return After::Keep;
    }

    Bus& bus_;
    const Options& opt_;
    LineTiming timing_;
    long replies_ = 0;
};

// Reads what a connection sent and serves it.
After readAndServe(Server& server, Connection& c) {
    uint8_t buf[1024];
    const ssize_t n = read(c.fd, buf, sizeof buf);
    if (n > 0) {
        c.lastUs = nowUs();
        return server.take(c, buf, static_cast<size_t>(n));
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return After::Keep;
    server.event(c, "closed by the peer");
    return After::Close;
}

// Sends bytes a DTU sends of its own; false when the connection is gone.
bool sendOwn(int fd, const char* what, const Bytes& bytes, const Options& o) {
    if (!writeAll(fd, bytes.data(), bytes.size())) return false;
    if (o.verbose) logFrame(what, bytes);
    return true;
}

} // namespace

int serveListener(Bus& bus, int listenFd, const Options& opt) {
    Server server(bus, opt);
    const Endpoint again{opt.endpoint.host, localPort(listenFd)}; // port 0 picked one: keep it
    std::list<Connection> clients;
    for (;;) {
        std::vector<pollfd> fds{{terminationFd(), POLLIN, 0}, {listenFd, POLLIN, 0}};
        int waitMs = 1000;
        for (const Connection& c : clients) {
            fds.push_back({c.fd, POLLIN, 0});
            if (opt.idleCloseMs > 0) {
                const int64_t left = c.lastUs + static_cast<int64_t>(opt.idleCloseMs * 1000.0) - nowUs();
                waitMs = std::clamp(static_cast<int>((left + 999) / 1000), 0, waitMs);
            }
        }
        if (poll(fds.data(), fds.size(), waitMs) < 0 && errno != EINTR) {
            std::perror("kv7702r-sim: poll");
            return 1;
        }
        if (fds[0].revents) return 0;
        if (fds[1].revents & POLLIN) {
            const int fd = acceptClient(listenFd);
            if (fd >= 0) server.event(clients.emplace_back(fd, peerName(fd)), "connected");
        }
        bool down = false;
        auto it = clients.begin();
        for (size_t i = 2; i < fds.size() && !down; ++i) {
            After a = After::Keep;
            if (fds[i].revents) a = readAndServe(server, *it);
            it->rtu.expire(nowUs());
            if (a == After::Quit) return 0;
            if (a == After::Keep && opt.idleCloseMs > 0 &&
                nowUs() - it->lastUs >= static_cast<int64_t>(opt.idleCloseMs * 1000.0)) {
                server.event(*it, "quiet for " + std::to_string(static_cast<long>(opt.idleCloseMs)) +
                                      " ms; closed");
                a = After::Close;
            }
            down = a == After::Drop && opt.downForMs > 0;
            it = a == After::Keep || down ? std::next(it) : clients.erase(it);
        }
        if (!down) continue;
        // A server that goes away for a while: connections refused (from before the clients
        // see their end, so a client that reconnects at once is refused), every client dropped.
        close(listenFd);
        clients.clear();
        if (opt.verbose) logEvent("down for " + std::to_string(static_cast<long>(opt.downForMs)) + " ms");
        if (!waitUntil(nowUs() + static_cast<int64_t>(opt.downForMs * 1000.0))) return 0;
        std::string err;
        listenFd = listenOn(again, err);
        if (listenFd < 0) {
            std::fprintf(stderr, "kv7702r-sim: %s\n", err.c_str());
            return 1;
        }
        if (opt.verbose) logEvent("listening again on " + localName(listenFd));
    }
}

int serveDial(Bus& bus, const Options& opt) {
    Server server(bus, opt);
    const auto every = static_cast<int64_t>(opt.heartbeatEverySec * 1e6);
    std::string lastFailure;
    std::vector<int> hung; // --stall-after: connections left open behind
    for (;;) {
        std::string err;
        const int fd = dialTo(opt.endpoint, err);
        if (fd < 0) {
            if (terminationRequested()) return 0;
            if (opt.verbose && err != lastFailure) logEvent(err);
            lastFailure = err;
            if (!waitUntil(nowUs() + static_cast<int64_t>(opt.redialAfterMs * 1000.0))) return 0;
            continue;
        }
        lastFailure.clear();
        Connection c(fd, peerName(fd));
        server.event(c, "dialed");
        if (opt.registerAfterMs > 0 &&
            !waitUntil(nowUs() + static_cast<int64_t>(opt.registerAfterMs * 1000.0)))
            return 0;
        bool open = opt.registration.empty() || sendOwn(fd, "-> registration", opt.registration, opt);
        int64_t nextHeartbeat = nowUs() + every;
        while (open) {
            const int64_t now = nowUs();
            if (!opt.heartbeat.empty() && now >= nextHeartbeat) {
                open = sendOwn(fd, "-> heartbeat", opt.heartbeat, opt);
                while (nextHeartbeat <= now) // none owed for the time a slow reply held the line
                    nextHeartbeat += every;
                continue;
            }
            const int64_t wakeUs =
                opt.heartbeat.empty() ? now + kStreamGapUs : std::min(nextHeartbeat, now + kStreamGapUs);
            pollfd fds[2] = {{terminationFd(), POLLIN, 0}, {fd, POLLIN, 0}};
            if (poll(fds, 2, static_cast<int>((wakeUs - now + 999) / 1000)) < 0 && errno != EINTR) {
                std::perror("kv7702r-sim: poll");
                return 1;
            }
            if (fds[0].revents) return 0;
            const After a = fds[1].revents ? readAndServe(server, c) : After::Keep;
            if (a == After::Quit) return 0;
            open = a == After::Keep && !c.stalled;
            c.rtu.expire(nowUs());
        }
        if (c.stalled) {
            // Left open and never answered, as a modem that lost its link leaves the server's
            // end of it: closed only when the sim ends.
            hung.push_back(c.fd);
            c.fd = -1;
            server.event(c, "left hanging; dialing again");
            if (!waitUntil(nowUs() + static_cast<int64_t>(opt.redialAfterMs * 1000.0))) return 0;
            continue;
        }
        server.event(c, "gone; dialing again");
        if (!waitUntil(nowUs() + static_cast<int64_t>(opt.redialAfterMs * 1000.0))) return 0;
    }
}

} // namespace kvsim

#include "net/dialin.h"

#include <algorithm>

namespace kv::net {
namespace {

constexpr qint64 kNsPerMs = 1000000;

// A backslash too is %XX: line protocol cannot end a tag with one.
bool printable(char c) {
    return c > 0x20 && c < 0x7F && c != '%' && c != '/' && c != '\\';
}

} // namespace

QString registrationName(const QByteArray& registration) {
    QString name;
    for (char c : registration) {
        if (printable(c))
            name += QLatin1Char(c);
        else
            name += QLatin1Char('%') + QString::number(static_cast<uint>(static_cast<unsigned char>(c)), 16)
                                           .rightJustified(2, QLatin1Char('0'))
                                           .toUpper();
    }
    return name;
}

bool DialInHub::listen(const Options& options, QString& why) {
    options_ = options;
    listener_ = listenOn(options.host, options.port, why);
    return listener_.valid();
}

void DialInHub::acceptAll(qint64 nowNs) {
    for (Socket s = listener_.accept(); s.valid(); s = listener_.accept()) {
        Newcomer n;
        n.peer = s.peerName();
        n.connectedNs = nowNs;
        n.socket = std::move(s);
        n.untilNs = nowNs + options_.registrationMs * kNsPerMs;
        newcomers_.push_back(std::move(n));
    }
}

bool DialInHub::dead(const DialInBus& bus, qint64 nowNs) const {
    const SocketLine& s = bus.socket_;
    if (!s.connected()) return true;
    return s.wroteNs() > s.heardNs() && nowNs - s.wroteNs() > options_.answerMs * kNsPerMs;
}

DialInBus& DialInHub::busNamed(const QString& name, const QString& registration) {
    DialInBus*& bus = byName_[name];
    if (!bus) {
        buses_.push_back(std::make_unique<DialInBus>(name, options_.heartbeats));
        bus = buses_.back().get();
        bus->registration_ = registration;
    }
    return *bus;
}

void DialInHub::attach(Newcomer& n, DialInBus& bus, Events& events) {
    bus.socket_.attach(std::move(n.socket));
    bus.line_.filter().reset();
    bus.peer_ = n.peer;
    ++bus.connections_;
    events.joined.push_back(&bus);
}

void DialInHub::file(Newcomer& n, Events& events, qint64 nowNs) {
    // The registration without heartbeats, unless it is nothing else (a DTU that registers
    // with its heartbeat).
    HeartbeatFilter filter(options_.heartbeats);
    QByteArray registration = filter.strip(n.said) + filter.release();
    if (registration.isEmpty() && filter.removed() > 0) {
        for (const QByteArray& h : options_.heartbeats)
            if (n.said.startsWith(h)) registration = h;
    }
    n.registration = registration.isEmpty() ? n.peer : registrationName(registration);
    if (n.tooLong)
        events.notes.push_back(QStringLiteral("%1 registered with more than %2 bytes: the first %2 name it")
                                   .arg(n.peer)
                                   .arg(MAX_REGISTRATION));
    // A bus of the registration whose connection is over or dead is taken at once, the one
    // last dialled from the same host first.
    const auto hostOf = [](const QString& peer) { return peer.left(peer.lastIndexOf(QLatin1Char(':'))); };
    DialInBus* free = nullptr;
    DialInBus* open = nullptr;
    for (const auto& b : buses_) {
        if (b->registration_ != n.registration) continue;
        const bool sameHost = hostOf(b->peer_) == hostOf(n.peer);
        DialInBus*& pick = dead(*b, nowNs) ? free : open;
        if (!pick || (sameHost && hostOf(pick->peer_) != hostOf(n.peer))) pick = b.get();
    }
    if (free || !open) {
        attach(n, free ? *free : busNamed(n.registration, n.registration), events);
        return;
    }
    n.suspect = open;
    n.waitingSinceNs = nowNs;
    if (const Verdict v = judge(n, nowNs); v != Verdict::Waiting) {
        decide(n, v, events);
        return;
    }
    open->probeSinceNs_ = nowNs;
    waiting_.push_back(std::move(n));
}

DialInHub::Verdict DialInHub::judge(const Newcomer& n, qint64 nowNs) const {
    const DialInBus& s = *n.suspect;
    // Heard since the newcomer connected: two live DTUs.
    if (s.socket_.connected() && s.socket_.heardNs() > n.connectedNs) return Verdict::Second;
    if (dead(s, nowNs) || nowNs - n.waitingSinceNs > options_.probeMs * kNsPerMs) return Verdict::Same;
    return Verdict::Waiting;
}

void DialInHub::decide(Newcomer& n, Verdict verdict, Events& events) {
    DialInBus& suspect = *n.suspect;
    suspect.probeSinceNs_ = 0;
    if (verdict == Verdict::Same) {
        attach(n, suspect, events);
        return;
    }
    const QString name = n.registration + QLatin1Char('@') + n.peer;
    events.notes.push_back(
        QStringLiteral("two DTUs register as %1, from %2 and from %3: the second is read as %4")
            .arg(n.registration, suspect.peer_, n.peer, name));
    attach(n, busNamed(name, n.registration), events);
}

qint64 DialInHub::nextVerdictNs(const Newcomer& n) const {
    const SocketLine& s = n.suspect->socket_;
    qint64 at = n.waitingSinceNs + options_.probeMs * kNsPerMs + 1;
    if (s.wroteNs() > s.heardNs()) at = std::min(at, s.wroteNs() + options_.answerMs * kNsPerMs + 1);
    return at;
}

DialInHub::Events DialInHub::wait(qint64 untilNs) {
    Events events;
    for (const Newcomer& n : newcomers_)
        untilNs = std::min(untilNs, n.untilNs);
    for (const Newcomer& n : waiting_)
        untilNs = std::min(untilNs, nextVerdictNs(n));
    std::vector<Watch> watches;
    watches.reserve(1 + newcomers_.size() + buses_.size());
    watches.push_back({listener_.native(), false});
    for (const Newcomer& n : newcomers_)
        watches.push_back({n.socket.native(), false});
    // Bytes already read into an idle bus's line wait there for its next exchange, as on a
    // serial port; its socket is watched for more, or for its end.
    std::vector<DialInBus*> watched;
    for (const auto& b : buses_)
        if (b->connected()) {
            watches.push_back({b->socket().native(), false});
            watched.push_back(b.get());
        }
    const qint64 leftNs = untilNs - monotonicNs();
    const int ms =
        leftNs <= 0 ? 0 : static_cast<int>(std::min<qint64>((leftNs + kNsPerMs - 1) / kNsPerMs, 60000));
    waitAny(watches, ms);
    const qint64 now = monotonicNs();

    std::size_t w = 1;
    for (Newcomer& n : newcomers_) {
        if (watches[w++].readable) {
            bool closed = false;
            QString why;
            n.said += n.socket.receive(closed, why);
            if (n.said.size() > MAX_REGISTRATION) {
                n.tooLong = true;
                n.said.truncate(MAX_REGISTRATION);
            }
            if (closed) n.socket.close();
        }
    }
    for (DialInBus* b : watched)
        if (watches[w++].readable) {
            b->socket().pump();
            events.heard.push_back(b);
        }

    for (auto it = waiting_.begin(); it != waiting_.end();) {
        if (const Verdict v = judge(*it, now); v != Verdict::Waiting) {
            decide(*it, v, events);
            it = waiting_.erase(it);
        } else {
            ++it;
        }
    }
    // A connection that ended before it registered is forgotten; one whose moment is over is filed.
    for (auto it = newcomers_.begin(); it != newcomers_.end();) {
        if (!it->socket.valid()) {
            it = newcomers_.erase(it);
        } else if (now >= it->untilNs) {
            file(*it, events, now);
            it = newcomers_.erase(it);
        } else {
            ++it;
        }
    }
    if (watches[0].readable) acceptAll(now);
    return events;
}

} // namespace kv::net

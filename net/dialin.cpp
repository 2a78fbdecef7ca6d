#include "net/dialin.h"

#include <algorithm>

namespace kv::net {
namespace {

constexpr qint64 kNsPerMs = 1000000;
// A registration longer than this is no registration: the rest is kept out of the name.
constexpr int kMaxRegistration = 256;

bool printable(char c) {
    return c > 0x20 && c < 0x7F && c != '%' && c != '/';
}

} // namespace

QString registrationName(const QByteArray& registration) {
    QString name;
    for (char c : registration) {
        if (printable(c))
            name += QLatin1Char(c);
        else
            name +=
                QStringLiteral("%%1").arg(static_cast<unsigned char>(c), 2, 16, QLatin1Char('0')).toUpper();
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
        n.peer = s.peerHost();
        n.socket = std::move(s);
        n.untilNs = nowNs + options_.registrationMs * kNsPerMs;
        newcomers_.push_back(std::move(n));
    }
}

void DialInHub::file(Newcomer& n, Events& events) {
    // The registration without heartbeats, unless it is nothing else (a DTU that registers
    // with its heartbeat).
    HeartbeatFilter filter(options_.heartbeats);
    QByteArray registration = filter.strip(n.said);
    if (registration.isEmpty() && filter.removed() > 0) {
        for (const QByteArray& h : options_.heartbeats)
            if (n.said.startsWith(h)) registration = h;
    }
    const QString name = registration.isEmpty() ? n.peer : registrationName(registration);
    DialInBus*& bus = byName_[name];
    if (!bus) {
        buses_.push_back(std::make_unique<DialInBus>(name, options_.heartbeats));
        bus = buses_.back().get();
    }
    bus->socket_.attach(std::move(n.socket));
    bus->line_.filter().reset();
    ++bus->connections_;
    events.joined.push_back(bus);
}

DialInHub::Events DialInHub::wait(qint64 untilNs) {
    Events events;
    for (const Newcomer& n : newcomers_)
        untilNs = std::min(untilNs, n.untilNs);
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
            n.said.truncate(kMaxRegistration);
            if (closed) n.socket.close();
        }
    }
    for (DialInBus* b : watched)
        if (watches[w++].readable) {
            b->socket().pump();
            events.heard.push_back(b);
        }

    // A connection that ended before it registered is forgotten; one whose moment is over is filed.
    for (auto it = newcomers_.begin(); it != newcomers_.end();) {
        if (!it->socket.valid()) {
            it = newcomers_.erase(it);
        } else if (now >= it->untilNs) {
            file(*it, events);
            it = newcomers_.erase(it);
        } else {
            ++it;
        }
    }
    if (watches[0].readable) acceptAll(now);
    return events;
}

} // namespace kv::net

#include "net/dialin.h"

#include <QCoreApplication>
#include <QHostInfo>
#include <QNetworkProxy>

#include <algorithm>

namespace kv::net {
namespace {

// A backslash too is %XX: line protocol cannot end a tag with one.
bool printable(char c) {
    return c > 0x20 && c < 0x7F && c != '%' && c != '/' && c != '\\';
}

// Just past a moment: a verdict is due once the time has passed, not when it is reached.
constexpr Nanos kPast{1};

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

DialInHub::DialInHub() {
    server_.setProxy(QNetworkProxy::NoProxy);
    QObject::connect(&server_, &QTcpServer::newConnection, &server_, [this] { accept(); });
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, &server_, [this] { advance(); });
    deadline_.setSingleShot(true);
    deadline_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&deadline_, &QTimer::timeout, &server_, [this] { expired_ = true; });
}

DialInHub::~DialInHub() = default;

bool DialInHub::listen(const Options& options, QString& why) {
    options_ = options;
    QList<QHostAddress> addresses;
    if (options.host.isEmpty()) {
        addresses.push_back(QHostAddress(QHostAddress::Any)); // IPv6 and IPv4 on one socket
    } else if (QHostAddress literal; literal.setAddress(options.host)) {
        addresses.push_back(literal);
    } else {
        const QHostInfo info = QHostInfo::fromName(options.host);
        if (info.error() != QHostInfo::NoError || info.addresses().isEmpty()) {
            why = QStringLiteral("unknown host (%1)").arg(lookupWords(info));
            return false;
        }
        addresses = info.addresses();
    }
    for (const QHostAddress& a : addresses) {
        if (server_.listen(a, static_cast<quint16>(options.port))) return true;
        why = faultWords(server_.serverError(), server_.errorString());
    }
    return false;
}

void DialInHub::accept() {
    const TimePoint now = LineClock::now();
    while (QTcpSocket* s = server_.nextPendingConnection()) {
        s->setParent(nullptr); // the newcomer owns it, not the server
        Newcomer n;
        n.socket.reset(s);
        tune(*s);
        n.peer = peerName(*s);
        n.connected = now;
        n.until = now + options_.registration;
        QObject::connect(s, &QTcpSocket::readyRead, &server_, [this, s] { hear(s); });
        QObject::connect(s, &QTcpSocket::disconnected, &server_, [this, s] { ended(s); });
        newcomers_.push_back(std::move(n));
        hear(s);
    }
    rearm(now);
}

void DialInHub::hear(const QTcpSocket* socket) {
    for (Newcomer& n : newcomers_) {
        if (n.socket.get() != socket) continue;
        n.said += n.socket->readAll();
        if (n.said.size() > MAX_REGISTRATION) {
            n.tooLong = true;
            n.said.truncate(MAX_REGISTRATION);
        }
        return;
    }
}

void DialInHub::ended(const QTcpSocket* socket) {
    for (Newcomer& n : newcomers_)
        if (n.socket.get() == socket) n.closed = true;
    // Forgotten out of the socket's own signal.
    soon();
}

bool DialInHub::dead(const DialInBus& bus, TimePoint now) const {
    const SocketLine& s = bus.socket_;
    if (!s.connected()) return true;
    return s.wrote() > s.heard() && now - s.wrote() > options_.answer;
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

void DialInHub::attach(Newcomer& n, DialInBus& bus) {
    QTcpSocket* s = n.socket.get();
    QObject::disconnect(s, nullptr, &server_, nullptr);
    bus.socket_.attach(std::move(n.socket));
    // After the line's own handlers, which have read what came.
    DialInBus* b = &bus;
    QObject::connect(s, &QTcpSocket::readyRead, &server_, [this, b] { activity(*b); });
    QObject::connect(s, &QTcpSocket::disconnected, &server_, [this, b] { activity(*b); });
    // A request to a bus a newcomer waits on brings its verdict closer.
    bus.socket_.setOnWrite([this] {
        if (!waiting_.empty()) rearm(LineClock::now());
    });
    bus.line_.filter().reset();
    bus.peer_ = n.peer;
    ++bus.connections_;
    tellJoined(bus);
}

void DialInHub::activity(DialInBus& bus) {
    if (gathering_) {
        if (std::find(gathering_->heard.begin(), gathering_->heard.end(), &bus) == gathering_->heard.end())
            gathering_->heard.push_back(&bus);
    }
    // Judged out of the socket's own signal: a verdict may hand its bus to the newcomer.
    if (std::any_of(waiting_.begin(), waiting_.end(), [&](const Newcomer& n) { return n.suspect == &bus; }))
        soon();
}

void DialInHub::file(Newcomer& n, TimePoint now) {
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
        tellNote(QStringLiteral("%1 registered with more than %2 bytes: the first %2 name it")
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
        DialInBus*& pick = dead(*b, now) ? free : open;
        if (!pick || (sameHost && hostOf(pick->peer_) != hostOf(n.peer))) pick = b.get();
    }
    if (free || !open) {
        attach(n, free ? *free : busNamed(n.registration, n.registration));
        return;
    }
    n.suspect = open;
    n.waitingSince = now;
    if (const Verdict v = judge(n, now); v != Verdict::Waiting) {
        decide(n, v);
        return;
    }
    open->probeSince_ = now;
    waiting_.push_back(std::move(n));
    tellProbe(*open);
}

DialInHub::Verdict DialInHub::judge(const Newcomer& n, TimePoint now) const {
    const DialInBus& s = *n.suspect;
    // Heard since the newcomer connected: two live DTUs.
    if (s.socket_.connected() && s.socket_.heard() > n.connected) return Verdict::Second;
    if (dead(s, now) || now - n.waitingSince > options_.probe) return Verdict::Same;
    return Verdict::Waiting;
}

void DialInHub::decide(Newcomer& n, Verdict verdict) {
    DialInBus& suspect = *n.suspect;
    suspect.probeSince_.reset();
    if (verdict == Verdict::Same) {
        attach(n, suspect);
        return;
    }
    const QString name = n.registration + QLatin1Char('@') + n.peer;
    tellNote(QStringLiteral("two DTUs register as %1, from %2 and from %3: the second is read as %4")
                 .arg(n.registration, suspect.peer_, n.peer, name));
    attach(n, busNamed(name, n.registration));
}

TimePoint DialInHub::nextVerdict(const Newcomer& n) const {
    const SocketLine& s = n.suspect->socket_;
    TimePoint at = n.waitingSince + options_.probe + kPast;
    if (s.wrote() > s.heard()) at = std::min(at, s.wrote() + options_.answer + kPast);
    return at;
}

void DialInHub::advance() {
    const TimePoint now = LineClock::now();
    for (auto it = waiting_.begin(); it != waiting_.end();) {
        if (const Verdict v = judge(*it, now); v != Verdict::Waiting) {
            Newcomer n = std::move(*it);
            it = waiting_.erase(it);
            decide(n, v);
        } else {
            ++it;
        }
    }
    // A connection that ended before it registered is forgotten; one whose moment is over is filed.
    for (auto it = newcomers_.begin(); it != newcomers_.end();) {
        if (it->closed) {
            it = newcomers_.erase(it);
        } else if (now >= it->until) {
            Newcomer n = std::move(*it);
            it = newcomers_.erase(it);
            file(n, now);
        } else {
            ++it;
        }
    }
    rearm(now);
}

void DialInHub::rearm(TimePoint now) {
    std::optional<TimePoint> next;
    const auto sooner = [&next](TimePoint t) {
        if (!next || t < *next) next = t;
    };
    for (const Newcomer& n : newcomers_)
        sooner(n.closed ? now : n.until);
    for (const Newcomer& n : waiting_)
        sooner(nextVerdict(n));
    if (next)
        timer_.start(waitMs(*next - now));
    else
        timer_.stop();
}

void DialInHub::tellJoined(DialInBus& bus) {
    if (gathering_) {
        gathering_->joined.push_back(&bus);
    } else if (handlers_.joined) {
        handlers_.joined(bus);
    }
}

void DialInHub::tellProbe(DialInBus& bus) {
    if (gathering_) {
        gathering_->probe.push_back(&bus);
    } else if (handlers_.probe) {
        handlers_.probe(bus);
    }
}

void DialInHub::tellNote(const QString& note) {
    if (gathering_) {
        gathering_->notes.push_back(note);
    } else if (handlers_.note) {
        handlers_.note(note);
    }
}

DialInHub::Events DialInHub::wait(TimePoint until) {
    Events events;
    gathering_ = &events;
    advance();
    // Events are handled until one is gathered; a loop of our own, not QEventLoop's, whose
    // quit() would wake the next wait at once.
    if (const int ms = waitMs(until - LineClock::now()); ms > 0) {
        expired_ = false;
        deadline_.start(ms);
        while (events.empty() && !expired_)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        deadline_.stop();
    } else if (events.empty()) {
        QCoreApplication::processEvents();
    }
    gathering_ = nullptr;
    return events;
}

} // namespace kv::net

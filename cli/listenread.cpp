// read --port listen://…: every DTU that dials in is a bus of its own, polled round by round
// with the address list while the others are polled too. One thread waits on every socket at
// once and drives each bus's line discipline by its events (bytes, deadlines, a lost line).

#include "cli/listenread.h"

#include "cli/console.h"
#include "cli/readlog.h"
#include "cli/summary.h"
#include "net/dialin.h"
#include "sensor/values.h"

#include <QStringList>

#include <algorithm>
#include <cctype>
#include <memory>
#include <optional>

namespace kv::cli {
namespace {

constexpr qint64 kNsPerMs = 1000000;

// The line's clock, on which the hub and every DTU's line keep their time.
qint64 monotonicNs() {
    return LineClock::now().time_since_epoch().count();
}
// While a DTU is away its missed rounds are written at most once a second, as after an unplug.
constexpr qint64 kAwayRoundMs = 1000;
// The longest wait between looks at Ctrl-C.
constexpr qint64 kStopSliceMs = 200;

// One DTU's bus as read polls it.
struct Bus {
    Bus(net::DialInBus& d, QString portName, const std::vector<int>& addresses)
        : dtu(d), port(std::move(portName)), discipline(d.line()) {
        for (int a : addresses)
            sensors.emplace_back().address = a;
        next = sensors.size();
    }
    net::DialInBus& dtu;
    QString port; // listen://HOST:PORT/<registration>
    line::Discipline discipline;
    std::vector<SensorSummary> sensors;
    Stats stats;
    int round = 0;        // rounds begun
    std::size_t next = 0; // the sensor asked next; sensors.size() once the round is over
    qint64 dueNs = 0;     // when the next round starts
    bool asking = false;  // a request is under way
    bool away = false;    // the DTU's connection ended and it has not dialled in again
    qint64 awaySinceNs = 0;
};

class Poller {
public:
    Poller(const CommonOptions& common, const ReadOptions& read, const ListenOptions& listen, QString where,
           ReadLog& log)
        : common_(common), read_(read), listen_(listen), where_(std::move(where)), log_(log),
          endless_(read.everyGiven && !read.countGiven), rounds_(read.countGiven ? read.count : 1) {}

    [[nodiscard]] bool start(const net::PortAddress& a);
    void run();
    void summary() const;
    // The exit code: a failed measurement's, or no reply when fewer DTUs than --dtus dialled in.
    [[nodiscard]] int code() const {
        return static_cast<int>(buses_.size()) < listen_.dtus ? static_cast<int>(EXIT_NO_REPLY) : code_;
    }

private:
    void joined(net::DialInBus& dtu, qint64 nowNs);
    void step(Bus& b, qint64 nowNs);
    bool startNext(Bus& b, qint64 nowNs);
    void finished(Bus& b, const Result& r, qint64 nowNs);
    void goneAway(Bus& b, qint64 nowNs);
    void writeRow(Bus& b, SensorSummary& sensor, Reading& row, int failCode);
    [[nodiscard]] bool done(const Bus& b) const;
    [[nodiscard]] bool over() const;
    // Past --dtus-wait with fewer DTUs than --dtus: says who came, once, and goes on without the rest.
    [[nodiscard]] bool waitedEnough() const;
    [[nodiscard]] qint64 wakeNs(qint64 nowNs) const;

    const CommonOptions& common_;
    const ReadOptions& read_;
    const ListenOptions& listen_;
    QString where_;
    ReadLog& log_;
    const bool endless_;
    const int rounds_;
    net::DialInHub hub_;
    const WallClock clock_ = WallClock::tiedAt(monotonicNs());
    std::vector<std::unique_ptr<Bus>> buses_;
    Stats total_;
    int measurements_ = 0;
    int failed_ = 0;
    int code_ = EXIT_OK;
    bool broken_ = false; // the output refused a row
    const qint64 startNs_ = monotonicNs();
    mutable bool gaveUpWaiting_ = false;
};

bool Poller::start(const net::PortAddress& a) {
    net::DialInHub::Options o;
    o.host = a.host;
    o.port = a.port;
    o.heartbeats = listen_.heartbeats;
    o.registration = Millis(listen_.registrationMs);
    o.answer = Millis(common_.timeoutMs);
    QString why;
    if (!hub_.listen(o, why)) {
        error(QStringLiteral("cannot listen on %1: %2").arg(where_, why));
        return false;
    }
    error(QStringLiteral("listening on %1 for DTUs (Ctrl-C ends the run)").arg(where_));
    return true;
}

void Poller::run() {
    while (!over()) {
        const qint64 now = monotonicNs();
        for (const auto& b : buses_)
            step(*b, now);
        if (over()) break;
        const net::DialInHub::Events events = hub_.wait(TimePoint(Nanos(wakeNs(monotonicNs()))));
        const qint64 after = monotonicNs();
        for (const QString& note : events.notes)
            error(note);
        for (net::DialInBus* dtu : events.joined)
            joined(*dtu, after);
    }
}

void Poller::joined(net::DialInBus& dtu, qint64 nowNs) {
    for (const auto& b : buses_) {
        if (&b->dtu != &dtu) continue;
        // Bytes of the connection before are gone; its held replies may still come.
        b->discipline.reopened();
        if (b->away) {
            const qint64 outageMs = (nowNs - b->awaySinceNs) / kNsPerMs;
            b->stats.lostMs += static_cast<double>(outageMs);
            b->away = false;
            // Concatenated, not formatted: a registration may hold '%'.
            error(b->port + QStringLiteral(" dialled in again after %1 s; measuring again")
                                .arg(static_cast<double>(outageMs) / 1000.0, 0, 'f', 1));
        }
        return;
    }
    const QString port = where_ + QLatin1Char('/') + dtu.name();
    buses_.push_back(std::make_unique<Bus>(dtu, port, read_.addresses));
    buses_.back()->discipline.setEcho(common_.echo);
    if (listen_.trace)
        buses_.back()->discipline.setObserver(
            [trace = listen_.trace, port](const line::LineEvent& e) { trace(e, port); });
    buses_.back()->dueNs = nowNs;
    for (SensorSummary& sensor : buses_.back()->sensors)
        sensor.lastHeardNs = nowNs;
    error(port + QStringLiteral(" dialled in"));
}

void Poller::step(Bus& b, qint64 nowNs) {
    for (;;) {
        if (b.asking) {
            line::Discipline& d = b.discipline;
            const std::optional<TimePoint> release = b.dtu.line().releaseAt();
            if (b.dtu.socket().hasBytes() || (release && nowNs >= release->time_since_epoch().count()))
                d.onBytes(b.dtu.line().take(), nowNs);
            else if (b.dtu.line().lost())
                d.onLost();
            else if (nowNs >= d.deadlineNs())
                d.onDeadline(nowNs);
            else
                return;
            if (d.finished()) {
                b.asking = false;
                finished(b, d.result(), nowNs);
            }
            continue;
        }
        if (!b.away && !b.dtu.connected()) goneAway(b, nowNs);
        // Between requests what comes is heard out as it comes, never kept for the next answer.
        if (!b.away && b.dtu.socket().hasBytes()) b.discipline.onBytes(b.dtu.line().take(), nowNs);
        if (broken_ || !startNext(b, nowNs)) return;
    }
}

bool Poller::startNext(Bus& b, qint64 nowNs) {
    if (b.next >= b.sensors.size()) {
        // A DTU dialled in under this bus's name: asking now tells whether this connection lives.
        if (done(b) || (nowNs < b.dueNs && !b.dtu.probeWanted())) return false;
        b.next = 0;
        ++b.round;
        const qint64 periodMs = b.away && read_.everyMs <= 0 ? kAwayRoundMs : read_.everyMs;
        b.dueNs = nowNs + periodMs * kNsPerMs;
    }
    SensorSummary& sensor = b.sensors[b.next];
    if (b.away) {
        ++b.next;
        Reading row;
        row.status = QStringLiteral("port lost");
        writeRow(b, sensor, row, EXIT_NO_REPLY);
        return true;
    }
    const Frame frame = sensor::measurementRequest(static_cast<std::uint8_t>(sensor.address));
    line::Request request;
    request.bytes = toBytes(frame);
    request.expect = sensor::expectRead(frame);
    request.timeoutMs = common_.timeoutMs;
    request.retries = common_.retries;
    b.discipline.begin(request);
    b.asking = true;
    return true;
}

void Poller::finished(Bus& b, const Result& r, qint64 nowNs) {
    SensorSummary& sensor = b.sensors[b.next++];
    countMeasurement(b.sensors, sensor, r);
    b.stats.add(r.tally);
    total_.add(r.tally);
    if (r.ok() && r.latencyMs) {
        b.stats.latenciesMs.push_back(*r.latencyMs);
        total_.latenciesMs.push_back(*r.latencyMs);
    }
    Reading row;
    fillMeasurement(row, r);
    if (r.ok() && !row.ok) {
        ++total_.implausible;
        ++sensor.stats.implausible;
    }
    writeRow(b, sensor, row, !r.ok() ? exitCodeFor(r.outcome) : row.ok ? EXIT_OK : EXIT_DEVICE);
    if (r.outcome == Outcome::Lost) goneAway(b, nowNs);
}

void Poller::goneAway(Bus& b, qint64 nowNs) {
    if (b.away) return;
    b.away = true;
    b.awaySinceNs = nowNs;
    ++b.stats.outages;
    error(b.port +
          QStringLiteral(" went away (%1); waiting for it to dial in again").arg(b.dtu.line().errorString()));
}

void Poller::writeRow(Bus& b, SensorSummary& sensor, Reading& row, int failCode) {
    ++measurements_;
    ++sensor.measurements;
    row.port = b.port;
    row.address = sensor.address;
    stampNow(row);
    if (failCode != EXIT_OK) {
        ++failed_;
        ++sensor.failed;
        // A timeout or a lost DTU outranks a bad reply: nothing heard is the more urgent news.
        if (code_ == EXIT_OK || failCode == EXIT_NO_REPLY) code_ = failCode;
    }
    if (!log_.write(row)) {
        broken_ = true;
        code_ = EXIT_USAGE;
    }
}

bool Poller::done(const Bus& b) const {
    return !endless_ && b.round >= rounds_ && b.next >= b.sensors.size() && !b.asking;
}

bool Poller::waitedEnough() const {
    if (gaveUpWaiting_) return true;
    if (monotonicNs() - startNs_ < static_cast<qint64>(listen_.dtusWaitMs) * kNsPerMs) return false;
    gaveUpWaiting_ = true;
    QStringList came;
    for (const auto& b : buses_)
        came << b->port + QStringLiteral(" (") + b->dtu.peer() + QLatin1Char(')');
    // Concatenated, not formatted: a registration may hold '%'.
    error(QStringLiteral("%1 of %2 DTUs dialled in within %3 s")
              .arg(buses_.size())
              .arg(listen_.dtus)
              .arg(QString::number(listen_.dtusWaitMs / 1000.0, 'f', 1)) +
          (came.isEmpty() ? QString() : QStringLiteral(": ") + came.join(QStringLiteral(", "))) +
          (came.isEmpty() ? QString() : QStringLiteral("; going on with them")));
    return true;
}

bool Poller::over() const {
    if (broken_ || stopRequested()) return true;
    if (endless_) return false;
    if (static_cast<int>(buses_.size()) < listen_.dtus && !waitedEnough()) return false;
    return std::all_of(buses_.begin(), buses_.end(), [this](const auto& b) { return done(*b); });
}

qint64 Poller::wakeNs(qint64 nowNs) const {
    qint64 wake = nowNs + kStopSliceMs * kNsPerMs;
    if (!gaveUpWaiting_ && !endless_ && static_cast<int>(buses_.size()) < listen_.dtus)
        wake = std::min(wake, startNs_ + static_cast<qint64>(listen_.dtusWaitMs) * kNsPerMs);
    for (const auto& b : buses_) {
        if (b->asking) {
            wake = std::min(wake, b->discipline.deadlineNs());
            if (const std::optional<TimePoint> release = b->dtu.line().releaseAt())
                wake = std::min(wake, static_cast<qint64>(release->time_since_epoch().count()));
        } else if (b->next < b->sensors.size())
            wake = nowNs;
        else if (!done(*b))
            wake = std::min(wake, b->dtu.probeWanted() ? nowNs : b->dueNs);
    }
    return wake;
}

void Poller::summary() const {
    std::FILE* to = log_.summaryTo();
    Stats all = total_;
    for (const auto& b : buses_) {
        all.outages += b->stats.outages;
        all.lostMs += b->stats.lostMs;
        if (b->away) all.lostMs += static_cast<double>(monotonicNs() - b->awaySinceNs) / kNsPerMs;
    }
    printSummary(all, measurements_, failed_, to);
    for (const auto& b : buses_) {
        QString text = b->port + QStringLiteral(": dialled in %1 time(s), %2 heartbeat(s)")
                                     .arg(b->dtu.connections())
                                     .arg(b->dtu.heartbeats());
        if (b->stats.outages > 0) text += QStringLiteral(", away %1 time(s)").arg(b->stats.outages);
        std::fputs((text + QLatin1Char('\n')).toUtf8().constData(), to);
        printSensorSummaries(b->sensors, clock_, to);
    }
    if (buses_.empty()) std::fputs("no DTU dialled in\n", to);
    std::fflush(to);
}

} // namespace

bool textBytes(const std::string& text, QByteArray& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out.append(text[i]);
            continue;
        }
        if (++i >= text.size()) return false;
        switch (text[i]) {
        case '\\':
            out.append('\\');
            break;
        case 'r':
            out.append('\r');
            break;
        case 'n':
            out.append('\n');
            break;
        case 'x': {
            bool ok = false;
            if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
                !std::isxdigit(static_cast<unsigned char>(text[i + 2])))
                return false;
            const int v = QByteArray::fromStdString(text.substr(i + 1, 2)).toInt(&ok, 16);
            out.append(static_cast<char>(v));
            i += 2;
            break;
        }
        default:
            return false;
        }
    }
    return !out.isEmpty();
}

int runListenRead(const CommonOptions& common, const ReadOptions& read, const ListenOptions& listen,
                  const net::PortAddress& where) {
    ReadLog log;
    if (!log.open(read, true)) return EXIT_USAGE;
    Poller poller(common, read, listen, net::addressText(where), log);
    if (!poller.start(where)) return EXIT_PORT;
    poller.run();
    poller.summary();
    return poller.code();
}

} // namespace kv::cli

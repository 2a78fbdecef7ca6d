// read --port listen://…: every DTU that dials in is a bus of its own, polled round by round
// with the address list while the others are polled too, each a bus of the engine every read
// stands on, all on one event loop with the server they dial in to.

#include "cli/listenread.h"

#include "cli/console.h"
#include "cli/readlog.h"
#include "cli/readrows.h"
#include "cli/summary.h"
#include "net/dialin.h"
#include "poll/engine.h"

#include <QStringList>

#include <algorithm>
#include <cctype>
#include <memory>
#include <optional>

namespace kv::cli {
namespace {

// One DTU's bus as read polls it.
struct Bus {
    Bus(net::DialInBus& d, QString portName) : dtu(d), port(std::move(portName)), discipline(d.line()) {}
    net::DialInBus& dtu;
    QString port; // listen://HOST:PORT/<registration>
    line::Discipline discipline;
    std::unique_ptr<poll::BusPoller> poller;
};

class ListenRun {
public:
    ListenRun(const CommonOptions& common, const ReadOptions& read, const ListenOptions& listen,
              QString where, ReadLog& log)
        : common_(common), read_(read), listen_(listen), where_(std::move(where)), log_(log),
          rows_(log, clock_, read), endless_(read.everyGiven && !read.countGiven) {}

    [[nodiscard]] bool start(const net::PortAddress& a);
    void run();
    void summary();
    // The exit code: a failed measurement's, or no reply when fewer DTUs than --dtus dialled in.
    [[nodiscard]] int code() const {
        return static_cast<int>(buses_.size()) < listen_.dtus ? static_cast<int>(EXIT_NO_REPLY)
                                                              : rows_.code();
    }

private:
    void joined(net::DialInBus& dtu);
    // More DTUs are awaited (or the run has no end) even when every bus's rounds are over.
    [[nodiscard]] bool waitMore();
    // Past --dtus-wait with fewer DTUs than --dtus: says who came, once, and goes on without the rest.
    [[nodiscard]] bool waitedEnough();

    const CommonOptions& common_;
    const ReadOptions& read_;
    const ListenOptions& listen_;
    QString where_;
    ReadLog& log_;
    const WallClock clock_ = WallClock::tiedAt(LineClock::now().time_since_epoch().count());
    ReadRows rows_;
    const bool endless_;
    net::DialInHub hub_;
    poll::Engine engine_;
    std::vector<std::unique_ptr<Bus>> buses_;
    bool broken_ = false; // the output refused a row
    const TimePoint start_ = LineClock::now();
    bool gaveUpWaiting_ = false;
};

bool ListenRun::start(const net::PortAddress& a) {
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

void ListenRun::run() {
    net::DialInHub::Handlers handlers;
    handlers.joined = [this](net::DialInBus& dtu) { joined(dtu); };
    // A DTU dialled in under a bus's name: asking that bus now tells whether its connection lives.
    handlers.probe = [this](net::DialInBus& dtu) {
        for (const auto& b : buses_)
            if (&b->dtu == &dtu) engine_.poke(*b->poller);
    };
    handlers.note = [](const QString& note) { error(note); };
    hub_.setHandlers(handlers);
    engine_.run([this] { return broken_ || stopRequested(); }, [this] { return waitMore(); }, signalWakeFd());
    hub_.setHandlers({});
}

void ListenRun::joined(net::DialInBus& dtu) {
    const TimePoint now = dtu.line().now();
    for (const auto& b : buses_) {
        if (&b->dtu != &dtu) continue;
        if (b->poller->away()) {
            const Nanos outage = b->poller->awayFor(now);
            // Concatenated, not formatted: a registration may hold '%'.
            error(b->port + QStringLiteral(" dialled in again after %1 s; measuring again")
                                .arg(static_cast<double>(wholeMs(outage)) / 1000.0, 0, 'f', 1));
        }
        // Bytes of the connection before are gone; its held replies may still come.
        b->poller->back(now);
        engine_.poke(*b->poller);
        return;
    }
    auto bus = std::make_unique<Bus>(dtu, where_ + QLatin1Char('/') + dtu.name());
    Bus& b = *bus;
    b.discipline.setEcho(common_.echo);
    if (listen_.trace)
        b.discipline.setObserver(
            [trace = listen_.trace, port = b.port](const line::LineEvent& e) { trace(e, port); });
    poll::BusPoller::Hooks hooks;
    hooks.measured = [this, &b](const poll::Measured& m) {
        if (!rows_.write(b.port, m)) broken_ = true;
        return !broken_;
    };
    hooks.lost = [&b](const line::Exchange*) {
        error(b.port + QStringLiteral(" went away (%1); waiting for it to dial in again")
                           .arg(b.dtu.line().errorString()));
        return true;
    };
    hooks.awayWhenIdleLost = true;
    hooks.askNow = [&b] { return b.dtu.probeWanted(); };
    b.poller = std::make_unique<poll::BusPoller>(
        b.discipline, b.dtu.line(), scheduleFor(read_, read_.addresses, common_.timeoutMs, common_.retries),
        hooks);
    buses_.push_back(std::move(bus));
    error(b.port + QStringLiteral(" dialled in"));
    engine_.add(*b.poller, b.dtu.line());
}

bool ListenRun::waitMore() {
    if (endless_) return true;
    return static_cast<int>(buses_.size()) < listen_.dtus && !waitedEnough();
}

bool ListenRun::waitedEnough() {
    if (gaveUpWaiting_) return true;
    if (LineClock::now() - start_ < Millis(listen_.dtusWaitMs)) return false;
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

void ListenRun::summary() {
    std::FILE* to = log_.summaryTo();
    const TimePoint now = LineClock::now();
    Stats all;
    for (const auto& b : buses_) {
        b->poller->end(now);
        all += b->poller->counts();
    }
    printSummary(all, rows_.measurements(), rows_.failed(), to);
    for (const auto& b : buses_) {
        QString text = b->port + QStringLiteral(": dialled in %1 time(s), %2 heartbeat(s)")
                                     .arg(b->dtu.connections())
                                     .arg(b->dtu.heartbeats());
        if (b->poller->counts().outages > 0)
            text += QStringLiteral(", away %1 time(s)").arg(b->poller->counts().outages);
        std::fputs((text + QLatin1Char('\n')).toUtf8().constData(), to);
        printSensorSummaries(b->poller->sensors(), clock_, to);
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
    ListenRun run(common, read, listen, net::addressText(where), log);
    if (!run.start(where)) return EXIT_PORT;
    run.run();
    run.summary();
    return run.code();
}

} // namespace kv::cli

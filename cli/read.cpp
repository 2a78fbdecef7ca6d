// read: moisture and temperature, once or every --every ms, from one sensor or from every
// sensor of a list in turn, each row written and flushed as it happens, riding out an
// unplugged port, with a summary at the end or at Ctrl-C. The bus is polled by the engine
// every read stands on; what is written of it is in ReadRows, which read --port listen://
// shares.

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/failure.h"
#include "cli/readlog.h"
#include "cli/readrows.h"
#include "line/clock.h"
#include "net/redial.h"
#include "poll/engine.h"

namespace kv::cli {

ReadRows::ReadRows(ReadLog& log, const WallClock& clock, const ReadOptions& o)
    : log_(log), clock_(clock), options_(o) {}

void ReadRows::judgeSoil(Reading& row) {
    const soil::Sample s = soilSample(row, options_.everyMs);
    const auto key = std::make_pair(row.port, row.address);
    auto tracker = trackers_.find(key);
    if (tracker == trackers_.end())
        tracker = trackers_.emplace(key, soil::QualityTracker(options_.flags)).first;
    row.soil = soilColumns(row, s, tracker->second.feed(s), options_.soil);
}

bool ReadRows::write(const QString& port, const poll::Measured& m) {
    Reading row;
    row.port = port;
    row.address = m.sensor.address;
    stampAt(row, clock_, line::nsAt(m.at));
    int failCode = EXIT_OK;
    if (!m.result) {
        row.status = QStringLiteral("port lost");
        failCode = EXIT_NO_REPLY;
    } else {
        fillMeasurement(row, *m.result);
        failCode = !m.result->ok() ? exitCodeFor(m.result->outcome) : row.ok ? EXIT_OK : EXIT_DEVICE;
    }
    if (options_.withSoil) judgeSoil(row);
    ++measurements_;
    if (failCode != EXIT_OK) {
        ++failed_;
        // A timeout or a lost port outranks a bad reply: nothing heard is the more urgent news.
        if (code_ == EXIT_OK || failCode == EXIT_NO_REPLY) code_ = failCode;
    }
    if (log_.write(row)) return true;
    code_ = EXIT_USAGE;
    return false;
}

poll::Schedule scheduleFor(const ReadOptions& o, std::vector<int> addresses, int timeoutMs, int retries) {
    poll::Schedule s;
    s.addresses = std::move(addresses);
    s.every = Millis(o.everyMs);
    s.rounds = o.everyGiven && !o.countGiven ? 0 : o.countGiven ? o.count : 1;
    s.timeout = Millis(timeoutMs);
    s.retries = retries;
    return s;
}

int runRead(Session& session, const ReadOptions& options) {
    // A row's status stays the failure's own word; the summary gives the hint, once.
    session.setFormatHint(false);
    ReadLog log;
    if (!log.open(options)) return EXIT_USAGE;
    ReadRows rows(log, session.wallClock(), options);
    // Only a run that measures on a clock rides out an unplug; a one-off reports it.
    const bool ridesOut = options.reconnect && options.everyGiven;

    poll::BusPoller::Hooks hooks;
    hooks.measured = [&](const poll::Measured& m) { return rows.write(session.device(), m); };
    hooks.lost = [&](const line::Exchange* r) {
        if (r) error(describe(*r));
        if (!ridesOut) return false;
        error(QStringLiteral("reopening %1 about once a second (Ctrl-C ends the run)").arg(session.device()));
        return true;
    };
    hooks.reopen = [&](Nanos away) {
        if (!session.reopen()) return false;
        error(QStringLiteral("the port is back after %1 s; measuring again")
                  .arg(static_cast<double>(wholeMs(away)) / 1000.0, 0, 'f', 1));
        return true;
    };
    poll::BusPoller bus(
        session.discipline(), session.link(),
        scheduleFor(options,
                    options.addresses.empty() ? std::vector<int>{session.address()} : options.addresses,
                    session.timeoutMs(), session.retries()),
        hooks);
    poll::Engine engine;
    engine.add(bus, session.link());
    engine.run(stopRequested, {}, signalWakeFd());
    bus.end(session.link().now());

    Stats& stats = session.stats();
    stats += bus.counts();
    if (const auto* redial = dynamic_cast<const net::RedialLine*>(&session.link())) {
        stats.reconnectsEnded = redial->reconnects().ended;
        stats.reconnectsUnanswered = redial->reconnects().unanswered;
    }
    log.close();
    printSummary(stats, rows.measurements(), rows.failed(), log.summaryTo());
    if (bus.sensors().size() > 1)
        printSensorSummaries(bus.sensors(), session.wallClock(), log.summaryTo());
    else
        printSilence(bus.sensors().front(), session.wallClock(), log.summaryTo());
    // Only bytes that were no frame: likelier a rate or format that differs than a silent sensor.
    if (onlyGarbageHeard(stats)) {
        std::fputs(QStringLiteral("hint: %1\n").arg(formatHint(session)).toLocal8Bit().constData(),
                   log.summaryTo());
        std::fflush(log.summaryTo());
    }
    return rows.code();
}

} // namespace kv::cli

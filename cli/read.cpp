// read: moisture and temperature, once or every --every ms, from one sensor or from every
// sensor of a list in turn, each line written and flushed as it happens, riding out an
// unplugged port, with a summary at the end or at Ctrl-C.

#include "cli/commands.h"
#include "cli/readlog.h"
#include "sensor/values.h"

#include <QElapsedTimer>
#include <QThread>

#include <functional>

namespace kv::cli {
namespace {

// Between attempts to reopen a port that went away.
constexpr qint64 kReopenEveryMs = 1000;

// Waits until the deadline in short slices so Ctrl-C is noticed; `tick` runs in each.
void waitUntil(const QElapsedTimer& clock, qint64 deadlineMs, const std::function<void()>& tick) {
    while (!stopRequested()) {
        tick();
        const qint64 left = deadlineMs - clock.elapsed();
        if (left <= 0) return;
        QThread::msleep(static_cast<unsigned long>(std::min<qint64>(left, 50)));
    }
}

} // namespace

int runRead(Session& s, const ReadOptions& o) {
    ReadLog log;
    if (!log.open(o)) return EXIT_USAGE;

    const bool endless = o.everyGiven && !o.countGiven;
    const int rounds = o.countGiven ? o.count : 1;
    // Only a run that measures on a clock rides out an unplug; a one-off reports it.
    const bool reconnect = o.reconnect && o.everyGiven;
    std::vector<SensorSummary> sensors;
    for (int a : o.addresses.empty() ? std::vector<int>{s.address()} : o.addresses)
        sensors.push_back(SensorSummary{a, {}, 0, 0});
    Stats& stats = s.stats();
    int measurements = 0;
    int failed = 0;
    int code = EXIT_OK;
    bool over = false;
    bool portLost = false;
    qint64 lostAt = 0;
    qint64 nextReopen = 0;
    QElapsedTimer clock;
    clock.start();
    auto tryReopen = [&] {
        if (!portLost || clock.elapsed() < nextReopen) return;
        nextReopen = clock.elapsed() + kReopenEveryMs;
        if (!s.reopen()) return;
        portLost = false;
        const qint64 outage = clock.elapsed() - lostAt;
        stats.lostMs += static_cast<double>(outage);
        error(QStringLiteral("the port is back after %1 s; measuring again").arg(outage / 1000.0, 0, 'f', 1));
    };
    auto writeRow = [&](const Reading& row) {
        if (log.write(row)) return true;
        code = EXIT_USAGE;
        return false;
    };
    auto fail = [&](SensorSummary& sensor, int exitCode) {
        ++failed;
        ++sensor.failed;
        // A timeout or a lost port outranks a bad reply: nothing heard is the more urgent news.
        if (code == EXIT_OK || exitCode == EXIT_NO_REPLY) code = exitCode;
    };
    qint64 due = 0;
    for (int round = 0; !over && (endless || round < rounds); ++round) {
        if (round > 0) waitUntil(clock, due, tryReopen);
        if (stopRequested()) break;
        // While the port is away, a round every second at most (and at least every --every).
        due = clock.elapsed() + (portLost && o.everyMs <= 0 ? kReopenEveryMs : o.everyMs);
        for (SensorSummary& sensor : sensors) {
            if (stopRequested()) {
                over = true;
                break;
            }
            Reading row;
            row.port = s.device();
            row.address = sensor.address;
            if (portLost) {
                ++measurements;
                ++sensor.measurements;
                fail(sensor, EXIT_NO_REPLY);
                stampNow(row);
                row.status = QStringLiteral("port lost");
                if (!writeRow(row)) {
                    over = true;
                    break;
                }
                continue;
            }
            const auto frame = sensor::measurementRequest(static_cast<std::uint8_t>(sensor.address));
            const Result r = s.request(frame, sensor::expectRead(frame), s.retries());
            countMeasurement(sensors, sensor, r);
            if (r.outcome == Outcome::Stopped) {
                over = true;
                break;
            }
            ++measurements;
            ++sensor.measurements;
            stampNow(row);
            fillMeasurement(row, r);
            if (!r.ok()) fail(sensor, exitCodeFor(r.outcome));
            if (!writeRow(row)) {
                over = true;
                break;
            }
            if (r.outcome == Outcome::Lost) {
                error(r.detail);
                if (!reconnect) {
                    over = true;
                    break;
                }
                // The rest of this round is written as lost below, the next rounds until it is back.
                error(
                    QStringLiteral("reopening %1 about once a second (Ctrl-C ends the run)").arg(s.device()));
                portLost = true;
                ++stats.outages;
                lostAt = clock.elapsed();
                nextReopen = lostAt + kReopenEveryMs;
            }
        }
    }
    if (portLost) stats.lostMs += static_cast<double>(clock.elapsed() - lostAt);
    printSummary(stats, measurements, failed, log.summaryTo());
    if (sensors.size() > 1) printSensorSummaries(sensors, log.summaryTo());
    return code;
}

} // namespace kv::cli

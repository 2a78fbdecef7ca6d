// read: moisture and temperature, once or every --every ms, from one sensor or from every
// sensor of a list in turn, each row written and flushed as it happens, riding out an
// unplugged port, with a summary at the end or at Ctrl-C.

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/readlog.h"
#include "cli/reconnect.h"
#include "cli/summary.h"
#include "line/clock.h"
#include "net/redial.h"

#include <algorithm>

namespace kv::cli {
namespace {

class ReadRun {
public:
    ReadRun(Session& session, const ReadOptions& options, ReadLog& log);
    [[nodiscard]] int run();

private:
    enum class Next { GoOn, Over };

    [[nodiscard]] Next round();
    [[nodiscard]] Next measure(SensorSummary& sensor);
    // A row for a sensor while the port is away.
    [[nodiscard]] Next writeAway(SensorSummary& sensor);
    void fail(SensorSummary& sensor, int exitCode);
    [[nodiscard]] Next write(const Reading& row);
    // Waits until the deadline in short slices so Ctrl-C is noticed, trying to reopen a lost port.
    void waitUntil(qint64 deadlineMs);
    // The run keeps its times on the line's clock.
    [[nodiscard]] qint64 nowMs() const { return s_.nowNs() / 1000000; }

    Session& s_;
    const ReadOptions& o_;
    ReadLog& log_;
    Reconnect reconnect_;
    // Only a run that measures on a clock rides out an unplug; a one-off reports it.
    bool ridesOut_;
    std::vector<SensorSummary> sensors_;
    int measurements_ = 0;
    int failed_ = 0;
    int code_ = EXIT_OK;
};

ReadRun::ReadRun(Session& session, const ReadOptions& options, ReadLog& log)
    : s_(session), o_(options), log_(log), reconnect_(session),
      ridesOut_(options.reconnect && options.everyGiven) {
    for (int a : o_.addresses.empty() ? std::vector<int>{s_.address()} : o_.addresses) {
        sensors_.emplace_back().address = a;
        sensors_.back().lastHeardNs = s_.nowNs();
    }
}

int ReadRun::run() {
    const bool endless = o_.everyGiven && !o_.countGiven;
    const int rounds = o_.countGiven ? o_.count : 1;
    qint64 due = 0;
    for (int n = 0; endless || n < rounds; ++n) {
        if (n > 0) waitUntil(due);
        if (stopRequested()) break;
        // While the port is away, a round every second at most (and at least every --every).
        due = nowMs() + (reconnect_.away() && o_.everyMs <= 0 ? Reconnect::EVERY_MS : o_.everyMs);
        if (round() == Next::Over) break;
    }
    reconnect_.end();
    if (const auto* redial = dynamic_cast<const net::RedialLine*>(&s_.link())) {
        s_.stats().reconnectsEnded = redial->reconnects().ended;
        s_.stats().reconnectsUnanswered = redial->reconnects().unanswered;
    }
    log_.close();
    for (SensorSummary& sensor : sensors_)
        sensor.end(s_.nowNs());
    printSummary(s_.stats(), measurements_, failed_, log_.summaryTo());
    if (sensors_.size() > 1)
        printSensorSummaries(sensors_, s_.wallClock(), log_.summaryTo());
    else
        printSilence(sensors_.front(), s_.wallClock(), log_.summaryTo());
    // Only bytes that were no frame: likelier a rate or format that differs than a silent sensor.
    if (onlyGarbageHeard(s_.stats())) {
        std::fputs(QStringLiteral("hint: %1\n").arg(formatHint(s_)).toLocal8Bit().constData(),
                   log_.summaryTo());
        std::fflush(log_.summaryTo());
    }
    return code_;
}

ReadRun::Next ReadRun::round() {
    for (SensorSummary& sensor : sensors_) {
        if (stopRequested()) return Next::Over;
        const Next next = reconnect_.away() ? writeAway(sensor) : measure(sensor);
        if (next == Next::Over) return next;
    }
    return Next::GoOn;
}

ReadRun::Next ReadRun::measure(SensorSummary& sensor) {
    const Result r = s_.measure(static_cast<std::uint8_t>(sensor.address));
    countMeasurement(sensors_, sensor, r);
    if (r.outcome == Outcome::Stopped) return Next::Over;
    ++measurements_;
    ++sensor.measurements;
    Reading row;
    row.port = s_.device();
    row.address = sensor.address;
    // When its reply's last byte came; without one, when the request gave up.
    stampAt(row, s_.wallClock(), r.ok() || r.outcome == Outcome::Exception ? line::nsAt(r.replyAt) : s_.nowNs());
    fillMeasurement(row, r);
    if (!r.ok()) {
        fail(sensor, exitCodeFor(r.outcome));
    } else if (!row.ok) {
        ++s_.stats().implausible;
        ++sensor.stats.implausible;
        fail(sensor, EXIT_DEVICE);
    }
    if (write(row) == Next::Over) return Next::Over;
    if (r.outcome != Outcome::Lost) return Next::GoOn;
    error(r.detail);
    if (!ridesOut_) return Next::Over;
    // The rest of this round is written as lost, the next rounds until it is back.
    reconnect_.lost();
    return Next::GoOn;
}

ReadRun::Next ReadRun::writeAway(SensorSummary& sensor) {
    ++measurements_;
    ++sensor.measurements;
    sensor.notHeard();
    fail(sensor, EXIT_NO_REPLY);
    Reading row;
    row.port = s_.device();
    row.address = sensor.address;
    stampNow(row);
    row.status = QStringLiteral("port lost");
    return write(row);
}

void ReadRun::fail(SensorSummary& sensor, int exitCode) {
    ++failed_;
    ++sensor.failed;
    // A timeout or a lost port outranks a bad reply: nothing heard is the more urgent news.
    if (code_ == EXIT_OK || exitCode == EXIT_NO_REPLY) code_ = exitCode;
}

ReadRun::Next ReadRun::write(const Reading& row) {
    if (log_.write(row)) return Next::GoOn;
    code_ = EXIT_USAGE;
    return Next::Over;
}

void ReadRun::waitUntil(qint64 deadlineMs) {
    while (!stopRequested()) {
        reconnect_.tick();
        const qint64 left = deadlineMs - nowMs();
        if (left <= 0) return;
        const auto slice = static_cast<int>(std::min<qint64>(left, 50));
        // The line is heard out between rounds: a repeat or a late reply is counted as it comes,
        // never taken for the next round's answer.
        // A line away only waits, on its own clock.
        if (reconnect_.away() || s_.listen(slice).outcome == Outcome::Lost)
            s_.link().waitReadable(s_.nowNs() + slice * 1000000LL);
    }
}

} // namespace

int runRead(Session& session, const ReadOptions& options) {
    // A row's status stays the failure's own word; the summary gives the hint, once.
    session.setFormatHint(false);
    ReadLog log;
    if (!log.open(options)) return EXIT_USAGE;
    return ReadRun(session, options, log).run();
}

} // namespace kv::cli

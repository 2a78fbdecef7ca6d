// read: moisture and temperature, once or every --every ms, each line written and
// flushed as it happens, with a summary at the end or at Ctrl-C.

#include "cli/commands.h"
#include "cli/report.h"
#include "sensor/values.h"

#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <cerrno>
#include <cstring>
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
    std::FILE* out = stdout;
    std::FILE* file = nullptr;
    bool header = true;
    if (!o.csv.empty() && o.csv != "-") {
        // Appended, so an earlier log is never lost; the header goes only into a new file.
        file = std::fopen(o.csv.c_str(), "a");
        if (!file) {
            error(QStringLiteral("cannot write %1: %2")
                      .arg(QString::fromStdString(o.csv), QString::fromLocal8Bit(std::strerror(errno))));
            return EXIT_USAGE;
        }
        header = std::ftell(file) == 0;
        out = file;
    }
    const auto format =
        !o.csv.empty() ? ReadingWriter::Csv : (o.json ? ReadingWriter::Json : ReadingWriter::Table);
    ReadingWriter writer(format, out, format == ReadingWriter::Json ? false : header);
    // The summary keeps out of a data stream on stdout.
    std::FILE* summaryTo = (out == stdout && format != ReadingWriter::Table) ? stderr : stdout;

    const bool endless = o.everyGiven && !o.countGiven;
    const int count = o.countGiven ? o.count : 1;
    // Only a run that measures on a clock rides out an unplug; a one-off reports it.
    const bool reconnect = o.reconnect && o.everyGiven;
    const auto frame = sensor::measurementRequest(s.address());
    const auto expect = sensor::expectRead(frame);
    Stats& stats = s.stats();
    int measurements = 0;
    int failed = 0;
    int code = EXIT_OK;
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
        if (writer.write(row)) return true;
        error(
            QStringLiteral("cannot write the reading: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
        code = EXIT_USAGE;
        return false;
    };
    qint64 due = 0;
    for (int i = 0; endless || i < count; ++i) {
        if (i > 0) waitUntil(clock, due, tryReopen);
        if (stopRequested()) break;
        const qint64 started = clock.elapsed();
        // While the port is away, a measurement every second at most (and at least every --every).
        due = started + (portLost && o.everyMs <= 0 ? kReopenEveryMs : o.everyMs);
        Reading row;
        if (portLost) {
            ++measurements;
            ++failed;
            row.time = timestampUtc();
            row.status = QStringLiteral("port lost");
            if (!writeRow(row)) break;
            continue;
        }
        const Result r = s.request(frame, expect, s.retries());
        if (r.kind == Result::Stopped) break;
        ++measurements;
        row.time = timestampUtc();
        if (r.ok()) {
            row.ok = true;
            row.latencyMs = r.latencyMs;
            row.moisture = sensor::hundredthsText(r.reply.registers[0]);
            row.temperature = sensor::hundredthsText(sensor::temperatureHundredths(r.reply.registers[1]));
            row.status = QStringLiteral("ok");
        } else {
            ++failed;
            code = exitCodeFor(r.kind);
            // A bad reply has a latency; a timeout and a lost port have none.
            if (r.kind == Result::Bad || r.kind == Result::Exception) row.latencyMs = r.latencyMs;
            row.status = r.kind == Result::Timeout ? QStringLiteral("timeout")
                         : r.kind == Result::Lost  ? QStringLiteral("port lost")
                                                   : r.detail;
        }
        if (!writeRow(row)) break;
        if (r.kind == Result::Lost) {
            error(r.detail);
            if (!reconnect) break;
            error(QStringLiteral("reopening %1 about once a second (Ctrl-C ends the run)").arg(s.device()));
            portLost = true;
            ++stats.outages;
            lostAt = clock.elapsed();
            nextReopen = lostAt + kReopenEveryMs;
        }
    }
    if (portLost) stats.lostMs += static_cast<double>(clock.elapsed() - lostAt);
    if (file) std::fclose(file);
    printSummary(stats, measurements, failed, summaryTo);
    return code;
}

} // namespace kv::cli

// read: moisture and temperature, once or every --every ms, from one sensor or from every
// sensor of a list in turn, each line written and flushed as it happens, riding out an
// unplugged port, with a summary at the end or at Ctrl-C.

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

// Opens a CSV log for appending; its header line, or empty when the file is new. Null
// with the reason in `why` when it cannot be written.
std::FILE* openCsv(const std::string& path, QString& firstLine, QString& why) {
    std::FILE* f = std::fopen(path.c_str(), "a+");
    if (!f) {
        why = QString::fromLocal8Bit(std::strerror(errno));
        return nullptr;
    }
    char buf[256] = {};
    std::rewind(f);
    if (std::fgets(buf, sizeof buf, f)) firstLine = QString::fromUtf8(buf).trimmed();
    return f;
}

} // namespace

int runRead(Session& s, const ReadOptions& o) {
    std::FILE* out = stdout;
    std::FILE* file = nullptr;
    bool header = true;
    if (!o.csv.empty() && o.csv != "-") {
        // Appended, so an earlier log is never lost; the header goes only into a new file.
        QString firstLine;
        QString why;
        file = openCsv(o.csv, firstLine, why);
        if (!file) {
            error(QStringLiteral("cannot write %1: %2").arg(QString::fromStdString(o.csv), why));
            return EXIT_USAGE;
        }
        if (!firstLine.isEmpty() && firstLine != csvHeader()) {
            // Rows of other columns under an old header would mislead every reader of the file.
            std::fclose(file);
            error(QStringLiteral("%1 has other columns (%2); log into a new file")
                      .arg(QString::fromStdString(o.csv), firstLine));
            return EXIT_USAGE;
        }
        header = firstLine.isEmpty();
        out = file;
    }
    const auto format = !o.csv.empty() ? ReadingWriter::Csv
                        : o.json       ? ReadingWriter::Json
                        : o.influx     ? ReadingWriter::Influx
                                       : ReadingWriter::Table;
    ReadingWriter writer(format, out,
                         format == ReadingWriter::Csv || format == ReadingWriter::Table ? header : false);
    // The summary keeps out of a data stream on stdout.
    std::FILE* summaryTo = (out == stdout && format != ReadingWriter::Table) ? stderr : stdout;

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
        if (writer.write(row)) return true;
        error(
            QStringLiteral("cannot write the reading: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
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
            // The request's own counts are its sensor's; a late reply is its sender's.
            sensor.stats.add(r.tally, false);
            for (const auto& [from, n] : r.tally.late)
                for (SensorSummary& other : sensors)
                    if (other.address == from) other.stats.late += n;
            if (r.ok() && r.latencyMs) sensor.stats.latenciesMs.push_back(*r.latencyMs);
            if (r.outcome == Outcome::Stopped) {
                over = true;
                break;
            }
            ++measurements;
            ++sensor.measurements;
            stampNow(row);
            // A reply has its latency (an exception too, when it is surely this request's).
            row.latencyMs = r.latencyMs;
            if (r.ok()) {
                row.ok = true;
                row.moisture = moistureText(r.reply);
                row.temperature = temperatureText(r.reply);
                row.status = QStringLiteral("ok");
            } else {
                fail(sensor, exitCodeFor(r.outcome));
                row.status = r.outcome == Outcome::Timeout ? QStringLiteral("timeout")
                             : r.outcome == Outcome::Lost  ? QStringLiteral("port lost")
                                                           : r.detail;
            }
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
    if (file) std::fclose(file);
    printSummary(stats, measurements, failed, summaryTo);
    if (sensors.size() > 1) printSensorSummaries(sensors, summaryTo);
    return code;
}

} // namespace kv::cli

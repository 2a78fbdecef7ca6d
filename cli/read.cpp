// read: moisture and temperature, once or every --every ms, from one sensor or from every
// sensor of a list in turn, each line written and flushed as it happens, with a summary
// at the end or at Ctrl-C.

#include "cli/commands.h"
#include "cli/report.h"
#include "sensor/values.h"

#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <cerrno>
#include <cstring>

namespace kv::cli {
namespace {

// Waits until the deadline in short slices so Ctrl-C is noticed.
void waitUntil(const QElapsedTimer& clock, qint64 deadlineMs) {
    while (!stopRequested()) {
        const qint64 left = deadlineMs - clock.elapsed();
        if (left <= 0) return;
        QThread::msleep(static_cast<unsigned long>(std::min<qint64>(left, 50)));
    }
}

// What the run's counters gained between two looks: one sensor's share of a request.
void addGrowth(Stats& to, const Stats& before, const Stats& after) {
    to.requests += after.requests - before.requests;
    to.replies += after.replies - before.replies;
    to.timeouts += after.timeouts - before.timeouts;
    to.crcErrors += after.crcErrors - before.crcErrors;
    to.exceptions += after.exceptions - before.exceptions;
    to.badReplies += after.badReplies - before.badReplies;
    to.retries += after.retries - before.retries;
    to.latenciesMs.insert(to.latenciesMs.end(),
                          after.latenciesMs.begin() + static_cast<std::ptrdiff_t>(before.latenciesMs.size()),
                          after.latenciesMs.end());
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
    ReadingWriter writer(format, out, format == ReadingWriter::Csv || format == ReadingWriter::Table ? header : false);
    // The summary keeps out of a data stream on stdout.
    std::FILE* summaryTo = (out == stdout && format != ReadingWriter::Table) ? stderr : stdout;

    const bool endless = o.everyGiven && !o.countGiven;
    const int rounds = o.countGiven ? o.count : 1;
    std::vector<SensorSummary> sensors;
    for (int a : o.addresses.empty() ? std::vector<int>{s.address()} : o.addresses)
        sensors.push_back(SensorSummary{a, {}, 0, 0});
    int measurements = 0;
    int failed = 0;
    int code = EXIT_OK;
    bool over = false;
    QElapsedTimer clock;
    clock.start();
    for (int round = 0; !over && (endless || round < rounds); ++round) {
        if (stopRequested()) break;
        const qint64 started = clock.elapsed();
        for (SensorSummary& sensor : sensors) {
            if (stopRequested()) {
                over = true;
                break;
            }
            const auto frame = sensor::measurementRequest(static_cast<std::uint8_t>(sensor.address));
            const Stats before = s.stats();
            const Result r = s.request(frame, sensor::expectRead(frame), s.retries());
            if (r.kind == Result::Stopped) {
                over = true;
                break;
            }
            addGrowth(sensor.stats, before, s.stats());
            ++measurements;
            ++sensor.measurements;
            Reading row;
            stampNow(row);
            row.port = s.device();
            row.address = sensor.address;
            row.latencyMs = r.latencyMs;
            if (r.ok()) {
                row.ok = true;
                row.moisture = sensor::hundredthsText(r.reply.registers[0]);
                row.temperature = sensor::hundredthsText(sensor::temperatureHundredths(r.reply.registers[1]));
                row.status = QStringLiteral("ok");
            } else {
                ++failed;
                ++sensor.failed;
                // A timeout outranks a bad reply: nothing heard is the more urgent news.
                const int c = exitCodeFor(r.kind);
                if (code == EXIT_OK || c == EXIT_NO_REPLY) code = c;
                row.status = r.kind == Result::Timeout ? QStringLiteral("timeout") : r.detail;
            }
            if (!writer.write(row)) {
                error(QStringLiteral("cannot write the reading: %1")
                          .arg(QString::fromLocal8Bit(std::strerror(errno))));
                code = EXIT_USAGE;
                over = true;
                break;
            }
            if (r.kind == Result::Lost) {
                error(r.detail);
                over = true;
                break;
            }
        }
        if (!over && o.everyMs > 0 && (endless || round + 1 < rounds)) waitUntil(clock, started + o.everyMs);
    }
    if (file) std::fclose(file);
    printSummary(s.stats(), measurements, failed, summaryTo);
    if (sensors.size() > 1) printSensorSummaries(sensors, summaryTo);
    return code;
}

} // namespace kv::cli

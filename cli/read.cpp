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
    const auto frame = sensor::measurementRequest(s.address());
    const auto expect = sensor::expectRead(frame);
    int measurements = 0;
    int failed = 0;
    int code = EXIT_OK;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; endless || i < count; ++i) {
        if (stopRequested()) break;
        const qint64 started = clock.elapsed();
        const Result r = s.request(frame, expect, s.retries());
        if (r.kind == Result::Stopped) break;
        ++measurements;
        Reading row;
        row.time = timestampUtc();
        row.latencyMs = r.latencyMs;
        if (r.ok()) {
            row.ok = true;
            row.moisture = sensor::hundredthsText(r.reply.registers[0]);
            row.temperature = sensor::hundredthsText(sensor::temperatureHundredths(r.reply.registers[1]));
            row.status = QStringLiteral("ok");
        } else {
            ++failed;
            code = exitCodeFor(r.kind);
            row.status = r.kind == Result::Timeout ? QStringLiteral("timeout") : r.detail;
        }
        if (!writer.write(row)) {
            error(QStringLiteral("cannot write the reading: %1")
                      .arg(QString::fromLocal8Bit(std::strerror(errno))));
            code = EXIT_USAGE;
            break;
        }
        if (r.kind == Result::Lost) {
            error(r.detail);
            break;
        }
        if (o.everyMs > 0 && (endless || i + 1 < count)) waitUntil(clock, started + o.everyMs);
    }
    if (file) std::fclose(file);
    printSummary(s.stats(), measurements, failed, summaryTo);
    return code;
}

} // namespace kv::cli

#include "cli/readlog.h"

#include <cerrno>
#include <cstring>

namespace kv::cli {
namespace {

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

ReadLog::~ReadLog() {
    if (file_) std::fclose(file_);
}

bool ReadLog::open(const ReadOptions& o, bool withPort) {
    std::FILE* out = stdout;
    bool header = true;
    if (!o.csv.empty() && o.csv != "-") {
        // Appended, so an earlier log is never lost; the header goes only into a new file.
        QString firstLine;
        QString why;
        file_ = openCsv(o.csv, firstLine, why);
        if (!file_) {
            error(QStringLiteral("cannot write %1: %2").arg(QString::fromStdString(o.csv), why));
            return false;
        }
        if (!firstLine.isEmpty() && firstLine != csvHeader(withPort)) {
            // Rows of other columns under an old header would mislead every reader of the file.
            error(QStringLiteral("%1 has other columns (%2); log into a new file")
                      .arg(QString::fromStdString(o.csv), firstLine));
            return false;
        }
        header = firstLine.isEmpty();
        out = file_;
    }
    const auto format = !o.csv.empty() ? ReadingWriter::Csv
                        : o.json       ? ReadingWriter::Json
                        : o.influx     ? ReadingWriter::Influx
                                       : ReadingWriter::Table;
    writer_ = std::make_unique<ReadingWriter>(
        format, out, format == ReadingWriter::Csv || format == ReadingWriter::Table ? header : false,
        withPort);
    // The summary keeps out of a data stream on stdout.
    summaryTo_ = (out == stdout && format != ReadingWriter::Table) ? stderr : stdout;
    return true;
}

bool ReadLog::write(const Reading& row) {
    if (writer_->write(row)) return true;
    error(QStringLiteral("cannot write the reading: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
    return false;
}

void fillMeasurement(Reading& row, const Result& r) {
    // A reply has its latency (an exception too, when it is surely this request's).
    row.latencyMs = r.latencyMs;
    if (r.ok()) {
        row.ok = true;
        row.moisture = moistureText(r.reply);
        row.temperature = temperatureText(r.reply);
        row.status = QStringLiteral("ok");
        return;
    }
    // A gateway's exception for a device that did not answer keeps the gateway's words.
    const bool toldByGateway = r.reply.status == sensor::ReplyStatus::Exception;
    row.status = r.outcome == Outcome::Timeout && !toldByGateway ? QStringLiteral("timeout")
                 : r.outcome == Outcome::Lost                    ? QStringLiteral("port lost")
                                                                 : r.detail;
}

void countMeasurement(std::vector<SensorSummary>& sensors, SensorSummary& sensor, const Result& r) {
    // The request's own counts are its sensor's; a late reply is its sender's.
    sensor.stats.add(r.tally, false);
    for (const auto& [from, n] : r.tally.late)
        for (SensorSummary& other : sensors)
            if (other.address == from) other.stats.late += n;
    if (r.ok() && r.latencyMs) sensor.stats.latenciesMs.push_back(*r.latencyMs);
}

} // namespace kv::cli

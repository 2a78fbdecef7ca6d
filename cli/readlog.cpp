#include "cli/readlog.h"

#include "cli/commands.h"
#include "cli/console.h"

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

ReadingWriter::Format formatOf(const ReadOptions& o) {
    return !o.csv.empty() ? ReadingWriter::Csv
           : o.json       ? ReadingWriter::Json
           : o.influx     ? ReadingWriter::Influx
                          : ReadingWriter::Table;
}

} // namespace

ReadLog::~ReadLog() {
    close();
}

bool ReadLog::open(const ReadOptions& o, bool withPort) {
    std::FILE* out = stdout;
    bool header = true;
    if (!o.csv.empty() && o.csv != "-") {
        QString firstLine;
        QString why;
        file_ = openCsv(o.csv, firstLine, why);
        if (!file_) {
            error(QStringLiteral("cannot write %1: %2").arg(QString::fromStdString(o.csv), why));
            return false;
        }
        if (!firstLine.isEmpty() &&
            firstLine != csvHeader(withPort, o.withSoil, o.soil.calibration.has_value())) {
            // Rows of other columns under an old header would mislead every reader of the file.
            close();
            error(QStringLiteral("%1 has other columns (%2); log into a new file")
                      .arg(QString::fromStdString(o.csv), firstLine));
            return false;
        }
        header = firstLine.isEmpty();
        out = file_;
    }
    const ReadingWriter::Format format = formatOf(o);
    const bool headed = format == ReadingWriter::Csv || format == ReadingWriter::Table;
    writer_.emplace(format, out, headed && header, withPort, o.withSoil, o.soil.calibration.has_value());
    // The summary keeps out of a data stream on stdout.
    summaryTo_ = (out == stdout && format != ReadingWriter::Table) ? stderr : stdout;
    return true;
}

bool ReadLog::write(const Reading& row) {
    if (writer_ && writer_->write(row)) return true;
    error(QStringLiteral("cannot write the reading: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
    return false;
}

void ReadLog::close() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
}

} // namespace kv::cli

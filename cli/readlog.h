#pragma once
// Where read's rows go: a table on stdout, CSV (a file, appended to, or stdout), JSON lines
// or line protocol; and where its summary goes, out of a data stream on stdout.

#include "cli/commands.h"
#include "cli/report.h"

#include <cstdio>
#include <memory>

namespace kv::cli {

class ReadLog {
public:
    ReadLog() = default;
    ~ReadLog();
    ReadLog(const ReadLog&) = delete;
    ReadLog& operator=(const ReadLog&) = delete;

    // Opens the output the options name; `withPort` for rows of several buses. False, with
    // the reason printed, when a CSV file cannot be written or holds other columns.
    [[nodiscard]] bool open(const ReadOptions& options, bool withPort = false);
    // Writes and flushes a row; false, with the reason printed, when the output refused it.
    [[nodiscard]] bool write(const Reading& row);
    [[nodiscard]] std::FILE* summaryTo() const { return summaryTo_; }

private:
    std::FILE* file_ = nullptr;
    std::FILE* summaryTo_ = stdout;
    std::unique_ptr<ReadingWriter> writer_;
};

// A measurement's result in its row: the values, the latency and the status.
void fillMeasurement(Reading& row, const Result& r);
// A measurement's counts added to its sensor's, and its late replies to their senders'.
void countMeasurement(std::vector<SensorSummary>& sensors, SensorSummary& sensor, const Result& r);

} // namespace kv::cli

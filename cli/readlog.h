#pragma once
// Where read writes: its rows as a table on stdout, CSV (a file, appended to, or stdout),
// JSON lines or line protocol; and its summary where it keeps out of a data stream.

#include "cli/readings.h"

#include <cstdio>
#include <optional>

namespace kv::cli {

struct ReadOptions;

class ReadLog {
public:
    ReadLog() = default;
    ~ReadLog();
    ReadLog(const ReadLog&) = delete;
    ReadLog& operator=(const ReadLog&) = delete;

    // Opens the output the options name; `withPort` for rows of several buses. A CSV file is
    // appended to, so an earlier log is never lost, and gets the header only when new. False,
    // after saying why, when it cannot be written or holds other columns.
    [[nodiscard]] bool open(const ReadOptions& o, bool withPort = false);
    // Writes and flushes a row; false, after saying why, when the output refused it.
    [[nodiscard]] bool write(const Reading& row);
    void close();
    // stdout, or stderr when a data stream goes to stdout.
    [[nodiscard]] std::FILE* summaryTo() const { return summaryTo_; }

private:
    std::FILE* file_ = nullptr;
    std::optional<ReadingWriter> writer_;
    std::FILE* summaryTo_ = stdout;
};

} // namespace kv::cli

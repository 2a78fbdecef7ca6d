#pragma once
// What the command line writes: readings as a table, CSV or JSON lines, the summary of
// a run, and a progress bar on a terminal.

#include "cli/session.h"

#include <QString>

#include <cstdio>
#include <optional>

namespace kv::cli {

// RFC 3339, UTC, milliseconds: 2026-12-08T21:59:37.123Z
[[nodiscard]] QString timestampUtc();

struct Reading {
    QString time;
    bool ok = false;
    QString moisture;                // "30.00", empty without a value
    QString temperature;             // "22.00"
    std::optional<double> latencyMs; // none without a reply
    QString status;                  // "ok" or why not
};

class ReadingWriter {
public:
    enum Format { Table, Csv, Json };
    ReadingWriter(Format format, std::FILE* to, bool header) : format_(format), to_(to), header_(header) {}
    // Writes and flushes one line (after the header, the first time); false when the
    // output refused it (disk full, closed pipe).
    [[nodiscard]] bool write(const Reading& r);

private:
    Format format_;
    std::FILE* to_;
    bool header_;
};

// Requests, replies, timeouts, CRC errors, exceptions, loss and latency of a run.
void printSummary(const Stats& stats, int measurements, int failed, std::FILE* to);

// A bar on stderr, drawn only when stderr is a terminal.
class Progress {
public:
    explicit Progress(int total);
    ~Progress();
    void step(const QString& what);
    // Takes the bar off the line so a normal line can be printed.
    void clear();

private:
    int total_;
    int done_ = 0;
    bool enabled_;
    bool drawn_ = false;
};

} // namespace kv::cli

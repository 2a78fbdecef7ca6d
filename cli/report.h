#pragma once
// What the command line writes: readings as a table, CSV or JSON lines, the summary of
// a run, and a progress bar on a terminal.

#include "cli/session.h"

#include <QString>

#include <cstdio>
#include <optional>
#include <vector>

namespace kv::cli {

// The moisture and temperature of a sound measurement reply, as every output writes them:
// "30.00" and "22.00"; together "moisture 30.00 %, temperature 22.00 C".
[[nodiscard]] QString moistureText(const sensor::Reply& measurement);
[[nodiscard]] QString temperatureText(const sensor::Reply& measurement);
[[nodiscard]] QString measurementText(const sensor::Reply& measurement);

// The text as one word of a POSIX shell: quoted only when it needs to be.
[[nodiscard]] QString shellWord(const QString& text);

// RFC 3339, UTC, milliseconds: 2026-12-08T21:59:37.123Z
[[nodiscard]] QString timestampUtc();

struct Reading {
    QString time;
    qint64 unixMs = 0; // the same instant as `time`
    QString port;      // the port as opened
    int address = 0;
    bool ok = false;
    QString moisture;                // "30.00", empty without a value
    QString temperature;             // "22.00"
    std::optional<double> latencyMs; // none without a reply
    QString status;                  // "ok" or why not
};

// Sets the reading's time and unixMs from one reading of the clock.
void stampNow(Reading& r);

class ReadingWriter {
public:
    enum Format { Table, Csv, Json, Influx };
    // `withPort`: the table and CSV carry the port too (JSON and line protocol always do),
    // for runs that read several buses.
    ReadingWriter(Format format, std::FILE* to, bool header, bool withPort = false)
        : format_(format), to_(to), header_(header), withPort_(withPort) {}
    // Writes and flushes one line (after the header, the first time); false when the
    // output refused it (disk full, closed pipe).
    [[nodiscard]] bool write(const Reading& r);

private:
    Format format_;
    std::FILE* to_;
    bool header_;
    bool withPort_;
};

// The CSV header line, without its newline; with a port column after the time for runs
// that read several buses.
[[nodiscard]] QString csvHeader(bool withPort = false);

// One InfluxDB line-protocol point, without its newline: measurement soil, tags address
// and port, fields moisture, temperature and latency_ms where the reading has them and
// status always, nanosecond timestamp.
[[nodiscard]] QString influxLine(const Reading& r);
// The protocol's escapes: tag keys, tag values and field keys escape commas, spaces and
// equals signs; string field values double quotes and backslashes.
[[nodiscard]] QString influxKey(const QString& s);
[[nodiscard]] QString influxString(const QString& s);

// Requests, replies, timeouts, CRC errors, exceptions, loss and latency of a run.
void printSummary(const Stats& stats, int measurements, int failed, std::FILE* to);

// One sensor of a bus: its share of the run's counters.
struct SensorSummary {
    int address = 0;
    Stats stats;
    int measurements = 0;
    int failed = 0;
};
// A line per sensor (requests, replies, loss, latency), then the sensors that never
// answered, if any.
void printSensorSummaries(const std::vector<SensorSummary>& sensors, std::FILE* to);

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

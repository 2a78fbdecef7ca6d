#pragma once
// A measurement as read writes it: a row of a table, CSV, JSON lines or InfluxDB line
// protocol, each written and flushed as it is taken; and the texts of a measurement that
// every subcommand shows alike.

#include "cli/session.h"
#include "soil/flags.h"
#include "soil/settings.h"

#include <QString>
#include <QStringList>

#include <cstdio>
#include <optional>

namespace kv::cli {

// The moisture and temperature of a sound measurement reply, as every output writes them:
// "30.00" and "22.00"; together "moisture 30.00 %, temperature 22.00 C".
[[nodiscard]] QString moistureText(const sensor::Reply& measurement);
[[nodiscard]] QString temperatureText(const sensor::Reply& measurement);
[[nodiscard]] QString measurementText(const sensor::Reply& measurement);
// The measurement a request got, or why it got none.
[[nodiscard]] QString measurementOrWhy(const Result& r);

struct Reading {
    QString time;
    qint64 unixMs = 0; // the same instant as `time`
    QString port;      // the port as opened
    int address = 0;
    bool ok = false;                 // a plausible measurement
    QString moisture;                // "30.00", empty without a value
    QString temperature;             // "22.00"
    std::optional<double> latencyMs; // none without a reply
    QString status;                  // "ok", "implausible" or why there are no values
    // What the reading means for the soil, written only by runs given soil settings.
    struct Soil {
        std::optional<double> calibrated; // volumetric %, from the raw moisture by the calibration
        QString calibration;              // the calibration's id; empty: the reading has none
        std::optional<double> relativeWater;
        std::optional<double> deficitMm;
        QStringList flags; // stale, stuck, implausible, jump
    };
    std::optional<Soil> soil;
    [[nodiscard]] bool hasValues() const { return !moisture.isEmpty(); }
};

// A measurement's result in its row: the values, the latency and the status. A sound reply
// whose values the sensor cannot report keeps them, with the status "implausible".
void fillMeasurement(Reading& row, const Result& r);

// The reading as the soil's quality tracker takes it, polled every `periodMs`.
[[nodiscard]] soil::Sample soilSample(const Reading& row, qint64 periodMs);

// The reading's soil columns: its quality flags, and what its value means with the settings; nothing
// is derived from a value the sensor cannot report (a failed or implausible reading keeps its row).
[[nodiscard]] Reading::Soil soilColumns(const Reading& row, const soil::Sample& s, QStringList flags,
                                        const soil::SoilSettings& settings);

// Sets the reading's time and unixMs to a time on the line's clock.
void stampAt(Reading& r, const WallClock& clock, qint64 atNs);

// Sets the reading's time (RFC 3339, UTC, milliseconds: 2026-12-08T21:59:37.123Z) and
// unixMs from one reading of the clock.
void stampNow(Reading& r);

class ReadingWriter {
public:
    enum Format { Table, Csv, Json, Influx };
    // `withPort`: the table and CSV carry the port too (JSON and line protocol always do),
    // for runs that read several buses. `withSoil`: the table and CSV carry the soil's columns
    // (JSON and line protocol carry them with every reading that has them). `withCalibration`: the
    // table and CSV carry the calibrated moisture too.
    ReadingWriter(Format format, std::FILE* to, bool header, bool withPort = false, bool withSoil = false,
                  bool withCalibration = false)
        : format_(format), to_(to), header_(header), withPort_(withPort), withSoil_(withSoil),
          withCalibration_(withCalibration) {}
    // Writes and flushes one line (after the header, the first time); false when the
    // output refused it (disk full, closed pipe).
    [[nodiscard]] bool write(const Reading& r);

private:
    [[nodiscard]] QString headerLine() const;
    [[nodiscard]] QString line(const Reading& r) const;

    Format format_;
    std::FILE* to_;
    bool header_;
    bool withPort_;
    bool withSoil_;
    bool withCalibration_;
};

// The CSV header line, without its newline; with a port column after the time for runs
// that read several buses, relative_water, deficit_mm and flags last for runs given soil settings, and
// after them moisture_calibrated for runs given a calibration.
[[nodiscard]] QString csvHeader(bool withPort = false, bool withSoil = false, bool withCalibration = false);

// One InfluxDB line-protocol point, without its newline: measurement soil, tags address
// and port (then `tags`, each "key=value" escaped), fields moisture, temperature and latency_ms where the
// reading has them and status always (then, with soil columns, moisture_calibrated, relative_water and
// deficit_mm where it has them and flags, comma-joined), nanosecond timestamp.
[[nodiscard]] QString influxLine(const Reading& r, const QStringList& tags = {});
// The JSON line's object without its newline, `more` (",\"key\":value"...) before its end; with soil
// columns, "relative_water" and "deficit_mm" (null without a value) and "flags" (a list) after "status",
// led by "moisture_calibrated" (null without a value) and "calibration" (its id) with a calibration.
[[nodiscard]] QString jsonObject(const Reading& r, const QString& more = {});
// The protocol's escapes: tag keys, tag values and field keys escape commas, spaces and
// equals signs; string field values double quotes and backslashes.
[[nodiscard]] QString influxKey(const QString& s);
[[nodiscard]] QString influxString(const QString& s);

// The text as a JSON string, quotes and all.
[[nodiscard]] QString jsonString(const QString& s);

// A calibrated moisture as every output writes it: two decimals, as the raw one.
[[nodiscard]] QString calibratedText(const std::optional<double>& v);

// Milliseconds as every output writes them: one decimal.
[[nodiscard]] QString msText(double v);

} // namespace kv::cli

#pragma once
// The spool's kept readings written out: as CSV rows, and as station files of the International
// Soil Moisture Network's header-and-values format (hourly, m³/m³, UTC, its quality flags).

#include "collect/record.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace kv::collect {

// One kept reading as an export sees it, read back from the record's JSON.
struct ExportReading {
    qint64 seq = 0;
    qint64 unixMs = 0;
    QString sensor; // "<bus>/<address>"
    QString bus, name, site;
    int address = 0;
    std::optional<int> depthFromCm, depthToCm;
    std::optional<double> moisture;           // per cent
    std::optional<double> moistureCalibrated; // volumetric %, when its sensor had a calibration
    QString calibration;                      // that calibration's id
    std::optional<double> temperature;        // °C
    QString status;                           // "ok", "implausible" or why there are no values
    QStringList flags;                        // quality flags, when the reading carries them
};

// The reading a record holds; none, with why, when its JSON is not an object the collector writes.
[[nodiscard]] std::optional<ExportReading> exportReading(const Record& record, QString* why);

// A bound of --from/--to: "2026-06-01" (that day's first instant, or with `end` the next day's, so
// that the day is included) or an RFC 3339 time such as "2026-06-01T12:00Z"; none when neither.
[[nodiscard]] std::optional<qint64> parseExportTime(const QString& text, bool end);

// The CSV's header row and a reading's row, each with its newline; `withCalibration` adds the
// columns moisture_calibrated and calibration (its id) last.
[[nodiscard]] QByteArray exportCsvHeader(bool withCalibration = false);
[[nodiscard]] QByteArray exportCsvRow(const ExportReading& r, bool withCalibration = false);
// Whether a record carries a calibrated moisture, told without reading its JSON whole.
[[nodiscard]] bool carriesCalibration(const Record& record);

enum class IsmnVariable { SoilMoisture, SoilTemperature };

// One hour's value as the station file has it: the full hour (UTC), the value in the file's unit
// (m³/m³, °C) and ISMN's flag ("G", "C02", "D07,D09").
struct HourValue {
    qint64 hourMs = 0;
    double value = 0;
    QString flag;
};

// One sensor's readings, in time order, reduced to hourly values as ISMN harmonises them (the soil
// moisture calibrated where a reading has it, ISMN wanting volumetric water content): the
// reading nearest each full hour (within half an hour either side), a good one before any other;
// an hour with only flagged readings gets the nearest with ISMN's flag, and one with no value none.
class HourlySeries {
public:
    explicit HourlySeries(IsmnVariable variable) : variable_(variable) {}
    void add(const ExportReading& r);
    // Every hour so far, oldest first; the series is empty after.
    [[nodiscard]] std::vector<HourValue> finish();

private:
    struct Candidate {
        qint64 distance = -1; // from the hour, ms; -1: none yet
        HourValue value;
    };
    void flush();

    IsmnVariable variable_;
    qint64 hour_ = 0;
    Candidate good_, flagged_;
    std::optional<double> last_; // the previous reading's value, for the sign of a jump
    std::vector<HourValue> out_;
};

struct IsmnOptions {
    QString network = QStringLiteral("KV7702R");
    QString latitude = QStringLiteral("NaN"); // decimal degrees as typed, south negative
    QString longitude = QStringLiteral("NaN");
    QString elevation = QStringLiteral("NaN"); // metres above sea level
    // Depths of the configuration's sensors (cm, from and to) by "<bus>/<address>": for readings
    // whose JSON has none.
    std::map<QString, std::pair<int, int>> depthsCm;
};

// A station file: its path below the output folder (network/station/name) and its text.
struct IsmnFile {
    QString path;
    QByteArray text;
};

// Readings, in time order, into one station file per sensor, depth and variable.
class IsmnExport {
public:
    explicit IsmnExport(IsmnOptions options) : options_(std::move(options)) {}
    void add(const ExportReading& r);
    // The files, by path; `notes` gets each sensor left out and why.
    [[nodiscard]] std::vector<IsmnFile> files(QStringList* notes);

private:
    struct Group {
        QString station, sensorName;
        int fromCm = 0, toCm = 0;
        HourlySeries moisture{IsmnVariable::SoilMoisture};
        HourlySeries temperature{IsmnVariable::SoilTemperature};
    };
    IsmnOptions options_;
    std::map<QString, Group> groups_;
    std::map<QString, int> noDepth_; // readings left out, by sensor
};

// A name as ISMN's files may hold it: letters, digits, '-' and '.', anything else a '-'.
[[nodiscard]] QString ismnName(const QString& text);

} // namespace kv::collect

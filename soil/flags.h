#pragma once
// Quality flags on a sensor's readings: each reading is marked, never removed.
//   stale        no good reading for `staleAfter` periods (or that many readings in a row)
//   stuck        the same raw moisture for `stuckAfter` readings while the temperature moved
//   implausible  the reading's own status: values beyond what the sensor can report
//   jump         a change of more than `jumpPoints` volumetric points within one period

#include <QString>
#include <QStringList>

#include <optional>

namespace kv::soil {

struct FlagOptions {
    int staleAfter = 3;            // periods
    int stuckAfter = 20;           // readings
    double stuckTemperature = 0.5; // degrees C the temperature must move over them
    double jumpPoints = 15.0;      // volumetric points a period
};

struct Sample {
    qint64 ms = 0;                     // when it was taken, on the caller's clock
    bool ok = false;                   // a plausible measurement
    bool implausible = false;          // a reply whose values the sensor cannot report
    std::optional<double> moisture;    // the raw moisture, with a reply
    std::optional<double> temperature; // degrees C, with a reply
    qint64 periodMs = 0;               // the polling period; 0: as fast as replies come
};

// One sensor's readings in order; the flags of each as it comes.
class QualityTracker {
public:
    explicit QualityTracker(FlagOptions o = {}) : o_(o) {}
    // The reading's flags, in the order stale, stuck, implausible, jump; empty for a sound one.
    [[nodiscard]] QStringList feed(const Sample& s);

private:
    FlagOptions o_;
    std::optional<qint64> lastGoodMs_; // or the first reading's time, before any good one
    int notGood_ = 0;
    std::optional<double> stuckValue_;
    int stuckCount_ = 0;
    double stuckTempMin_ = 0, stuckTempMax_ = 0;
    std::optional<double> lastMoisture_;
    qint64 lastMoistureMs_ = 0;
};

} // namespace kv::soil

#pragma once
// What a moisture reading means for the soil, with the sensor's soil settings: the calibrated
// water content, the relative water content and the deficit to field capacity in mm.

#include "soil/settings.h"

#include <optional>

namespace kv::soil {

struct Derived {
    double moisture = 0;                 // volumetric %: calibrated, or the raw value without a calibration
    std::optional<double> calibrated;    // only with a calibration
    std::optional<double> relativeWater; // (moisture - wp) / (fc - wp); not clamped
    std::optional<double> deficitMm;     // (fc - moisture) / 100 * root zone in mm; not clamped
};

// The values derived from a raw moisture. Neither is clamped: a relative water above 1 (or a
// negative deficit) is soil wetter than field capacity, below 0 drier than the wilting point,
// which the alarms and the reader should see rather than a flat 1 or 0.
[[nodiscard]] Derived derive(const SoilSettings& s, double rawMoisture);

} // namespace kv::soil

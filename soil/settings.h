#pragma once
// A sensor's soil: field capacity, wilting point, the refill point (typed, or from an allowed
// depletion of the available water), the root zone and a calibration from raw moisture to
// volumetric water content fitted to gravimetric samples.

#include <QDate>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace kv::soil {

// Raw moisture (the sensor's %) to volumetric water content (%): vwc = a + b*raw + c*raw^2.
struct Calibration {
    QString id;
    QDate date;
    double a = 0, b = 1, c = 0;
    [[nodiscard]] double apply(double raw) const { return a + b * raw + c * raw * raw; }
};

// A gravimetric sample: the sensor's raw value and the water content measured in the soil beside it.
struct SamplePair {
    double raw = 0;
    double vwc = 0; // volumetric %
};

struct CalibrationFit {
    Calibration calibration;
    std::vector<double> residuals; // measured minus fitted, per sample, volumetric points
    double rms = 0;                // root mean square of the residuals
};

// The least-squares line (degree 1) or parabola (degree 2) through the samples; none, with the
// reason in `why`, when there are too few samples or too few distinct raw values for the degree.
[[nodiscard]] std::optional<CalibrationFit> fitCalibration(const std::vector<SamplePair>& samples, int degree,
                                                           QString& why);

struct SoilSettings {
    std::optional<double> fieldCapacity; // volumetric %
    std::optional<double> wiltingPoint;  // volumetric %
    std::optional<double> refill;        // volumetric %, or derived from allowedDepletion
    // The management-allowed depletion, 0..1 of the available water: refill = fc - mad*(fc-wp).
    std::optional<double> allowedDepletion;
    std::optional<double> rootZoneCm;
    std::optional<Calibration> calibration;

    // The refill point typed, or derived from the allowed depletion; none without either.
    [[nodiscard]] std::optional<double> refillPoint() const;
    // Whatever is wrong with the settings, one English sentence each; empty when they hold together.
    [[nodiscard]] QStringList check() const;
    // Whether any setting is given at all.
    [[nodiscard]] bool any() const;
};

} // namespace kv::soil

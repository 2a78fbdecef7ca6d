#include "soil/settings.h"

#include <cmath>

namespace kv::soil {
namespace {

QString pct(double v) {
    return QString::number(v, 'g', 6) + QStringLiteral(" %");
}

// Solves the n x n system in place by Gaussian elimination with partial pivoting; false when singular.
bool solve(std::vector<std::vector<double>>& m, std::vector<double>& v) {
    const std::size_t n = v.size();
    for (std::size_t col = 0; col < n; ++col) {
        std::size_t pivot = col;
        for (std::size_t r = col + 1; r < n; ++r)
            if (std::fabs(m[r][col]) > std::fabs(m[pivot][col])) pivot = r;
        if (std::fabs(m[pivot][col]) < 1e-12) return false;
        std::swap(m[pivot], m[col]);
        std::swap(v[pivot], v[col]);
        for (std::size_t r = 0; r < n; ++r) {
            if (r == col) continue;
            const double f = m[r][col] / m[col][col];
            for (std::size_t k = col; k < n; ++k)
                m[r][k] -= f * m[col][k];
            v[r] -= f * v[col];
        }
    }
    for (std::size_t i = 0; i < n; ++i)
        v[i] /= m[i][i];
    return true;
}

} // namespace

std::optional<CalibrationFit> fitCalibration(const std::vector<SamplePair>& samples, int degree,
                                             QString& why) {
    if (degree != 1 && degree != 2) {
        why = QStringLiteral("a calibration is linear (1) or quadratic (2), not of degree %1").arg(degree);
        return std::nullopt;
    }
    const std::size_t terms = static_cast<std::size_t>(degree) + 1;
    std::vector<double> distinct;
    for (const SamplePair& s : samples) {
        if (!std::isfinite(s.raw) || !std::isfinite(s.vwc)) {
            why = QStringLiteral("a sample is not a number");
            return std::nullopt;
        }
        bool seen = false;
        for (double d : distinct)
            seen = seen || d == s.raw;
        if (!seen) distinct.push_back(s.raw);
    }
    if (distinct.size() < terms) {
        why = QStringLiteral("a %1 calibration needs samples at %2 different raw values at least, not %3")
                  .arg(degree == 1 ? QStringLiteral("linear") : QStringLiteral("quadratic"))
                  .arg(terms)
                  .arg(distinct.size());
        return std::nullopt;
    }
    // The normal equations: sum of raw^(i+j) times the coefficients = sum of vwc * raw^i.
    std::vector<std::vector<double>> m(terms, std::vector<double>(terms, 0.0));
    std::vector<double> v(terms, 0.0);
    for (const SamplePair& s : samples) {
        const double p[] = {1.0, s.raw, s.raw * s.raw, s.raw * s.raw * s.raw, s.raw * s.raw * s.raw * s.raw};
        for (std::size_t i = 0; i < terms; ++i) {
            v[i] += s.vwc * p[i];
            for (std::size_t j = 0; j < terms; ++j)
                m[i][j] += p[i + j];
        }
    }
    if (!solve(m, v)) {
        why = QStringLiteral("the samples do not determine a calibration (their raw values are too alike)");
        return std::nullopt;
    }
    // A term worth less than a billionth of a point at raw 100 is rounding, not soil: a line fitted
    // as a parabola would otherwise show a c of 1e-17.
    for (std::size_t i = 0; i < terms; ++i)
        if (std::fabs(v[i]) * std::pow(100.0, static_cast<double>(i)) < 1e-9) v[i] = 0;
    CalibrationFit fit;
    fit.calibration.a = v[0];
    fit.calibration.b = v[1];
    fit.calibration.c = degree == 2 ? v[2] : 0.0;
    double squares = 0;
    for (const SamplePair& s : samples) {
        const double r = s.vwc - fit.calibration.apply(s.raw);
        fit.residuals.push_back(r);
        squares += r * r;
    }
    fit.rms = samples.empty() ? 0.0 : std::sqrt(squares / static_cast<double>(samples.size()));
    return fit;
}

std::optional<double> SoilSettings::refillPoint() const {
    if (refill) return refill;
    if (allowedDepletion && fieldCapacity && wiltingPoint)
        return *fieldCapacity - *allowedDepletion * (*fieldCapacity - *wiltingPoint);
    return std::nullopt;
}

bool SoilSettings::any() const {
    return fieldCapacity || wiltingPoint || refill || allowedDepletion || rootZoneCm || calibration;
}

QStringList SoilSettings::check() const {
    QStringList why;
    const auto percent = [&why](const std::optional<double>& v, const char* name) {
        if (v && !(*v >= 0 && *v <= 100))
            why << QStringLiteral("the %1 (%2) is a volumetric water content between 0 and 100 %")
                       .arg(QLatin1String(name), pct(*v));
    };
    percent(fieldCapacity, "field capacity");
    percent(wiltingPoint, "wilting point");
    percent(refill, "refill point");
    if (fieldCapacity && wiltingPoint && !(*wiltingPoint < *fieldCapacity))
        why << QStringLiteral("the wilting point (%1) must lie below the field capacity (%2)")
                   .arg(pct(*wiltingPoint), pct(*fieldCapacity));
    if (refill && allowedDepletion)
        why << QStringLiteral("give the refill point or the allowed depletion, not both");
    if (allowedDepletion) {
        if (!(*allowedDepletion > 0 && *allowedDepletion < 1))
            why << QStringLiteral("the allowed depletion (%1) is a fraction of the available water, above 0 "
                                  "and below 1 (0.5 for half of it)")
                       .arg(*allowedDepletion);
        else if (!fieldCapacity || !wiltingPoint)
            why << QStringLiteral("the allowed depletion needs the field capacity and the wilting point");
    }
    if (refill && fieldCapacity && wiltingPoint && *wiltingPoint < *fieldCapacity &&
        !(*refill > *wiltingPoint && *refill < *fieldCapacity))
        why << QStringLiteral("the refill point (%1) must lie between the wilting point (%2) and the field "
                              "capacity (%3)")
                   .arg(pct(*refill), pct(*wiltingPoint), pct(*fieldCapacity));
    else if (refill && fieldCapacity && !(*refill < *fieldCapacity))
        why << QStringLiteral("the refill point (%1) must lie below the field capacity (%2)")
                   .arg(pct(*refill), pct(*fieldCapacity));
    if (rootZoneCm && !(*rootZoneCm > 0 && *rootZoneCm <= 1000))
        why << QStringLiteral("the root zone (%1 cm) is a depth above 0 and up to 1000 cm").arg(*rootZoneCm);
    if (calibration &&
        !(std::isfinite(calibration->a) && std::isfinite(calibration->b) && std::isfinite(calibration->c)))
        why << QStringLiteral("the calibration's coefficients must be numbers");
    return why;
}

} // namespace kv::soil

#include "sensor/values.h"

#include "modbus/fieldnum.h"
#include "sensor/protocol.h"

#include <array>
#include <cmath>
#include <limits>

namespace kv::sensor {
namespace {

const std::array<ParameterInfo, PARAMETER_COUNT> kParameters{{
    {"scale", "moisture range scaling coefficient", "0.2000-5.0000", 2000, 50000},
    {"moisture-offset", "moisture offset calibration value", "1000-64535", 1000, 64535},
    {"moisture-max", "moisture maximum", "1000-10000", 1000, 10000},
    {"moisture-min", "moisture minimum", "0-1000", 0, 1000},
    {"la", "temperature slope LA", "10000 is a slope of 1; 5000-15000", 5000, 15000},
    {"of", "temperature offset OF", "5000 is 0 ohm, 0.01 ohm per step; 0-9500", 0, 9500},
    {"range", "hardware range", "1 (0-100%), 2 (0-50%), 3 (0-25%)", 1, 3},
}};

} // namespace

double moisturePercent(std::uint16_t raw) {
    return raw / 100.0;
}

int temperatureHundredths(std::uint16_t raw) {
    return raw > 30000 ? raw - 65536 : raw;
}

double temperatureCelsius(std::uint16_t raw) {
    return temperatureHundredths(raw) / 100.0;
}

double resistanceOhm(std::uint16_t raw) {
    return raw / 100.0;
}

QString hundredthsText(long long hundredths) {
    return num::formatScaled(hundredths, 1, 2);
}

const ParameterInfo& parameterInfo(int i) {
    return kParameters.at(static_cast<std::size_t>(i));
}

bool parameterInRange(int i, std::uint16_t raw) {
    const ParameterInfo& p = parameterInfo(i);
    return raw >= p.low && raw <= p.high;
}

int parameterIndex(const QString& nameOrIndex) {
    const QString t = nameOrIndex.trimmed().toLower();
    for (int i = 0; i < PARAMETER_COUNT; ++i)
        if (t == QLatin1String(kParameters[static_cast<std::size_t>(i)].key) || t == QString::number(i))
            return i;
    return -1;
}

QString parameterText(int i, std::uint16_t raw) {
    return i == PARAM_SCALE ? num::formatScaled(raw, 1, 4) : QString::number(raw);
}

QString parameterMeaning(int i, std::uint16_t raw) {
    switch (i) {
    case PARAM_SCALE:
        return QStringLiteral("x %1").arg(num::formatScaled(raw, 1, 4));
    case PARAM_LA:
        return QStringLiteral("slope x %1").arg(num::formatScaled(raw, 1, 4));
    case PARAM_OF:
        return QStringLiteral("%1 ohm").arg(num::formatScaled(static_cast<long long>(raw) - 5000, 1, 2));
    case PARAM_RANGE:
        switch (raw) {
        case 1:
            return QStringLiteral("0-100 %");
        case 2:
            return QStringLiteral("0-50 %");
        case 3:
            return QStringLiteral("0-25 %");
        default:
            return QStringLiteral("not a range the sensor knows");
        }
    default:
        return {};
    }
}

Encoded encodeParameter(int i, const QString& text) {
    const auto typed = num::readSingle(text);
    if (!typed) return {EncodeError::NotANumber, 0};
    if (*typed > TYPED_LIMIT || *typed < -TYPED_LIMIT) return {EncodeError::OutOfRange, 0};
    float v = *typed;
    if (i == PARAM_SCALE) v = v * 10000.0f;
    if (v < 0) v = v + 65536.0f;
    const auto r = num::roundEven(static_cast<double>(v));
    if (!r || !fitsRegister(static_cast<double>(*r))) return {EncodeError::DoesNotFit, 0};
    return {EncodeError::None, static_cast<std::uint16_t>(*r)};
}

QString describe(EncodeError error) {
    switch (error) {
    case EncodeError::None:
        return {};
    case EncodeError::NotANumber:
        return QStringLiteral("not a number");
    case EncodeError::OutOfRange:
        return QStringLiteral("outside -%1..%1").arg(static_cast<double>(TYPED_LIMIT));
    case EncodeError::DoesNotFit:
        return QStringLiteral("does not fit the register");
    }
    return {};
}

std::optional<Calibration> calibrate(double RL, double RH, double RA, double RB) {
    const double d1 = RH - RL;
    const double d2 = RB - RA;
    if (!(d2 > 0)) return std::nullopt;
    Calibration c;
    c.LA = d1 / d2;
    const double offsetOhm = RH - c.LA * RB;
    c.slope = std::floor(c.LA * 10000) + 0.0; // + 0.0 turns -0 into 0
    if (!std::isfinite(c.slope) || !(std::fabs(offsetOhm) <= std::numeric_limits<float>::max()))
        return std::nullopt;
    const float OF = static_cast<float>(offsetOhm);
    c.OF = OF;
    c.offset = std::floor(static_cast<double>(OF) * 100) + 5000;
    return c;
}

} // namespace kv::sensor

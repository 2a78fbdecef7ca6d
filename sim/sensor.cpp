#include "sim/sensor.h"

#include <algorithm>
#include <cmath>

namespace kvsim {

namespace {

constexpr double kR0 = 100.0;
constexpr double kA = 3.9083e-3;
constexpr double kB = -5.775e-7;
constexpr double kC = -4.183e-12;
constexpr double kPi = 3.14159265358979323846;

constexpr double kMoistureCentre = 30.0;
constexpr double kTemperatureCentre = 22.0;

uint16_t toUnsignedRegister(double scaled) {
    if (!std::isfinite(scaled))
        return 0;
    return static_cast<uint16_t>(std::clamp(std::lround(std::clamp(scaled, -1.0, 70000.0)), 0L, 65535L));
}

uint16_t toSignedRegister(double scaled) {
    if (!std::isfinite(scaled))
        return 0x8000;
    const long v = std::clamp(std::lround(std::clamp(scaled, -40000.0, 40000.0)), -32768L, 32767L);
    return static_cast<uint16_t>(static_cast<int16_t>(v));
}

} // namespace

double cvdResistance(double t) {
    double r = 1.0 + kA * t + kB * t * t;
    if (t < 0.0)
        r += kC * (t - 100.0) * t * t * t;
    return kR0 * r;
}

double cvdTemperature(double ohms) {
    if (!std::isfinite(ohms))
        return std::nan("");
    const double disc = kA * kA - 4.0 * kB * (1.0 - ohms / kR0);
    // Above the curve's vertex the quadratic has no real root; report the vertex.
    double t = disc < 0.0 ? -kA / (2.0 * kB) : (-kA + std::sqrt(disc)) / (2.0 * kB);
    if (ohms < kR0) {
        for (int i = 0; i < 30; ++i) {
            const double f = cvdResistance(t) - ohms;
            const double d = kR0 * (kA + 2.0 * kB * t + kC * (4.0 * t * t * t - 300.0 * t * t));
            if (std::fabs(d) < 1e-9)
                break;
            const double step = f / d;
            t -= step;
            if (!std::isfinite(t) || std::fabs(step) < 1e-9)
                break;
        }
    }
    return t;
}

Sensor::Sensor(const SensorSetup &setup)
    : address_(setup.address), echoAddressChange_(setup.echoAddressChange), fixedMoisture_(setup.moisture),
      fixedTemperature_(setup.temperature), params_{10000, 0, 10000, 0, 10000, 5000, 1}, rng_(setup.seed) {
    advance(0.0);
}

void Sensor::advance(double seconds) {
    if (!(seconds >= 0.0))
        seconds = 0.0;
    elapsed_ += seconds;
    std::normal_distribution<double> unit(0.0, 1.0);
    // Mean-reverting walk so long runs stay near the centre.
    const double dt = std::min(seconds, 600.0);
    moistureWalk_ += -moistureWalk_ * std::min(1.0, dt / 300.0) + 0.05 * std::sqrt(dt) * unit(rng_);
    moistureWalk_ = std::clamp(moistureWalk_, -5.0, 5.0);
    moistureNoise_ = 0.03 * unit(rng_);
    temperatureNoise_ = 0.01 * unit(rng_);
}

double Sensor::trueMoisture() const {
    if (fixedMoisture_)
        return *fixedMoisture_;
    const double m =
        kMoistureCentre + 3.0 * std::sin(2.0 * kPi * elapsed_ / 900.0) + moistureWalk_ + moistureNoise_;
    return std::max(m, 0.0);
}

double Sensor::trueTemperature() const {
    if (fixedTemperature_)
        return *fixedTemperature_;
    return kTemperatureCentre + 1.5 * std::sin(2.0 * kPi * elapsed_ / 1800.0) + temperatureNoise_;
}

double Sensor::measuredResistance() const {
    // Quantised like the register so the temperature is computed from what the tool can read.
    return toUnsignedRegister((kRawGain * trueResistance() + kRawOffsetOhm) * 100.0) / 100.0;
}

double Sensor::reportedMoisture() const {
    const double scale = params_[kScale] / 10000.0;
    const double offset = static_cast<int16_t>(params_[kMoistureOffset]) / 100.0;
    double fullScale = 100.0;
    if (params_[kRange] == 2)
        fullScale = 50.0;
    else if (params_[kRange] == 3)
        fullScale = 25.0;
    double m = (trueMoisture() * scale + offset) * fullScale / 100.0;
    m = std::min(m, params_[kMoistureMax] / 100.0);
    m = std::max(m, params_[kMoistureMin] / 100.0);
    return std::max(m, 0.0);
}

double Sensor::reportedTemperature() const {
    const double slope = params_[kSlope] / 10000.0;
    const double offset = (static_cast<double>(params_[kOhmOffset]) - 5000.0) / 100.0;
    return cvdTemperature(slope * measuredResistance() + offset);
}

bool Sensor::readRegister(uint16_t reg, uint16_t &value) const {
    if (reg == kMoistureRegister)
        value = toUnsignedRegister(reportedMoisture() * 100.0);
    else if (reg == kTemperatureRegister)
        value = toSignedRegister(reportedTemperature() * 100.0);
    else if (reg >= kFirstParameterRegister && reg < kFirstParameterRegister + 6)
        value = params_[reg - kFirstParameterRegister];
    else if (reg == kResistanceRegister)
        value = toUnsignedRegister(measuredResistance() * 100.0);
    else
        return false;
    return true;
}

bool Sensor::isParameterRegister(uint16_t reg) {
    return reg >= kParameterWriteBase && reg < kParameterWriteBase + 2 * kParameterCount &&
           (reg - kParameterWriteBase) % 2 == 0;
}

bool Sensor::writeParameterRegister(uint16_t reg, uint16_t value) {
    if (!isParameterRegister(reg))
        return false;
    params_[(reg - kParameterWriteBase) / 2] = value;
    return true;
}

} // namespace kvsim

#pragma once
// What the sensor can report, so that a value beyond it is never taken for a measurement:
// a reply sound in every byte can still carry a register the sensor never meant (a probe
// cut off, a converter out of range, another device's register map).
//
// Moisture: 0-100 %. The register is % x 100; the widest hardware range is 0-100 % and the
// moisture maximum tops out at 10000 (100.00 %).
// Temperature: -200.00 to +300.00 degC. A PT100 is defined from -200 degC (18.52 ohm) by the
// Callendar-Van Dusen curve, and the register cannot say more than +300.00: a raw value above
// 30000 reads as negative (30001 is -355.35 degC), so nothing between +300.01 and the PT100's
// +850 degC can be told.
// Resistance: 18.52-390.48 ohm, the PT100 from -200 to +850 degC; an open probe reads near
// the register's top, a shorted one near 0.

#include <QString>

#include <cstdint>

namespace kv::sensor {

struct Limits {
    double low;
    double high;
};

inline constexpr Limits MOISTURE_PERCENT{0.0, 100.0};
inline constexpr Limits TEMPERATURE_CELSIUS{-200.0, 300.0};
inline constexpr Limits RESISTANCE_OHM{18.52, 390.48};

// Why the measurement registers (0 and 1) cannot be what the sensor measured
// ("moisture 655.35 % above 100 %"); empty when both are within the limits.
[[nodiscard]] QString implausibility(std::uint16_t moistureRaw, std::uint16_t temperatureRaw);
// Why the resistance register cannot be a PT100's; empty when it can.
[[nodiscard]] QString implausibleResistance(std::uint16_t resistanceRaw);
// The limits in a few lines, for help texts.
[[nodiscard]] QString plausibilityHelp();

} // namespace kv::sensor

#pragma once
// Register values in their units, with the conversions the window uses, and the
// two-point temperature calibration.

#include <QString>

#include <cstdint>
#include <optional>

namespace kv::sensor {

// Moisture register: % x 100, never negative.
[[nodiscard]] double moisturePercent(std::uint16_t raw);
// Temperature register: degC x 100; as the window reads it, raw values above 30000 are
// negative (raw - 65536).
[[nodiscard]] int temperatureHundredths(std::uint16_t raw);
[[nodiscard]] double temperatureCelsius(std::uint16_t raw);
// Resistance register: ohm x 100.
[[nodiscard]] double resistanceOhm(std::uint16_t raw);

// "30.00", "-2.00": exact decimal texts of hundredths.
[[nodiscard]] QString hundredthsText(long long hundredths);

struct ParameterInfo {
    const char* key;   // name on the command line
    const char* label; // the window's label, in English
    const char* hint;  // what the sensor makes of it, with the range below
    std::uint16_t low; // the range of raw register values the sensor is made for
    std::uint16_t high;
};

[[nodiscard]] const ParameterInfo& parameterInfo(int i);
// Index of a parameter named by its key or its number 0..6; -1 when none.
[[nodiscard]] int parameterIndex(const QString& nameOrIndex);

// True when raw lies in the range the parameter's hint documents.
[[nodiscard]] bool parameterInRange(int i, std::uint16_t raw);

// The register as the window shows it: parameter 0 as raw / 10000 with four decimals,
// the others as the plain number.
[[nodiscard]] QString parameterText(int i, std::uint16_t raw);
// The value in its unit where the register has one ("x 0.9940", "-0.35 ohm"); empty otherwise.
[[nodiscard]] QString parameterMeaning(int i, std::uint16_t raw);

// Whether a whole number can be a register's value.
[[nodiscard]] constexpr bool fitsRegister(double raw) {
    return raw >= 0 && raw <= 65535;
}

// A typed value beyond this either way is refused before any conversion.
inline constexpr float TYPED_LIMIT = 65535.0f;

enum class EncodeError { None, NotANumber, OutOfRange, DoesNotFit };
// Why a typed value cannot be written: "not a number", "outside -65535..65535", "does not
// fit the register"; empty for None.
[[nodiscard]] QString describe(EncodeError error);
struct Encoded {
    EncodeError error = EncodeError::None;
    std::uint16_t raw = 0;
};
// The window's conversion of a typed value: a number within +-TYPED_LIMIT, parameter 0 times
// 10000 in single precision, negatives plus 65536, rounded half to even. Values that
// would not fit the register after that are refused rather than truncated.
[[nodiscard]] Encoded encodeParameter(int i, const QString& text);

// Slope and offset register values through (RA, RL) and (RB, RH):
// LA = (RH - RL) / (RB - RA), register floor(LA x 10000);
// OF = RH - LA x RB rounded to single precision, register floor(OF x 100) + 5000.
// The registers are whole numbers kept as computed, so that a caller sees how far out of
// 0..65535 they fall (the window shows them as they are; the command line refuses them).
struct Calibration {
    double slope = 0;
    double offset = 0;
    double LA = 0;
    double OF = 0;
    // Both register values can be written.
    [[nodiscard]] bool fits() const { return fitsRegister(slope) && fitsRegister(offset); }
};
// Empty when RB - RA is not above zero, or LA x 10000 is not finite, or OF does not fit
// single precision.
[[nodiscard]] std::optional<Calibration> calibrate(double RL, double RH, double RA, double RB);

} // namespace kv::sensor

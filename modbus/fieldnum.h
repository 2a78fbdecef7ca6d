#pragma once
// Conversions of the texts operators type into the window's fields. Every handler
// goes through these, so every field accepts the same notations:
//
//   [blanks] [+|-] digits [. [digits]] [e|E [+|-] digits] [blanks]
//   [blanks] [+|-] . digits [e|E [+|-] digits] [blanks]
//
// Blanks are spaces and tabs. The decimal point is always '.', whatever the
// user's locale; no thousands separators, no hex, no currency. Empty text, a lone
// sign or point, and values too large for a double (1e400) are not numbers.

#include <QString>

#include <cstdint>
#include <optional>

namespace kv::num {

// Whether the text follows the grammar above, whatever its magnitude.
[[nodiscard]] bool isNumeral(const QString& text);
// The text as a double, when it reads as a number. A value too small for the type
// reads as zero (with its sign).
[[nodiscard]] std::optional<double> readNumber(const QString& text);
// The text as a single-precision number, rounded once from the decimal text.
[[nodiscard]] std::optional<float> readSingle(const QString& text);

// Rounded towards minus infinity. Empty when not finite or beyond +-2^53.
[[nodiscard]] std::optional<long long> floorOf(double value);
// Rounded to the nearest whole number, halves to the even neighbour (2.5 -> 2, 3.5 -> 4).
[[nodiscard]] std::optional<long long> roundEven(double value);

[[nodiscard]] std::optional<long long> floorOf(const QString& text);
[[nodiscard]] std::optional<long long> roundEven(const QString& text);

// value / 10^decimals with at least intDigits integer digits: "#00.00" is (v, 2, 2),
// "#0.00" is (v, 1, 2), "#0.0000" is (v, 1, 4). Always a '.' as the point. The window's
// fields and the sensor's values in the command line and the monitor are written so.
[[nodiscard]] QString formatScaled(long long value, int intDigits, int decimals);

// A byte 0..255 from a whole number; empty outside.
[[nodiscard]] std::optional<std::uint8_t> asByte(std::optional<long long> value);
// As asByte, but a value that is missing or does not fit leaves the frame byte at 0.
[[nodiscard]] inline std::uint8_t byteOr0(std::optional<long long> value) { return asByte(value).value_or(0); }

} // namespace kv::num

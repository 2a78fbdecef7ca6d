#pragma once
// A second reading of field numbers, written from the accepted grammar alone (see
// docs/window.md, "Numbers in fields"): a regular expression decides what is a number, the C
// library converts it. Only for fuzzing, in the "C" locale.

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <regex>
#include <string>

namespace kv::ref {

inline bool isNumeral(const std::string& text) {
    static const std::regex grammar(R"(^[ \t]*[+-]?([0-9]+(\.[0-9]*)?|\.[0-9]+)([eE][+-]?[0-9]+)?[ \t]*$)",
                                    std::regex::ECMAScript | std::regex::optimize);
    return std::regex_match(text, grammar);
}

// Without blanks and a leading '+', which strtod would take anyway.
inline std::string trimmed(const std::string& text) {
    const auto b = text.find_first_not_of(" \t");
    const auto e = text.find_last_not_of(" \t");
    return b == std::string::npos ? std::string() : text.substr(b, e - b + 1);
}

inline std::optional<double> readNumber(const std::string& text) {
    if (!isNumeral(text))
        return std::nullopt;
    const double v = std::strtod(trimmed(text).c_str(), nullptr);
    if (std::isinf(v))
        return std::nullopt; // beyond a double
    return v;
}

inline std::optional<float> readSingle(const std::string& text) {
    if (!isNumeral(text))
        return std::nullopt;
    const float v = std::strtof(trimmed(text).c_str(), nullptr);
    if (std::isinf(v))
        return std::nullopt;
    return v;
}

// Halves to the even neighbour, by the floating-point unit's own rounding.
inline std::optional<long long> roundEven(double v) {
    if (!std::isfinite(v))
        return std::nullopt;
    const double r = std::nearbyint(v);
    if (std::fabs(r) > 9007199254740992.0)
        return std::nullopt;
    return static_cast<long long>(r);
}

inline std::optional<long long> floorOf(double v) {
    if (!std::isfinite(v))
        return std::nullopt;
    const long double f = std::floor(static_cast<long double>(v));
    if (std::fabs(f) > 9007199254740992.0L)
        return std::nullopt;
    return static_cast<long long>(f);
}

} // namespace kv::ref

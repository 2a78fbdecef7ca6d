#include "modbus/fieldnum.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>

namespace kv::num {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The trimmed text without a leading '+', when it matches the accepted grammar.
std::optional<std::string> canonical(const QString& text) {
    const QByteArray latin = text.toLatin1();
    if (text.size() != latin.size())
        return std::nullopt;
    std::string s(latin.constData(), static_cast<std::size_t>(latin.size()));
    // toLatin1 maps characters outside Latin-1 to '?', which the grammar refuses.
    std::size_t b = 0, e = s.size();
    while (b < e && isBlank(s[b]))
        ++b;
    while (e > b && isBlank(s[e - 1]))
        --e;
    s = s.substr(b, e - b);

    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        ++i;
    std::size_t digits = 0;
    while (i < s.size() && isDigit(s[i]))
        ++i, ++digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && isDigit(s[i]))
            ++i, ++digits;
    }
    if (digits == 0)
        return std::nullopt;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-'))
            ++i;
        std::size_t expDigits = 0;
        while (i < s.size() && isDigit(s[i]))
            ++i, ++expDigits;
        if (expDigits == 0)
            return std::nullopt;
    }
    if (i != s.size())
        return std::nullopt;
    if (s[0] == '+')
        s.erase(0, 1);
    return s;
}

// For a canonical numeral that does not fit the type: whether it is too small rather
// than too large, told by the decimal exponent of its first non-zero digit.
bool tooSmall(const std::string& s) {
    constexpr long long kSaturate = 1000000000;
    std::size_t i = s[0] == '-' ? 1 : 0;
    long long lead = 0; // decimal exponent of the first non-zero digit
    bool found = false, afterPoint = false;
    long long intDigits = 0, zerosAfterPoint = 0;
    for (; i < s.size() && s[i] != 'e' && s[i] != 'E'; ++i) {
        if (s[i] == '.') {
            afterPoint = true;
        } else if (!found && s[i] == '0') {
            if (afterPoint)
                ++zerosAfterPoint;
        } else if (!found) {
            found = true;
            lead = afterPoint ? -(zerosAfterPoint + 1) : 0;
            intDigits = afterPoint ? 0 : 1;
        } else if (!afterPoint) {
            ++intDigits;
        }
    }
    if (!found)
        return true;
    if (intDigits > 0)
        lead = intDigits - 1;
    long long exponent = 0;
    if (i < s.size()) {
        ++i;
        const bool negative = i < s.size() && s[i] == '-';
        if (i < s.size() && (s[i] == '-' || s[i] == '+'))
            ++i;
        for (; i < s.size(); ++i)
            exponent = std::min(kSaturate, exponent * 10 + (s[i] - '0'));
        if (negative)
            exponent = -exponent;
    }
    return lead + exponent < 0;
}

template <class T> std::optional<T> parse(const QString& text) {
    const auto s = canonical(text);
    if (!s)
        return std::nullopt;
    T value{};
    const auto [end, ec] = std::from_chars(s->data(), s->data() + s->size(), value);
    if (ec == std::errc::result_out_of_range && end == s->data() + s->size() && tooSmall(*s))
        return (*s)[0] == '-' ? -T(0) : T(0); // rounds to zero, as any reader of decimals does
    if (ec != std::errc() || end != s->data() + s->size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

constexpr double kExactLimit = 9007199254740992.0; // 2^53

} // namespace

bool isNumeral(const QString& text) { return canonical(text).has_value(); }
std::optional<double> readNumber(const QString& text) { return parse<double>(text); }
std::optional<float> readSingle(const QString& text) { return parse<float>(text); }

std::optional<long long> floorOf(double value) {
    if (!std::isfinite(value))
        return std::nullopt;
    const double f = std::floor(value);
    if (f < -kExactLimit || f > kExactLimit)
        return std::nullopt;
    return static_cast<long long>(f);
}

std::optional<long long> roundEven(double value) {
    if (!std::isfinite(value))
        return std::nullopt;
    double f = std::floor(value);
    const double frac = value - f; // exact for doubles
    if (frac > 0.5 || (frac == 0.5 && std::fmod(f, 2.0) != 0.0))
        f += 1.0;
    if (f < -kExactLimit || f > kExactLimit)
        return std::nullopt;
    return static_cast<long long>(f);
}

std::optional<long long> floorOf(const QString& text) {
    const auto v = readNumber(text);
    return v ? floorOf(*v) : std::nullopt;
}

std::optional<long long> roundEven(const QString& text) {
    const auto v = readNumber(text);
    return v ? roundEven(*v) : std::nullopt;
}

std::optional<std::uint8_t> asByte(std::optional<long long> value) {
    if (!value || *value < 0 || *value > 255)
        return std::nullopt;
    return static_cast<std::uint8_t>(*value);
}

QString formatScaled(long long value, int intDigits, int decimals) {
    long long scale = 1;
    for (int d = 0; d < decimals; ++d)
        scale *= 10;
    const unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                                   : static_cast<unsigned long long>(value);
    const QString whole = QString::number(magnitude / static_cast<unsigned long long>(scale))
                              .rightJustified(intDigits, QLatin1Char('0'));
    const QString frac = QString::number(magnitude % static_cast<unsigned long long>(scale))
                             .rightJustified(decimals, QLatin1Char('0'));
    return (value < 0 ? QStringLiteral("-") : QString()) + whole + QLatin1Char('.') + frac;
}

} // namespace kv::num

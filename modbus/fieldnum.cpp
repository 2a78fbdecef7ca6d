#include "modbus/fieldnum.h"

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

template <class T> std::optional<T> parse(const QString& text) {
    const auto s = canonical(text);
    if (!s)
        return std::nullopt;
    T value{};
    const auto [end, ec] = std::from_chars(s->data(), s->data() + s->size(), value);
    if (ec != std::errc() || end != s->data() + s->size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

constexpr double kExactLimit = 9007199254740992.0; // 2^53

} // namespace

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

} // namespace kv::num

#pragma once
// The character format of a serial line: 8 data bits, a parity bit or none, one or two stop
// bits. Its length in bits sets how long a frame takes and how long the silence between
// frames must be.

#include <QString>

#include <optional>
#include <vector>

namespace kv {

enum class Parity { None, Even, Odd };

struct LineFormat {
    Parity parity = Parity::None;
    int stopBits = 1; // 1 or 2

    // Start, 8 data, the parity bit if any, the stop bits: 10 at 8N1, 11 at 8E1 or 8N2.
    [[nodiscard]] int bitsPerCharacter() const { return 1 + 8 + (parity == Parity::None ? 0 : 1) + stopBits; }
    [[nodiscard]] bool operator==(const LineFormat& o) const {
        return parity == o.parity && stopBits == o.stopBits;
    }
    [[nodiscard]] bool operator!=(const LineFormat& o) const { return !(*this == o); }
};

// "8N1", "8E1", "8O2".
[[nodiscard]] QString formatName(const LineFormat& format);
// "none", "even", "odd".
[[nodiscard]] const char* parityName(Parity parity);
// The parity a name gives ("none", "even", "odd", any case); none for another word.
[[nodiscard]] std::optional<Parity> parityFromName(const QString& name);

// The formats a scan tries when asked for every parity: the usual 8N1, the even and odd
// parity Modbus masters and sensors use, and 8N2, which the Modbus serial line standard asks
// for when there is no parity; or each parity at the stop bits given.
[[nodiscard]] std::vector<LineFormat> everyFormat(std::optional<int> stopBits = std::nullopt);

} // namespace kv

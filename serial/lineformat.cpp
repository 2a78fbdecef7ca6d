#include "serial/lineformat.h"

namespace kv {

const char* parityName(Parity parity) {
    switch (parity) {
    case Parity::Even:
        return "even";
    case Parity::Odd:
        return "odd";
    case Parity::None:
        break;
    }
    return "none";
}

QString formatName(const LineFormat& format) {
    const char letter = format.parity == Parity::Even ? 'E' : format.parity == Parity::Odd ? 'O' : 'N';
    return QStringLiteral("8%1%2").arg(QLatin1Char(letter)).arg(format.stopBits);
}

std::optional<Parity> parityFromName(const QString& name) {
    for (Parity p : {Parity::None, Parity::Even, Parity::Odd})
        if (name.compare(QLatin1String(parityName(p)), Qt::CaseInsensitive) == 0) return p;
    return std::nullopt;
}

std::vector<LineFormat> everyFormat(std::optional<int> stopBits) {
    if (stopBits) return {{Parity::None, *stopBits}, {Parity::Even, *stopBits}, {Parity::Odd, *stopBits}};
    return {{Parity::None, 1}, {Parity::Even, 1}, {Parity::Odd, 1}, {Parity::None, 2}};
}

} // namespace kv

#include "cli/addresslist.h"

#include "sensor/protocol.h"

#include <QRegularExpression>
#include <QString>

#include <set>

namespace kv::cli {

std::vector<int> parseAddressList(const std::string& text) {
    static const QRegularExpression item(QStringLiteral("^\\s*([0-9]{1,3})\\s*(?:-\\s*([0-9]{1,3})\\s*)?$"));
    std::set<int> out;
    for (const QString& part : QString::fromStdString(text).split(QLatin1Char(','))) {
        const auto m = item.match(part);
        if (!m.hasMatch()) return {};
        const int from = m.captured(1).toInt();
        const int to = m.captured(2).isEmpty() ? from : m.captured(2).toInt();
        if (from < sensor::MIN_ADDRESS || to > sensor::MAX_ADDRESS || from > to) return {};
        for (int a = from; a <= to; ++a)
            out.insert(a);
    }
    return {out.begin(), out.end()};
}

std::string formatAddressList(const std::vector<int>& sorted) {
    std::string out;
    for (std::size_t i = 0; i < sorted.size();) {
        std::size_t j = i;
        while (j + 1 < sorted.size() && sorted[j + 1] == sorted[j] + 1)
            ++j;
        if (!out.empty()) out += ',';
        out += std::to_string(sorted[i]);
        if (j - i >= 2)
            out += '-' + std::to_string(sorted[j]);
        else if (j == i + 1)
            out += ',' + std::to_string(sorted[j]);
        i = j + 1;
    }
    return out;
}

} // namespace kv::cli

// scan: every sensor on the line, at every rate. First the address read at each rate
// (whoever is connected answers device 250); then a sweep of addresses at the rates
// where several answered at once, or everywhere when the address read found nobody.

#include "cli/commands.h"
#include "cli/report.h"
#include "sensor/values.h"

#include <QRegularExpression>

#include <algorithm>
#include <set>

namespace kv::cli {
namespace {

struct Found {
    int rate;
    int address;
};

// One measurement at the address; the line printed for the find.
QString describeFind(Session& s, int address) {
    const Result r =
        s.request(sensor::measurementRequest(static_cast<std::uint8_t>(address)),
                  sensor::expectRead(sensor::measurementRequest(static_cast<std::uint8_t>(address))),
                  s.retries(), RetryOn::LineErrors);
    QString line = QStringLiteral("found: rate %1, address %2").arg(s.rate()).arg(address);
    if (r.ok())
        return line + QStringLiteral(", moisture %1 %, temperature %2 C")
                          .arg(sensor::hundredthsText(r.reply.registers[0]),
                               sensor::hundredthsText(sensor::temperatureHundredths(r.reply.registers[1])));
    return line + QStringLiteral(", measurement failed: %1").arg(r.detail);
}

// The text as one word of a POSIX shell: quoted only when it needs to be.
QString shellWord(const QString& text) {
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./:@%+=-]+$"));
    if (plain.match(text).hasMatch()) return text;
    QString q = text;
    q.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + q + QLatin1Char('\'');
}

} // namespace

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

int runScan(Session& s, const ScanOptions& o) {
    std::vector<int> addresses = o.addresses;
    if (addresses.empty())
        for (int a = sensor::MIN_ADDRESS; a <= sensor::MAX_ADDRESS; ++a)
            addresses.push_back(a);

    std::vector<Found> found;
    std::vector<int> garbled;  // rates where several answered at once, or one answered badly
    Progress progress(static_cast<int>(o.rates.size()));
    auto finish = [&] {
        progress.clear();
        if (stopRequested()) error(QStringLiteral("scan interrupted"));
        print(QStringLiteral("%1 sensor(s) found").arg(found.size()));
        // For each rate, the options that read every sensor found there, ready to paste.
        std::vector<int> rates;
        for (const Found& f : found)
            if (std::find(rates.begin(), rates.end(), f.rate) == rates.end()) rates.push_back(f.rate);
        for (int rate : rates) {
            std::vector<int> at;
            for (const Found& f : found)
                if (f.rate == rate) at.push_back(f.address);
            std::sort(at.begin(), at.end());
            at.erase(std::unique(at.begin(), at.end()), at.end());
            print(QStringLiteral("read them with: kv7702r read --port ") + shellWord(s.device()) +
                  QStringLiteral(" --rate ") + QString::number(rate) + QStringLiteral(" --address ") +
                  QString::fromStdString(formatAddressList(at)));
        }
        return found.empty() ? EXIT_NO_REPLY : EXIT_OK;
    };

    for (int rate : o.rates) {
        if (stopRequested()) break;
        progress.step(QStringLiteral("%1 baud, address read").arg(rate));
        if (!s.setRate(rate)) {
            progress.clear();
            error(QStringLiteral("the port refuses %1 baud; skipped").arg(rate));
            continue;
        }
        // A garbled answer here is itself the news (several answering at once): no retry.
        const Result r =
            s.request(sensor::addressReadRequest(), sensor::expectAddressRead(), 0, RetryOn::GarbledOnly);
        if (r.ok()) {
            progress.clear();
            print(describeFind(s, r.reply.address));
            found.push_back({rate, r.reply.address});
            if (o.first) return finish();
        } else if (r.kind == Result::Lost) {
            progress.clear();
            error(r.detail);
            return EXIT_NO_REPLY;
        } else if (r.kind == Result::Bad || r.kind == Result::Exception) {
            garbled.push_back(rate);
        }
    }
    progress.clear();
    auto contains = [](const std::vector<int>& v, int x) {
        return std::find(v.begin(), v.end(), x) != v.end();
    };
    // Silent rates are swept only when nobody answered anywhere: sweeping them after a find
    // costs seconds per rate on a line where one rate is in use.
    std::vector<int> sweepRates;
    for (int rate : o.rates)
        if (contains(garbled, rate) || o.sweepAll || found.empty())
            sweepRates.push_back(rate);

    const int steps = static_cast<int>(sweepRates.size() * addresses.size());
    Progress sweep(steps);
    for (int rate : sweepRates) {
        if (stopRequested() || !s.setRate(rate)) continue;
        for (int address : addresses) {
            if (stopRequested()) break;
            sweep.step(QStringLiteral("%1 baud, address %2").arg(rate).arg(address));
            const bool known = std::any_of(found.begin(), found.end(), [&](const Found& f) {
                return f.rate == rate && f.address == address;
            });
            if (known) continue;
            const auto frame = sensor::measurementRequest(static_cast<std::uint8_t>(address));
            // Silence is the common answer of a sweep; only garbled replies are worth a retry.
            const Result r = s.request(frame, sensor::expectRead(frame), s.retries(), RetryOn::GarbledOnly);
            if (r.kind == Result::Lost) {
                sweep.clear();
                error(r.detail);
                return EXIT_NO_REPLY;
            }
            if (r.ok() || r.kind == Result::Exception) {
                sweep.clear();
                if (r.ok())
                    print(QStringLiteral("found: rate %1, address %2, moisture %3 %, temperature %4 C")
                              .arg(rate)
                              .arg(address)
                              .arg(sensor::hundredthsText(r.reply.registers[0]),
                                   sensor::hundredthsText(
                                       sensor::temperatureHundredths(r.reply.registers[1]))));
                else
                    print(QStringLiteral("found: rate %1, address %2, answers with %3")
                              .arg(rate)
                              .arg(address)
                              .arg(r.detail));
                found.push_back({rate, address});
                if (o.first) {
                    sweep.clear();
                    return finish();
                }
            } else if (r.kind == Result::Bad) {
                sweep.clear();
                error(QStringLiteral("rate %1, address %2: %3").arg(rate).arg(address).arg(r.detail));
            }
        }
    }
    sweep.clear();
    return finish();
}

} // namespace kv::cli

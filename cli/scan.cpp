// scan: every sensor on the line, at every rate. First the address read at each rate
// (whoever is connected answers device 250); then a sweep of addresses at the rates
// where several answered at once, or everywhere when the address read found nobody.

#include "cli/commands.h"
#include "cli/report.h"
#include "sensor/values.h"

#include <QRegularExpression>

#include <algorithm>
#include <cmath>
#include <set>

namespace kv::cli {
namespace {

struct Found {
    int rate;
    int address;
};

// A probe waits for a prompt sensor only; what comes later is heard in the grace period
// (or, in a sweep, during the next probes, by the address it carries) and confirmed at the
// full timeout.
constexpr int kProbeMarginMs = 50;
constexpr int kSweepMarginMs = 25;
constexpr int kSweepGraceMs = 20;
// The address read listens this long after its probe: a silent rate costs this much, and a
// sensor slower than probe plus grace is found by the sweep instead.
constexpr int kAddressReadGraceMs = 400;
constexpr int kFunctionRead = 0x03;

// Request and longest reply on the wire, the frame gap and a margin.
int probeTimeoutMs(int rate, const sensor::Expectation& expect, int marginMs) {
    return static_cast<int>(
               std::ceil(lineTimeMs(8 + sensor::longestReply(expect), rate) + frameSilenceMs(rate))) +
           marginMs;
}

// The address a burst of bytes comes from, when it looks like a sensor's read reply or
// its exception; 0 otherwise.
int senderOf(const QByteArray& bytes) {
    if (bytes.size() < 2) return 0;
    const int address = static_cast<std::uint8_t>(bytes[0]);
    const int function = static_cast<std::uint8_t>(bytes[1]) & ~sensor::MODBUS_EXCEPTION_FLAG;
    return address >= sensor::MIN_ADDRESS && address <= sensor::MAX_ADDRESS && function == kFunctionRead
               ? address
               : 0;
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
    std::vector<int> garbled; // rates where several answered at once, or one answered badly
    std::set<int> heardFrom;  // addresses late bytes came from, to confirm
    s.line().setUnexpectedObserver([&heardFrom](const QByteArray& bytes) {
        if (const int a = senderOf(bytes)) heardFrom.insert(a);
    });
    auto known = [&](int rate, int address) {
        return std::any_of(found.begin(), found.end(),
                           [&](const Found& f) { return f.rate == rate && f.address == address; });
    };
    auto finish = [&](Progress& progress) {
        progress.clear();
        s.line().setUnexpectedObserver({});
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
    // A sensor that answers a measurement, even with an exception, is there.
    auto report = [&](Progress& progress, int rate, int address, const Result& r) {
        progress.clear();
        print(QStringLiteral("found: rate %1, address %2, %3")
                  .arg(rate)
                  .arg(address)
                  .arg(r.ok() ? measurementText(r.reply) : QStringLiteral("answers with ") + r.detail));
        found.push_back({rate, address});
    };
    // A measurement at the full timeout.
    auto confirm = [&](Progress& progress, int rate, int address) {
        const auto frame = sensor::measurementRequest(static_cast<std::uint8_t>(address));
        Result r = s.request(frame, sensor::expectRead(frame), s.retries(), RetryOn::LineErrors);
        if (r.ok() || r.kind == Result::Exception) report(progress, rate, address, r);
        return r;
    };
    // The port went away: say so, with what was found until then.
    auto portLost = [&](Progress& progress, const Result& r) {
        progress.clear();
        error(r.detail);
        finish(progress);
        return static_cast<int>(EXIT_NO_REPLY);
    };

    Progress progress(static_cast<int>(o.rates.size()));
    for (int rate : o.rates) {
        if (stopRequested()) break;
        progress.step(QStringLiteral("%1 baud, address read").arg(rate));
        if (!s.setRate(rate)) {
            progress.clear();
            error(QStringLiteral("the port refuses %1 baud; skipped").arg(rate));
            continue;
        }
        const auto expect = sensor::expectAddressRead();
        // A garbled answer here is itself the news (several answering at once): no retry.
        Result r = s.request(sensor::addressReadRequest(), expect, 0, RetryOn::GarbledOnly,
                             {probeTimeoutMs(rate, expect, kProbeMarginMs), kAddressReadGraceMs});
        if (r.kind == Result::Timeout && !r.heard.isEmpty()) {
            // Something answered after the probe's timeout: ask again at the full one.
            r = s.request(sensor::addressReadRequest(), expect, 0, RetryOn::GarbledOnly);
        }
        heardFrom.clear();
        if (r.kind == Result::Lost) return portLost(progress, r);
        if (r.ok()) {
            const Result confirmed = confirm(progress, rate, r.reply.address);
            if (confirmed.kind == Result::Lost) return portLost(progress, confirmed);
            if (!known(rate, r.reply.address)) {
                progress.clear();
                print(QStringLiteral("found: rate %1, address %2, measurement failed")
                          .arg(rate)
                          .arg(r.reply.address));
                found.push_back({rate, r.reply.address});
            }
            if (o.first) return finish(progress);
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
        if (contains(garbled, rate) || o.sweepAll || found.empty()) sweepRates.push_back(rate);

    Progress sweep(static_cast<int>(sweepRates.size() * addresses.size()));
    for (int rate : sweepRates) {
        if (stopRequested() || !s.setRate(rate)) continue;
        heardFrom.clear();
        for (int address : addresses) {
            if (stopRequested()) break;
            sweep.step(QStringLiteral("%1 baud, address %2").arg(rate).arg(address));
            if (!known(rate, address)) {
                const auto frame = sensor::measurementRequest(static_cast<std::uint8_t>(address));
                const auto expect = sensor::expectRead(frame);
                // Silence is the common answer of a sweep: one short probe, no retry.
                const Result r = s.request(frame, expect, 0, RetryOn::GarbledOnly,
                                           {probeTimeoutMs(rate, expect, kSweepMarginMs), kSweepGraceMs});
                if (r.kind == Result::Lost) return portLost(sweep, r);
                if (const int from = senderOf(r.heard)) heardFrom.insert(from);
                if (r.ok() || r.kind == Result::Exception) {
                    report(sweep, rate, address, r);
                    heardFrom.erase(address);
                } else if (r.kind == Result::Bad && senderOf(r.heard) == address) {
                    sweep.clear();
                    error(QStringLiteral("rate %1, address %2: %3").arg(rate).arg(address).arg(r.detail));
                }
            }
            // Whoever answered late, this probe's address or an earlier one, is asked properly.
            while (!heardFrom.empty() && !stopRequested()) {
                const int candidate = *heardFrom.begin();
                heardFrom.erase(heardFrom.begin());
                if (known(rate, candidate)) continue;
                const Result confirmed = confirm(sweep, rate, candidate);
                if (confirmed.kind == Result::Lost) return portLost(sweep, confirmed);
            }
            if (o.first && !found.empty()) return finish(sweep);
        }
    }
    return finish(sweep);
}

} // namespace kv::cli

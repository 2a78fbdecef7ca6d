// scan: every sensor on the line, at every rate. First the address read at each rate
// (whoever is connected answers device 250); then a sweep of addresses at the rates
// where several answered at once, or everywhere when the address read found nobody.

#include "cli/commands.h"
#include "cli/report.h"
#include "sensor/values.h"

#include <QRegularExpression>

#include <algorithm>
#include <cmath>
#include <optional>
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

// Request and longest reply on the wire, the frame gap and a margin.
int probeTimeoutMs(int rate, const sensor::Expectation& expect, int marginMs) {
    return static_cast<int>(
               std::ceil(lineTimeMs(8 + sensor::longestReply(expect), rate) + frameSilenceMs(rate))) +
           marginMs;
}

// Through a device server a probe also crosses the network, both ways.
constexpr int kNetworkMarginMs = 100;

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
    // Behind a device server or a gateway the bus's rate is set there, not found from here:
    // only the sweep, at the rate given for its timing. A gateway answers each probe itself
    // in its own time, so its probes wait the full timeout.
    const LinkFacts link = s.link().facts();
    const std::vector<int> scanRates = link.setsRate ? o.rates : std::vector<int>{s.rate()};
    auto sweepTimeoutMs = [&](int rate, const sensor::Expectation& expect) {
        if (link.matchesReplies) return s.timeoutMs();
        return probeTimeoutMs(rate, expect, kSweepMarginMs) + (link.setsRate ? 0 : kNetworkMarginMs);
    };
    std::vector<int> addresses = o.addresses;
    if (addresses.empty())
        for (int a = sensor::MIN_ADDRESS; a <= sensor::MAX_ADDRESS; ++a)
            addresses.push_back(a);

    std::vector<Found> found;
    std::vector<int> garbled; // rates where several answered at once, or one answered badly
    std::set<int> heard;      // addresses a reply came from at this rate, late or not, to confirm
    std::set<int> tried;      // addresses confirmed (or tried) at this rate: each is asked once
    auto known = [&](int rate, int address) {
        return std::any_of(found.begin(), found.end(),
                           [&](const Found& f) { return f.rate == rate && f.address == address; });
    };
    auto hear = [&](const Result& r) {
        for (const auto& entry : r.tally.late)
            if (entry.first >= sensor::MIN_ADDRESS && entry.first <= sensor::MAX_ADDRESS)
                heard.insert(entry.first);
    };
    auto finish = [&](Progress& progress) {
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
            // Behind a server the rate is not the tool's to set.
            const QString rateOption =
                link.setsRate ? QStringLiteral(" --rate ") + QString::number(rate) : QString();
            print(QStringLiteral("read them with: kv7702r read --port ") + shellWord(s.device()) +
                  rateOption + QStringLiteral(" --address ") + QString::fromStdString(formatAddressList(at)));
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
    // A lost port or an echoing adapter ends the scan: said, with what was found until then.
    auto fatal = [](const Result& r) { return r.outcome == Outcome::Lost || r.outcome == Outcome::Echo; };
    auto abort = [&](Progress& progress, const Result& r) {
        progress.clear();
        error(r.detail);
        finish(progress);
        return r.outcome == Outcome::Echo ? static_cast<int>(EXIT_DEVICE) : static_cast<int>(EXIT_NO_REPLY);
    };
    // A measurement at the full timeout, once per address and rate.
    auto confirm = [&](Progress& progress, int rate, int address) {
        tried.insert(address);
        const auto frame = sensor::measurementRequest(static_cast<std::uint8_t>(address));
        Result r = s.request(frame, sensor::expectRead(frame), s.retries(), RetryOn::LineErrors);
        hear(r);
        if (r.ok() || r.outcome == Outcome::Exception) report(progress, rate, address, r);
        return r;
    };
    // Whoever was heard and is not known yet is asked properly; a fatal result ends it.
    auto confirmHeard = [&](Progress& progress, int rate) -> std::optional<Result> {
        while (!heard.empty() && !stopRequested()) {
            const int candidate = *heard.begin();
            heard.erase(heard.begin());
            if (known(rate, candidate) || tried.count(candidate) > 0) continue;
            Result r = confirm(progress, rate, candidate);
            if (fatal(r)) return r;
        }
        return std::nullopt;
    };

    Progress progress(static_cast<int>(o.rates.size()));
    for (int rate : link.setsRate ? o.rates : std::vector<int>{}) {
        if (stopRequested()) break;
        progress.step(QStringLiteral("%1 baud, address read").arg(rate));
        if (!s.setRate(rate)) {
            progress.clear();
            error(QStringLiteral("the port refuses %1 baud; skipped").arg(rate));
            continue;
        }
        heard.clear();
        tried.clear();
        // Every sensor that answers within the window is heard; a garbled answer is itself the
        // news (several answering at once): no retry.
        const auto expect = sensor::expectAddressRead();
        const Result r = s.addressRead(0, RetryOn::GarbledOnly,
                                       {probeTimeoutMs(rate, expect, kProbeMarginMs), kAddressReadGraceMs});
        if (fatal(r)) return abort(progress, r);
        hear(r);
        for (const line::Answer& a : r.answers) {
            const int address = a.reply.address;
            if (known(rate, address)) continue;
            const Result confirmed = confirm(progress, rate, address);
            if (fatal(confirmed)) return abort(progress, confirmed);
            if (!known(rate, address)) {
                progress.clear();
                print(
                    QStringLiteral("found: rate %1, address %2, measurement failed").arg(rate).arg(address));
                found.push_back({rate, address});
            }
        }
        if (const auto bad = confirmHeard(progress, rate)) return abort(progress, *bad);
        if (r.outcome == Outcome::Garbled || r.tally.noise > 0) garbled.push_back(rate);
        if (o.first && !found.empty()) return finish(progress);
    }
    progress.clear();
    auto contains = [](const std::vector<int>& v, int x) {
        return std::find(v.begin(), v.end(), x) != v.end();
    };
    // Silent rates are swept only when nobody answered anywhere: sweeping them after a find
    // costs seconds per rate on a line where one rate is in use.
    std::vector<int> sweepRates;
    for (int rate : scanRates)
        if (contains(garbled, rate) || o.sweepAll || found.empty()) sweepRates.push_back(rate);

    Progress sweep(static_cast<int>(sweepRates.size() * addresses.size()));
    for (int rate : sweepRates) {
        if (stopRequested() || !s.setRate(rate)) continue;
        heard.clear();
        tried.clear();
        for (int address : addresses) {
            if (stopRequested()) break;
            sweep.step(QStringLiteral("%1 baud, address %2").arg(rate).arg(address));
            if (!known(rate, address)) {
                const auto frame = sensor::measurementRequest(static_cast<std::uint8_t>(address));
                const auto expect = sensor::expectRead(frame);
                // Silence is the common answer of a sweep: one short probe, no retry.
                const Result r = s.request(frame, expect, 0, RetryOn::GarbledOnly,
                                           {sweepTimeoutMs(rate, expect), kSweepGraceMs});
                if (fatal(r)) return abort(sweep, r);
                hear(r);
                if (r.ok() || r.outcome == Outcome::Exception) {
                    report(sweep, rate, address, r);
                } else if (r.outcome == Outcome::Garbled) {
                    sweep.clear();
                    error(QStringLiteral("rate %1, address %2: %3").arg(rate).arg(address).arg(r.detail));
                }
            }
            // Whoever answered late, this probe's address or an earlier one, is asked properly.
            if (const auto bad = confirmHeard(sweep, rate)) return abort(sweep, *bad);
            if (o.first && !found.empty()) return finish(sweep);
        }
        // The last probes' late answers come after the sweep.
        if (!stopRequested()) hear(s.listen(kAddressReadGraceMs));
        if (const auto bad = confirmHeard(sweep, rate)) return abort(sweep, *bad);
        if (o.first && !found.empty()) return finish(sweep);
    }
    return finish(sweep);
}

} // namespace kv::cli

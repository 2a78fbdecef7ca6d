// scan: every sensor on the line, at every rate. First the address read at each rate
// (whoever is connected answers device 250); then a sweep of addresses at the rates
// where several answered at once, or everywhere when the address read found nobody.
// Whoever is heard on the way, late or not, is confirmed by a measurement at the full
// timeout, and the end says what was found with the options that read it.

#include "cli/addresslist.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "cli/progress.h"
#include "cli/readings.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <set>

namespace kv::cli {
namespace {

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

// A lost port or an echoing adapter ends the scan.
bool fatal(const Result& r) {
    return r.outcome == Outcome::Lost || r.outcome == Outcome::Echo;
}

class Scan {
public:
    Scan(Session& session, const ScanOptions& options);
    [[nodiscard]] int run();

private:
    struct Found {
        int rate;
        int address;
    };
    // Each step gives the exit code when the scan ends in it.
    using Ended = std::optional<int>;

    [[nodiscard]] Ended addressRead(int rate, Progress& bar);
    [[nodiscard]] Ended sweep(int rate, Progress& bar);
    [[nodiscard]] Ended probe(int rate, int address, Progress& bar);
    [[nodiscard]] Result confirm(int rate, int address, Progress& bar);
    [[nodiscard]] Ended confirmHeard(int rate, Progress& bar);
    [[nodiscard]] Ended endIfFirst(Progress& bar);
    [[nodiscard]] std::vector<int> sweepRates() const;
    [[nodiscard]] int sweepTimeoutMs(int rate, const sensor::Expectation& expect) const;
    void startRate();
    void hear(const Result& r);
    [[nodiscard]] bool known(int rate, int address) const;
    void found(int rate, int address, const QString& what, Progress& bar);
    // What was found, with the options that read it; exit 3 when nothing was.
    int report(Progress& bar);
    // A fatal result: said, with what was found until then.
    int abort(const Result& r, Progress& bar);

    Session& s_;
    const ScanOptions& o_;
    // Behind a device server or a gateway the bus's rate is set there, not found from here:
    // only the sweep, at the rate given for its timing.
    const LinkFacts link_;
    std::vector<int> addresses_;
    std::vector<Found> found_;
    std::vector<int> garbled_; // rates where several answered at once, or one answered badly
    std::set<int> heard_;      // addresses a reply came from at this rate, late or not, to confirm
    std::set<int> tried_;      // addresses confirmed (or tried) at this rate: each is asked once
};

Scan::Scan(Session& session, const ScanOptions& options)
    : s_(session), o_(options), link_(session.linkFacts()), addresses_(options.addresses) {
    if (addresses_.empty())
        for (int a = sensor::MIN_ADDRESS; a <= sensor::MAX_ADDRESS; ++a)
            addresses_.push_back(a);
}

int Scan::run() {
    Progress bar(static_cast<int>(o_.rates.size()));
    for (int rate : link_.setsRate ? o_.rates : std::vector<int>{}) {
        if (stopRequested()) break;
        bar.step(QStringLiteral("%1 baud, address read").arg(rate));
        if (!s_.setRate(rate)) {
            bar.clear();
            error(QStringLiteral("the port refuses %1 baud; skipped").arg(rate));
            continue;
        }
        if (const Ended end = addressRead(rate, bar)) return *end;
    }
    bar.clear();
    const std::vector<int> rates = sweepRates();
    Progress sweepBar(static_cast<int>(rates.size() * addresses_.size()));
    for (int rate : rates) {
        if (stopRequested() || !s_.setRate(rate)) continue;
        if (const Ended end = sweep(rate, sweepBar)) return *end;
    }
    return report(sweepBar);
}

Scan::Ended Scan::addressRead(int rate, Progress& bar) {
    startRate();
    // Every sensor that answers within the window is heard; a garbled answer is itself the
    // news (several answering at once): no retry.
    const Result r = s_.addressRead(
        0, RetryOn::GarbledOnly,
        {probeTimeoutMs(rate, sensor::expectAddressRead(), kProbeMarginMs), kAddressReadGraceMs});
    if (fatal(r)) return abort(r, bar);
    hear(r);
    for (const line::Answer& a : r.answers) {
        const int address = a.reply.address;
        if (known(rate, address)) continue;
        const Result confirmed = confirm(rate, address, bar);
        if (fatal(confirmed)) return abort(confirmed, bar);
        if (!known(rate, address)) found(rate, address, QStringLiteral("measurement failed"), bar);
    }
    if (const Ended end = confirmHeard(rate, bar)) return end;
    if (r.outcome == Outcome::Garbled || r.tally.noise > 0) garbled_.push_back(rate);
    return endIfFirst(bar);
}

Scan::Ended Scan::sweep(int rate, Progress& bar) {
    startRate();
    for (int address : addresses_) {
        if (stopRequested()) break;
        bar.step(QStringLiteral("%1 baud, address %2").arg(rate).arg(address));
        if (const Ended end = probe(rate, address, bar)) return end;
        // Whoever answered late, this probe's address or an earlier one, is asked properly.
        if (const Ended end = confirmHeard(rate, bar)) return end;
        if (const Ended end = endIfFirst(bar)) return end;
    }
    // The last probes' late answers come after the sweep.
    if (!stopRequested()) hear(s_.listen(kAddressReadGraceMs));
    if (const Ended end = confirmHeard(rate, bar)) return end;
    return endIfFirst(bar);
}

Scan::Ended Scan::probe(int rate, int address, Progress& bar) {
    if (known(rate, address)) return std::nullopt;
    const auto frame = sensor::measurementRequest(static_cast<std::uint8_t>(address));
    const auto expect = sensor::expectRead(frame);
    // Silence is the common answer of a sweep: one short probe, no retry.
    const Result r =
        s_.request(frame, expect, 0, RetryOn::GarbledOnly, {sweepTimeoutMs(rate, expect), kSweepGraceMs});
    if (fatal(r)) return abort(r, bar);
    hear(r);
    if (r.ok() || r.outcome == Outcome::Exception) {
        found(rate, address, r.ok() ? measurementText(r.reply) : QStringLiteral("answers with ") + r.detail,
              bar);
    } else if (r.outcome == Outcome::Garbled) {
        bar.clear();
        error(QStringLiteral("rate %1, address %2: %3").arg(rate).arg(address).arg(r.detail));
    }
    return std::nullopt;
}

// A measurement at the full timeout, once per address and rate. A sensor that answers it,
// even with an exception, is there.
Result Scan::confirm(int rate, int address, Progress& bar) {
    tried_.insert(address);
    Result r = s_.measure(static_cast<std::uint8_t>(address));
    hear(r);
    if (r.ok() || r.outcome == Outcome::Exception)
        found(rate, address, r.ok() ? measurementText(r.reply) : QStringLiteral("answers with ") + r.detail,
              bar);
    return r;
}

// Whoever was heard and is not known yet is asked properly.
Scan::Ended Scan::confirmHeard(int rate, Progress& bar) {
    while (!heard_.empty() && !stopRequested()) {
        const int candidate = *heard_.begin();
        heard_.erase(heard_.begin());
        if (known(rate, candidate) || tried_.count(candidate) > 0) continue;
        const Result r = confirm(rate, candidate, bar);
        if (fatal(r)) return abort(r, bar);
    }
    return std::nullopt;
}

Scan::Ended Scan::endIfFirst(Progress& bar) {
    if (o_.first && !found_.empty()) return report(bar);
    return std::nullopt;
}

// Silent rates are swept only when nobody answered anywhere: sweeping them after a find
// costs seconds per rate on a line where one rate is in use.
std::vector<int> Scan::sweepRates() const {
    std::vector<int> rates;
    for (int rate : link_.setsRate ? o_.rates : std::vector<int>{s_.rate()})
        if (std::find(garbled_.begin(), garbled_.end(), rate) != garbled_.end() || o_.sweepAll ||
            found_.empty())
            rates.push_back(rate);
    return rates;
}

// A gateway answers each probe itself in its own time, so its probes wait the full timeout.
int Scan::sweepTimeoutMs(int rate, const sensor::Expectation& expect) const {
    if (link_.matchesReplies) return s_.timeoutMs();
    return probeTimeoutMs(rate, expect, kSweepMarginMs) + (link_.setsRate ? 0 : kNetworkMarginMs);
}

void Scan::startRate() {
    heard_.clear();
    tried_.clear();
}

void Scan::hear(const Result& r) {
    for (const auto& entry : r.tally.late)
        if (sensor::isDeviceAddress(entry.first)) heard_.insert(entry.first);
}

bool Scan::known(int rate, int address) const {
    return std::any_of(found_.begin(), found_.end(),
                       [&](const Found& f) { return f.rate == rate && f.address == address; });
}

void Scan::found(int rate, int address, const QString& what, Progress& bar) {
    bar.clear();
    print(QStringLiteral("found: rate %1, address %2, %3").arg(rate).arg(address).arg(what));
    found_.push_back({rate, address});
}

int Scan::report(Progress& bar) {
    bar.clear();
    if (stopRequested()) error(QStringLiteral("scan interrupted"));
    print(QStringLiteral("%1 sensor(s) found").arg(found_.size()));
    // For each rate, the options that read every sensor found there, ready to paste.
    std::vector<int> rates;
    for (const Found& f : found_)
        if (std::find(rates.begin(), rates.end(), f.rate) == rates.end()) rates.push_back(f.rate);
    for (int rate : rates) {
        std::vector<int> at;
        for (const Found& f : found_)
            if (f.rate == rate) at.push_back(f.address);
        std::sort(at.begin(), at.end());
        at.erase(std::unique(at.begin(), at.end()), at.end());
        // Behind a server the rate is not the tool's to set.
        const QString rateOption =
            link_.setsRate ? QStringLiteral(" --rate ") + QString::number(rate) : QString();
        print(QStringLiteral("read them with: kv7702r read --port ") + shellWord(s_.device()) + rateOption +
              QStringLiteral(" --address ") + QString::fromStdString(formatAddressList(at)));
    }
    return found_.empty() ? EXIT_NO_REPLY : EXIT_OK;
}

int Scan::abort(const Result& r, Progress& bar) {
    bar.clear();
    error(r.detail);
    report(bar);
    return r.outcome == Outcome::Echo ? static_cast<int>(EXIT_DEVICE) : static_cast<int>(EXIT_NO_REPLY);
}

} // namespace

int runScan(Session& session, const ScanOptions& options) {
    return Scan(session, options).run();
}

} // namespace kv::cli

// scan: every sensor on the line, at every rate and character format asked. First the
// address read at each (whoever is connected answers device 250); then a sweep of addresses
// at the settings where several answered at once, or everywhere when the address read found
// nobody. Where anyone answers the address read, the line is heard out to the end of the full
// timeout's window, for the slower sensors beside it. Whoever is heard on the way, late or not,
// is confirmed by a measurement at the full timeout, and the end says what was tried and what
// was found, with the options that read it.

#include "cli/addresslist.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "cli/progress.h"
#include "cli/readings.h"
#include "line/clock.h"

#include <CLI/CLI.hpp>

#include <QStringList>

#include <algorithm>
#include <cmath>
#include <iterator>
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
// sensor slower than probe plus grace, alone at its rate, is found by the sweep instead.
constexpr int kAddressReadGraceMs = 400;

// Request and longest reply on the wire, the frame gap and a margin.
int probeTimeoutMs(int rate, const LineFormat& format, const sensor::Expectation& expect, int marginMs) {
    return static_cast<int>(std::ceil(lineTimeMs(8 + sensor::longestReply(expect), rate, format) +
                                      frameSilenceMs(rate, format))) +
           marginMs;
}

// A rate and a character format the line is tried at.
struct Setting {
    int rate;
    LineFormat format;
    bool operator==(const Setting& o) const { return rate == o.rate && format == o.format; }
};

// "19200", or "19200 8E1" for any format but 8N1.
QString settingText(const Setting& at) {
    return at.format == LineFormat{} ? QString::number(at.rate)
                                     : QStringLiteral("%1 %2").arg(at.rate).arg(formatName(at.format));
}

// "4800, 9600 and 19200 baud, 8N1": the settings tried, by format.
QStringList settingsText(const std::vector<Setting>& settings) {
    QStringList lines;
    std::vector<LineFormat> formats;
    for (const Setting& at : settings)
        if (std::find(formats.begin(), formats.end(), at.format) == formats.end())
            formats.push_back(at.format);
    for (const LineFormat& f : formats) {
        QStringList rates;
        for (const Setting& at : settings)
            if (at.format == f) rates << QString::number(at.rate);
        lines << rates.join(QStringLiteral(", ")) + QStringLiteral(" baud, ") + formatName(f);
    }
    return lines;
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
        Setting at;
        int address;
    };
    // Each step gives the exit code when the scan ends in it.
    using Ended = std::optional<int>;

    // Sets the line to the setting; false, after saying so, when the port refuses it.
    [[nodiscard]] bool setTo(const Setting& at, Progress& bar);
    [[nodiscard]] Ended addressRead(const Setting& at, Progress& bar);
    [[nodiscard]] Ended confirmAnswered(const Setting& at, const std::vector<int>& addresses, Progress& bar);
    [[nodiscard]] Ended sweep(const Setting& at, Progress& bar);
    [[nodiscard]] Ended probe(const Setting& at, int address, Progress& bar);
    [[nodiscard]] Result confirm(const Setting& at, int address, Progress& bar);
    [[nodiscard]] Ended confirmHeard(const Setting& at, Progress& bar);
    [[nodiscard]] Ended endIfFirst(Progress& bar);
    [[nodiscard]] std::vector<Setting> sweepSettings() const;
    [[nodiscard]] int sweepTimeoutMs(const Setting& at, const sensor::Expectation& expect) const;
    void startRate();
    void hear(const Result& r);
    [[nodiscard]] bool known(const Setting& at, int address) const;
    void found(const Setting& at, int address, const QString& what, Progress& bar);
    // Which settings the address read went out at and which addresses were swept where,
    // and, when nothing was found, what was not tried.
    void sayTried();
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
    std::vector<Setting> settings_; // each format at each rate, in the order tried
    std::vector<Found> found_;
    std::vector<Setting> garbled_;      // where several answered at once, or one answered badly
    std::vector<Setting> addressReads_; // where the address read went out
    std::vector<Setting> swept_;        // where the addresses were swept
    std::set<int> heard_;               // addresses a reply came from at this rate, late or not, to confirm
    std::set<int> tried_;               // addresses confirmed (or tried) at this rate: each is asked once
};

Scan::Scan(Session& session, const ScanOptions& options)
    : s_(session), o_(options), link_(session.linkFacts()), addresses_(options.addresses) {
    // Scan tries rates and formats itself: a probe at the wrong one is no fault of the options.
    s_.setFormatHint(false);
    if (addresses_.empty())
        for (int a = sensor::MIN_ADDRESS; a <= sensor::MAX_ADDRESS; ++a)
            addresses_.push_back(a);
    const std::vector<LineFormat> formats =
        o_.formats.empty() ? std::vector<LineFormat>{s_.format()} : o_.formats;
    for (const LineFormat& f : formats)
        for (int rate : o_.rates)
            settings_.push_back({rate, f});
}

int Scan::run() {
    Progress bar(static_cast<int>(settings_.size()));
    for (const Setting& at : link_.setsRate ? settings_ : std::vector<Setting>{}) {
        if (stopRequested()) break;
        bar.step(QStringLiteral("%1 baud, address read").arg(settingText(at)));
        if (!setTo(at, bar)) continue;
        if (const Ended end = addressRead(at, bar)) return *end;
    }
    bar.clear();
    const std::vector<Setting> sweeps = sweepSettings();
    Progress sweepBar(static_cast<int>(sweeps.size() * addresses_.size()));
    for (const Setting& at : sweeps) {
        if (stopRequested() || (link_.setsRate && !setTo(at, sweepBar))) continue;
        if (const Ended end = sweep(at, sweepBar)) return *end;
    }
    return report(sweepBar);
}

bool Scan::setTo(const Setting& at, Progress& bar) {
    if (s_.setRate(at.rate) && s_.setFormat(at.format)) return true;
    bar.clear();
    error(QStringLiteral("the port refuses %1 baud, %2; skipped").arg(at.rate).arg(formatName(at.format)));
    return false;
}

Scan::Ended Scan::addressRead(const Setting& at, Progress& bar) {
    startRate();
    addressReads_.push_back(at);
    // Every sensor that answers within the window is heard; a garbled answer is itself the
    // news (several answering at once): no retry.
    const Result r =
        s_.addressRead(0, RetryOn::GarbledOnly,
                       {probeTimeoutMs(at.rate, at.format, sensor::expectAddressRead(), kProbeMarginMs),
                        kAddressReadGraceMs});
    if (fatal(r)) return abort(r, bar);
    hear(r);
    std::vector<int> answered;
    for (const line::Answer& a : r.answers)
        answered.push_back(a.reply.address);
    if (const Ended end = confirmAnswered(at, answered, bar)) return end;
    if (const Ended end = endIfFirst(bar)) return end;
    // A sensor slower than the probe answers after it, and none will sweep for it once one is
    // found: the line is heard out to the end of the full timeout's window, as `address` hears it.
    if (!r.answers.empty()) {
        const Millis timeout(s_.timeoutMs());
        const Nanos left = r.sentAt + timeout + line::graceFor(timeout) - s_.link().now();
        if (left > Nanos::zero() && !stopRequested()) {
            const Result rest = s_.listen(static_cast<int>(std::chrono::ceil<Millis>(left).count()));
            if (fatal(rest)) return abort(rest, bar);
            // Nothing but the address read is unanswered here: whoever is heard answered it.
            std::vector<int> late;
            for (const auto& [from, n] : rest.tally.late)
                if (sensor::isDeviceAddress(from)) late.push_back(from);
            if (const Ended end = confirmAnswered(at, late, bar)) return end;
        }
    }
    if (const Ended end = confirmHeard(at, bar)) return end;
    if (r.outcome == Outcome::Garbled || r.tally.noise > 0) garbled_.push_back(at);
    return endIfFirst(bar);
}

// Each that answered the address read is there: confirmed by a measurement, or found all the
// same when that fails.
Scan::Ended Scan::confirmAnswered(const Setting& at, const std::vector<int>& addresses, Progress& bar) {
    for (const int address : addresses) {
        if (known(at, address)) continue;
        const Result confirmed = confirm(at, address, bar);
        if (fatal(confirmed)) return abort(confirmed, bar);
        if (!known(at, address)) found(at, address, QStringLiteral("measurement failed"), bar);
    }
    return std::nullopt;
}

Scan::Ended Scan::sweep(const Setting& at, Progress& bar) {
    startRate();
    swept_.push_back(at);
    for (int address : addresses_) {
        if (stopRequested()) break;
        bar.step(QStringLiteral("%1 baud, address %2").arg(settingText(at)).arg(address));
        if (const Ended end = probe(at, address, bar)) return end;
        // Whoever answered late, this probe's address or an earlier one, is asked properly.
        if (const Ended end = confirmHeard(at, bar)) return end;
        if (const Ended end = endIfFirst(bar)) return end;
    }
    // The last probes' late answers come after the sweep.
    if (!stopRequested()) hear(s_.listen(kAddressReadGraceMs));
    if (const Ended end = confirmHeard(at, bar)) return end;
    return endIfFirst(bar);
}

Scan::Ended Scan::probe(const Setting& at, int address, Progress& bar) {
    if (known(at, address)) return std::nullopt;
    const auto frame = sensor::measurementRequest(static_cast<std::uint8_t>(address));
    const auto expect = sensor::expectRead(frame);
    // Silence is the common answer of a sweep: one short probe, no retry.
    const Result r =
        s_.request(frame, expect, 0, RetryOn::GarbledOnly, {sweepTimeoutMs(at, expect), kSweepGraceMs});
    if (fatal(r)) return abort(r, bar);
    hear(r);
    if (r.ok() || r.outcome == Outcome::Exception) {
        found(at, address, r.ok() ? measurementText(r.reply) : QStringLiteral("answers with ") + r.detail,
              bar);
    } else if (r.outcome == Outcome::Garbled) {
        bar.clear();
        error(QStringLiteral("rate %1, address %2: %3").arg(settingText(at)).arg(address).arg(r.detail));
    }
    return std::nullopt;
}

// A measurement at the full timeout, once per address and rate. A sensor that answers it,
// even with an exception, is there.
Result Scan::confirm(const Setting& at, int address, Progress& bar) {
    tried_.insert(address);
    Result r = s_.measure(static_cast<std::uint8_t>(address));
    hear(r);
    if (r.ok() || r.outcome == Outcome::Exception)
        found(at, address, r.ok() ? measurementText(r.reply) : QStringLiteral("answers with ") + r.detail,
              bar);
    return r;
}

// Whoever was heard and is not known yet is asked properly.
Scan::Ended Scan::confirmHeard(const Setting& at, Progress& bar) {
    while (!heard_.empty() && !stopRequested()) {
        const int candidate = *heard_.begin();
        heard_.erase(heard_.begin());
        if (known(at, candidate) || tried_.count(candidate) > 0) continue;
        const Result r = confirm(at, candidate, bar);
        if (fatal(r)) return abort(r, bar);
    }
    return std::nullopt;
}

Scan::Ended Scan::endIfFirst(Progress& bar) {
    if (o_.first && !found_.empty()) return report(bar);
    return std::nullopt;
}

// Silent settings are swept only when nobody answered anywhere: sweeping them after a find
// costs seconds per setting on a line where one is in use. Where answers were heard garbled
// comes first: several sensors answering at once are likeliest there.
std::vector<Setting> Scan::sweepSettings() const {
    const std::vector<Setting> all =
        link_.setsRate ? settings_ : std::vector<Setting>{{s_.rate(), s_.format()}};
    auto heard = [&](const Setting& at) {
        return std::find(garbled_.begin(), garbled_.end(), at) != garbled_.end();
    };
    std::vector<Setting> settings;
    std::copy_if(all.begin(), all.end(), std::back_inserter(settings), heard);
    if (o_.sweepAll || found_.empty())
        std::copy_if(all.begin(), all.end(), std::back_inserter(settings),
                     [&](const Setting& at) { return !heard(at); });
    return settings;
}

// A gateway answers each probe itself in its own time, so its probes wait the full timeout.
int Scan::sweepTimeoutMs(const Setting& at, const sensor::Expectation& expect) const {
    if (link_.matchesReplies) return s_.timeoutMs();
    return probeTimeoutMs(at.rate, at.format, expect, kSweepMarginMs) +
           (link_.setsRate ? 0 : kNetworkMarginMs);
}

void Scan::startRate() {
    heard_.clear();
    tried_.clear();
}

void Scan::hear(const Result& r) {
    for (const auto& entry : r.tally.late)
        if (sensor::isDeviceAddress(entry.first)) heard_.insert(entry.first);
}

bool Scan::known(const Setting& at, int address) const {
    return std::any_of(found_.begin(), found_.end(),
                       [&](const Found& f) { return f.at == at && f.address == address; });
}

void Scan::found(const Setting& at, int address, const QString& what, Progress& bar) {
    bar.clear();
    print(QStringLiteral("found: rate %1, address %2, %3").arg(settingText(at)).arg(address).arg(what));
    found_.push_back({at, address});
}

void Scan::sayTried() {
    for (const QString& line : settingsText(addressReads_))
        print(QStringLiteral("tried the address read at ") + line);
    const QString swept = QString::fromStdString(formatAddressList(addresses_));
    for (const QString& line : settingsText(swept_))
        print(QStringLiteral("tried addresses %1 at %2").arg(swept, line));
    if (!found_.empty() || !link_.setsRate) return;
    QStringList untried;
    for (int rate : sensor::STANDARD_RATES)
        if (std::find(o_.rates.begin(), o_.rates.end(), rate) == o_.rates.end())
            untried << QString::number(rate);
    if (!untried.isEmpty())
        print(QStringLiteral("not tried: %1 baud (--rates all tries them)")
                  .arg(untried.join(QStringLiteral(", "))));
    if (o_.formats.size() <= 1)
        print(QStringLiteral("not tried: parity even and odd, or 2 stop bits (--parity all)"));
}

int Scan::report(Progress& bar) {
    bar.clear();
    if (stopRequested()) error(QStringLiteral("scan interrupted"));
    sayTried();
    print(QStringLiteral("%1 sensor(s) found").arg(found_.size()));
    // For each setting, the options that read every sensor found there, ready to paste.
    std::vector<Setting> settings;
    for (const Found& f : found_)
        if (std::find(settings.begin(), settings.end(), f.at) == settings.end()) settings.push_back(f.at);
    for (const Setting& setting : settings) {
        std::vector<int> at;
        for (const Found& f : found_)
            if (f.at == setting) at.push_back(f.address);
        std::sort(at.begin(), at.end());
        at.erase(std::unique(at.begin(), at.end()), at.end());
        // Behind a server the rate is not the tool's to set.
        const QString line = link_.setsRate ? lineOptions(s_, setting.rate, setting.format)
                                            : QStringLiteral("--port ") + shellWord(s_.device());
        print(QStringLiteral("read them with: kv7702r read ") + line + QStringLiteral(" --address ") +
              QString::fromStdString(formatAddressList(at)));
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

namespace {

std::string joined(const std::vector<int>& numbers, const char* between) {
    std::string text;
    for (int n : numbers)
        text += (text.empty() ? "" : between) + std::to_string(n);
    return text;
}

class ScanCommand : public Command {
public:
    explicit ScanCommand(CLI::App& sub) {
        sub.description(
            "find every sensor on the line: rate, address and a first measurement\n"
            "Tries each rate with the address read to device 250 (answered by whoever is\n"
            "connected), then sweeps the addresses at each rate where several answered at once,\n"
            "or at every rate when the address read found nobody. Says which rates, formats and\n"
            "addresses it tried. --parity all tries 8N1, 8E1, 8O1 and 8N2 (the Modbus standard's\n"
            "form without parity), or each parity at --stop-bits when given. Exit 3 when nothing\n"
            "answers.");
        sub.add_option("--rates", rates_,
                       "rates to try, in order (default " + joined(o_.rates, ",") +
                           "), or all:\nthe nine standard rates")
            ->type_name("LIST")
            ->delimiter(',');
        sub.add_option("--addresses", addresses_,
                       "addresses for the sweep, e.g. 1-247 or 1-10,37 (default 1-247)")
            ->type_name("LIST");
        sub.add_flag("--first", o_.first, "stop at the first sensor found");
        sub.add_flag("--sweep", o_.sweepAll, "sweep the addresses at every rate, even after a find");
    }
    [[nodiscard]] bool takesEveryParity() const override { return true; }
    [[nodiscard]] bool check(GlobalOptions& g) override;
    [[nodiscard]] int run(Context& c) override {
        return c.onSession([this](Session& s) { return runScan(s, o_); });
    }

private:
    ScanOptions o_;
    std::vector<std::string> rates_;
    std::string addresses_ = "1-247";
};

bool ScanCommand::check(GlobalOptions& g) {
    o_.addresses = parseAddressList(addresses_);
    if (o_.addresses.empty())
        return refuse(
            QStringLiteral("--addresses: '%1' is not a list of addresses 1-247 such as 1-247 or 1-10,37")
                .arg(QString::fromStdString(addresses_)));
    o_.formats = g.everyParity ? everyFormat(g.stopBits) : std::vector<LineFormat>{g.common.format};
    if (rates_.empty()) return true;
    if (rates_.size() == 1 && rates_.front() == "all") {
        o_.rates.assign(sensor::STANDARD_RATES.begin(), sensor::STANDARD_RATES.end());
        return true;
    }
    o_.rates.clear();
    for (const std::string& text : rates_) {
        bool ok = false;
        const int rate = QString::fromStdString(text).toInt(&ok);
        if (!ok || !sensor::isStandardRate(rate))
            return refuse(
                QStringLiteral("--rates: '%1' is no standard rate (%2), and the list is rates or all")
                    .arg(QString::fromStdString(text),
                         QString::fromStdString(
                             joined({sensor::STANDARD_RATES.begin(), sensor::STANDARD_RATES.end()}, " "))));
        o_.rates.push_back(rate);
    }
    return true;
}

} // namespace

const CommandRow scanRow{nullptr, "scan", describeAs<ScanCommand>};

} // namespace kv::cli

#include "cli/session.h"

#include "cli/console.h"
#include "cli/failure.h"
#include "cli/links.h"
#include "cli/port.h"

#include <QCoreApplication>

#include <algorithm>

namespace kv::cli {
namespace {

constexpr Millis REOPEN_EVERY{500};

} // namespace

Result::Result(line::Exchange exchange) : line::Exchange(std::move(exchange)), detail(describe(*this)) {}

Session::Session(CommonOptions options)
    : opt_(std::move(options)), link_(makeLink(opt_.port, opt_.reconnectAfter)), discipline_(*link_),
      wallClock_(WallClock::tiedAt(link_->nowNs())) {}

Session::Session(CommonOptions options, std::unique_ptr<Link> link, QString device, int rate)
    : opt_(std::move(options)), link_(std::move(link)), discipline_(*link_), device_(std::move(device)),
      rate_(rate), wallClock_(WallClock::tiedAt(link_->nowNs())) {
    discipline_.setEcho(opt_.echo);
    (void)link_->setFormat(opt_.format);
}

int Session::open() {
    const auto chosen = choosePort(opt_.port, opt_.rate, QCoreApplication::applicationDirPath());
    if (!chosen) return EXIT_USAGE;
    device_ = chosen->device;
    rate_ = chosen->rate;
    discipline_.setEcho(opt_.echo);
    (void)link_->setFormat(opt_.format); // kept for the open, which sets it
    const OpenResult r = link_->open(device_, rate_);
    if (r.ok()) return EXIT_OK;
    error(openFailureText(device_, r));
    return EXIT_PORT;
}

bool Session::reopen() {
    if (!link_->reopen().ok()) return false;
    discipline_.reopened();
    return true;
}

bool Session::reopenWithin(int ms) {
    const TimePoint end = link_->now() + Millis(ms);
    for (;;) {
        if (reopen()) return true;
        const TimePoint now = link_->now();
        if (now >= end || stopRequested()) return false;
        link_->waitReadable(std::min(end, now + REOPEN_EVERY));
    }
}

bool Session::setRate(int rate) {
    if (!link_->setBaudRate(rate)) return false;
    rate_ = rate;
    discipline_.rateChanged();
    return true;
}

bool Session::setFormat(const LineFormat& format) {
    if (!link_->setFormat(format)) return false;
    discipline_.rateChanged();
    return true;
}

Result Session::measure(std::uint8_t address) {
    const auto frame = sensor::measurementRequest(address);
    return request(frame, sensor::expectRead(frame), opt_.retries);
}

Result Session::readParameter(int i) {
    const auto frame = sensor::parameterReadRequest(address(), i);
    return request(frame, sensor::expectRead(frame), opt_.retries);
}

Result Session::readResistance() {
    const auto frame = sensor::resistanceReadRequest(address());
    return request(frame, sensor::expectRead(frame), opt_.retries);
}

Result Session::readRegister(std::uint16_t reg) {
    const auto frame = sensor::readRequest(address(), reg, 1);
    return request(frame, sensor::expectRead(frame), opt_.retries);
}

Result Session::changeAddress(std::uint8_t to) {
    const auto frame = sensor::addressChangeRequest(address(), to);
    return request(frame, sensor::expectAddressChange(frame), 0);
}

line::Request Session::prepared(const QByteArray& bytes, const sensor::Expectation& expect, int retries,
                                RetryOn retryOn, Wait wait) const {
    line::Request r;
    r.bytes = bytes;
    r.expect = expect;
    r.timeout = Millis(wait.timeoutMs > 0 ? wait.timeoutMs : opt_.timeoutMs);
    if (wait.graceMs >= 0) r.grace = Millis(wait.graceMs);
    r.retries = retries;
    r.retryTimeouts = retryOn == RetryOn::LineErrors;
    r.quiet = Millis(opt_.timeoutMs); // a probe's short wait says nothing of how long the sensor takes
    return r;
}

Result Session::request(const Frame& frame, const sensor::Expectation& expect, int retries, RetryOn retryOn,
                        Wait wait) {
    return run(prepared(toBytes(frame), expect, retries, retryOn, wait));
}

Result Session::request(const QByteArray& bytes, const sensor::Expectation& expect, int retries) {
    return run(prepared(bytes, expect, retries, RetryOn::LineErrors, {}));
}

Result Session::addressRead(int retries, RetryOn retryOn, Wait wait) {
    line::Request r =
        prepared(toBytes(sensor::addressReadRequest()), sensor::expectAddressRead(), retries, retryOn, wait);
    r.collect = true;
    return run(r);
}

Result Session::listen(int ms) {
    Result result = line::listen(discipline_, *link_, Millis(ms), stopRequested);
    stats_ += result.tally;
    return result;
}

Result Session::run(const line::Request& request) {
    Result result = line::exchange(discipline_, *link_, request, stopRequested);
    if (formatHint_ && (result.outcome == Outcome::Timeout || result.outcome == Outcome::Garbled) &&
        onlyGarbageHeard(result.tally))
        result.detail += QStringLiteral("; ") + formatHint(*this);
    stats_.add(result);
    return result;
}

bool onlyGarbageHeard(const line::Tally& t) {
    return t.replies + t.exceptions == 0 && t.late.empty() && t.noise + t.crcErrors > 0;
}

QString formatHint(const Session& s) {
    const QString what = QStringLiteral("bytes came back but never a sound frame: ");
    if (!s.linkFacts().setsRate)
        return what + QStringLiteral("check the rate, parity and stop bits the device server is set to");
    return what + QStringLiteral("check --rate, --parity and --stop-bits (the line is at %1 baud, %2)")
                      .arg(s.rate())
                      .arg(formatName(s.format()));
}

QString lineOptions(const Session& s) {
    return lineOptions(s, s.rate(), s.format());
}

QString lineOptions(const Session& s, int rate, const LineFormat& format) {
    QString text = QStringLiteral("--port %1 --rate %2").arg(shellWord(s.device())).arg(rate);
    if (format.parity != Parity::None)
        text += QStringLiteral(" --parity %1").arg(QLatin1String(parityName(format.parity)));
    if (format.stopBits != 1) text += QStringLiteral(" --stop-bits %1").arg(format.stopBits);
    return text;
}

} // namespace kv::cli

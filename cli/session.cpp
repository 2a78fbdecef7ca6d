#include "cli/session.h"

#include "cli/links.h"
#include "serial/commport.h"

#include <QCoreApplication>
#include <QDir>
#include <QRegularExpression>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>

namespace kv::cli {
namespace {

std::atomic<bool> g_stop{false};

extern "C" void onStopSignal(int sig) {
    g_stop = true;
    // The next one ends the program, should a wait not notice.
    std::signal(sig, SIG_DFL);
}

constexpr int kDefaultRate = 9600;
constexpr qint64 kNsPerMs = 1000000;
constexpr qint64 kReopenEveryMs = 500;

} // namespace

void error(const QString& line) {
    std::fprintf(stderr, "kv7702r: %s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

void print(const QString& line) {
    std::fputs(line.toLocal8Bit().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void installStopHandler() {
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
}

bool stopRequested() {
    return g_stop;
}

const std::vector<int>& standardRates() {
    static const std::vector<int> rates{1200, 2400, 4800, 9600, 14400, 19200, 38400, 57600, 115200};
    return rates;
}

int exitCodeFor(Outcome outcome) {
    switch (outcome) {
    case Outcome::Answered:
        return EXIT_OK;
    case Outcome::Timeout:
    case Outcome::Lost:
    case Outcome::Stopped:
    case Outcome::Busy:
        return EXIT_NO_REPLY;
    case Outcome::Exception:
    case Outcome::Garbled:
    case Outcome::Echo:
        return EXIT_DEVICE;
    }
    return EXIT_DEVICE;
}

void Counters::add(const line::Tally& t, bool withLate) {
    requests += t.requests;
    replies += t.replies;
    timeouts += t.timeouts;
    crcErrors += t.crcErrors;
    exceptions += t.exceptions;
    badReplies += t.badReplies;
    lost += t.lost;
    retries += t.retries;
    syncs += t.syncs;
    if (!withLate) return;
    late += t.lateTotal();
    noise += t.noise;
}

QString resolvePort(const QString& given, const QString& programDir) {
    static const QRegularExpression com(QStringLiteral("^COM([1-9][0-9]{0,2})$"),
                                        QRegularExpression::CaseInsensitiveOption);
    const auto m = com.match(given);
    if (m.hasMatch() && m.captured(1).toInt() <= 255) return deviceForPort(m.captured(1).toInt(), programDir);
    return given;
}

CommSetValues storedCommSet(const QString& programDir) {
    return readCommSet(commSetReadPath(programDir, userConfigDir()));
}

Session::Session(CommonOptions options)
    : opt_(std::move(options)), link_(makeLink(opt_.port)), discipline_(*link_) {}

Session::Session(CommonOptions options, std::unique_ptr<Link> link, QString device, int rate)
    : opt_(std::move(options)), link_(std::move(link)), discipline_(*link_), device_(std::move(device)),
      rate_(rate) {
    discipline_.setEcho(opt_.echo);
}

int Session::open() {
    const QString programDir = QCoreApplication::applicationDirPath();
    const CommSetValues stored = storedCommSet(programDir);
    if (!opt_.port.empty()) {
        device_ = resolvePort(QString::fromStdString(opt_.port), programDir);
    } else if (stored.complete() && *stored.port >= 1) {
        device_ = deviceForPort(*stored.port, programDir);
    } else {
        error(
            QStringLiteral("no port: give --port (COMn or a device path); there is no usable comm.set in %1")
                .arg(QDir::toNativeSeparators(programDir)));
        return EXIT_USAGE;
    }
    rate_ = opt_.rate > 0 ? opt_.rate : (stored.complete() && *stored.rate > 0 ? *stored.rate : kDefaultRate);
    if (std::find(standardRates().begin(), standardRates().end(), rate_) == standardRates().end()) {
        error(QStringLiteral("comm.set names %1 baud, which is no standard rate; give --rate").arg(rate_));
        return EXIT_USAGE;
    }
    discipline_.setEcho(opt_.echo);
    const OpenResult r = link_->open(device_, rate_);
    if (r.ok()) return EXIT_OK;
    if (r.failure == OpenFailure::Permission && !r.group.isEmpty())
        error(QStringLiteral("%1; fix: sudo usermod -aG %2 $USER, then log out and in again")
                  .arg(r.reason, r.group));
    else
        error(r.reason);
    return EXIT_PORT;
}

bool Session::reopen() {
    if (!link_->reopen().ok()) return false;
    discipline_.reopened();
    return true;
}

bool Session::reopenWithin(int ms) {
    const qint64 end = link_->nowNs() + static_cast<qint64>(ms) * kNsPerMs;
    for (;;) {
        if (reopen()) return true;
        const qint64 now = link_->nowNs();
        if (now >= end || stopRequested()) return false;
        link_->waitReadable(std::min(end, now + kReopenEveryMs * kNsPerMs));
    }
}

bool Session::setRate(int rate) {
    if (!link_->setBaudRate(rate)) return false;
    rate_ = rate;
    discipline_.rateChanged();
    return true;
}

Result Session::run(const line::Request& request) {
    Result result = line::exchange(discipline_, *link_, request, stopRequested);
    stats_.add(result.tally);
    if (result.ok() && result.latencyMs) stats_.latenciesMs.push_back(*result.latencyMs);
    return result;
}

Result Session::request(const Frame& frame, const sensor::Expectation& expect, int retries, RetryOn retryOn,
                        Wait wait) {
    line::Request r;
    r.bytes = toBytes(frame);
    r.expect = expect;
    r.timeoutMs = wait.timeoutMs > 0 ? wait.timeoutMs : opt_.timeoutMs;
    r.graceMs = wait.graceMs;
    r.retries = retries;
    r.retryTimeouts = retryOn == RetryOn::LineErrors;
    return run(r);
}

Result Session::addressRead(int retries, RetryOn retryOn, Wait wait) {
    line::Request r;
    r.bytes = toBytes(sensor::addressReadRequest());
    r.expect = sensor::expectAddressRead();
    r.timeoutMs = wait.timeoutMs > 0 ? wait.timeoutMs : opt_.timeoutMs;
    r.graceMs = wait.graceMs;
    r.retries = retries;
    r.retryTimeouts = retryOn == RetryOn::LineErrors;
    r.collect = true;
    return run(r);
}

Result Session::listen(int ms) {
    Result result = line::listen(discipline_, *link_, ms, stopRequested);
    stats_.add(result.tally);
    return result;
}

} // namespace kv::cli

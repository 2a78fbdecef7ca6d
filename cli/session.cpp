#include "cli/session.h"

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

int exitCodeFor(Result::Kind kind) {
    switch (kind) {
    case Result::Ok:
        return EXIT_OK;
    case Result::Timeout:
    case Result::Lost:
    case Result::Stopped:
        return EXIT_NO_REPLY;
    case Result::Bad:
    case Result::Exception:
        return EXIT_DEVICE;
    }
    return EXIT_DEVICE;
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
    line_.setEcho(opt_.echo);
    const OpenResult r = line_.open(device_, rate_);
    if (r.ok()) return EXIT_OK;
    if (r.failure == OpenFailure::Permission && !r.group.isEmpty())
        error(QStringLiteral("%1; fix: sudo usermod -aG %2 $USER, then log out and in again")
                  .arg(r.reason, r.group));
    else
        error(r.reason);
    return EXIT_PORT;
}

bool Session::reopen() {
    return line_.reopen().ok();
}

bool Session::setRate(int rate) {
    if (!line_.setBaudRate(rate)) return false;
    rate_ = rate;
    return true;
}

Result Session::request(const Frame& frame, const sensor::Expectation& expect, int retries, RetryOn retryOn,
                        Wait wait) {
    const QByteArray bytes = toBytes(frame);
    const int timeout = wait.timeoutMs > 0 ? wait.timeoutMs : opt_.timeoutMs;
    const auto lengthOf = [&expect](const QByteArray& soFar) { return sensor::replyLength(soFar, expect); };
    Result result;
    QByteArray heard;
    for (int attempt = 0; attempt <= retries; ++attempt) {
        const auto ex = line_.exchange(bytes, lengthOf, timeout, stopRequested, wait.graceMs);
        stats_.late = line_.unexpected().bursts;
        heard += ex.reply + ex.late;
        result = Result{};
        result.heard = heard;
        if (ex.sent) {
            ++stats_.requests;
            if (attempt > 0) ++stats_.retries;
        }
        if (ex.outcome == RtuLine::Outcome::Lost) {
            if (ex.sent) ++stats_.lost;
            result.kind = Result::Lost;
            result.detail = QStringLiteral("the port went away: %1").arg(line_.errorString());
            return result;
        }
        if (ex.outcome == RtuLine::Outcome::Stopped) {
            if (ex.sent) { // given up by the operator, not by the line
                --stats_.requests;
                if (attempt > 0) --stats_.retries;
            }
            result.kind = Result::Stopped;
            result.detail = QStringLiteral("stopped");
            return result;
        }
        if (ex.outcome == RtuLine::Outcome::Echo) {
            ++stats_.badReplies;
            result.kind = Result::Bad;
            result.detail = QStringLiteral("the request itself came back: the adapter echoes what it sends; "
                                           "use --echo");
            return result;
        }
        if (!ex.sent && ex.outcome == RtuLine::Outcome::Timeout) {
            result.kind = Result::Timeout;
            result.detail = QStringLiteral("the line never fell silent for %1 ms; nothing sent").arg(timeout);
            return result;
        }
        if (ex.outcome == RtuLine::Outcome::Timeout && ex.reply.isEmpty()) {
            ++stats_.timeouts;
            result.kind = Result::Timeout;
            result.detail =
                ex.late.isEmpty()
                    ? QStringLiteral("no reply within %1 ms").arg(timeout)
                    : QStringLiteral("no reply within %1 ms (a late one came after it)").arg(timeout);
            if (retryOn == RetryOn::LineErrors) continue;
            return result;
        }
        result.latencyMs = ex.latencyMs;
        result.reply = sensor::checkReply(ex.reply, expect);
        const auto status = result.reply.status;
        if (status != sensor::ReplyStatus::Ok && status != sensor::ReplyStatus::Exception) {
            // Out of step with the sensor: let the rest of what is on its way go by first.
            line_.settle(graceMsFor(timeout));
            stats_.late = line_.unexpected().bursts;
        }
        switch (result.reply.status) {
        case sensor::ReplyStatus::Ok:
            ++stats_.replies;
            stats_.latenciesMs.push_back(ex.latencyMs);
            result.kind = Result::Ok;
            return result;
        case sensor::ReplyStatus::Exception:
            ++stats_.exceptions;
            result.kind = Result::Exception;
            result.detail = sensor::describe(result.reply);
            return result; // the sensor meant it: never retried
        case sensor::ReplyStatus::BadCrc:
            ++stats_.crcErrors;
            result.kind = Result::Bad;
            result.detail = sensor::describe(result.reply);
            continue;
        case sensor::ReplyStatus::Short:
        case sensor::ReplyStatus::Long:
            ++stats_.badReplies;
            result.kind = Result::Bad;
            result.detail = sensor::describe(result.reply);
            continue;
        default:
            ++stats_.badReplies;
            result.kind = Result::Bad;
            result.detail = sensor::describe(result.reply);
            return result;
        }
    }
    return result;
}

} // namespace kv::cli

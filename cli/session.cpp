#include "cli/session.h"

#include "serial/commport.h"

#include <QCoreApplication>
#include <QDir>
#include <QRegularExpression>

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
constexpr int kTurnaroundMarginMs = 25;
constexpr int kBitsPerByte = 10;
constexpr int kRequestBytes = 8;

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

QString resolvePort(const QString& spec, const QString& programDir) {
    static const QRegularExpression com(QStringLiteral("^COM([1-9][0-9]{0,2})$"),
                                        QRegularExpression::CaseInsensitiveOption);
    const auto m = com.match(spec);
    if (m.hasMatch() && m.captured(1).toInt() <= 255) return deviceForPort(m.captured(1).toInt(), programDir);
    return spec;
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
    const OpenResult r = line_.open(device_, rate_);
    if (r.ok()) return EXIT_OK;
    if (r.failure == OpenFailure::Permission) {
        const QString group = r.group.isEmpty() ? QStringLiteral("dialout") : r.group;
        error(QStringLiteral("%1; fix: sudo usermod -aG %2 $USER, then log out and in again")
                  .arg(r.reason, group));
    } else {
        error(r.reason);
    }
    return EXIT_PORT;
}

bool Session::setRate(int rate) {
    if (!line_.setBaudRate(rate)) return false;
    rate_ = rate;
    return true;
}

int Session::timeoutFor(int replyBytes) const {
    if (opt_.timeoutMs > 0) return opt_.timeoutMs;
    const double lineMs = (kRequestBytes + replyBytes) * kBitsPerByte * 1000.0 / rate_;
    return static_cast<int>(std::ceil(lineMs)) + kTurnaroundMarginMs;
}

Result Session::request(const Frame& frame, const sensor::Expectation& expect, int retries, RetryOn retryOn) {
    const QByteArray bytes = toBytes(frame);
    const int timeout = timeoutFor(sensor::longestReply(expect));
    Result result;
    for (int attempt = 0; attempt <= retries; ++attempt) {
        if (attempt > 0) ++stats_.retries;
        ++stats_.requests;
        const auto ex = line_.exchange(
            bytes, [&expect](const QByteArray& soFar) { return sensor::replyLength(soFar, expect); }, timeout,
            stopRequested);
        result = Result{};
        result.latencyMs = ex.latencyMs;
        if (ex.outcome == RtuLine::Outcome::Lost) {
            result.kind = Result::Lost;
            result.detail = QStringLiteral("the port went away: %1").arg(line_.errorString());
            return result;
        }
        if (ex.outcome == RtuLine::Outcome::Stopped) {
            result.kind = Result::Stopped;
            result.detail = QStringLiteral("stopped");
            return result;
        }
        if (ex.outcome == RtuLine::Outcome::Timeout && ex.reply.isEmpty()) {
            ++stats_.timeouts;
            result.kind = Result::Timeout;
            result.detail = QStringLiteral("no reply within %1 ms").arg(timeout);
            if (retryOn == RetryOn::LineErrors) continue;
            return result;
        }
        result.reply = sensor::checkReply(ex.reply, expect);
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

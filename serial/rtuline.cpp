#include "serial/rtuline.h"

#include "serial/commport.h"
#include "serial/portinfo.h"

#include <QFileInfo>
#include <QSerialPort>

#include <algorithm>
#include <cmath>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kv {
namespace {

constexpr int kNsPerMs = 1000000;
// Above this rate the frame gap stays at its fixed 1.75 ms, as Modbus over serial line says.
constexpr int kFixedGapAboveBaud = 19200;
constexpr double kFixedGapMs = 1.75;
constexpr int kMinGraceMs = 20;
// A burst being heard out ends only after this much quiet: a USB adapter or a busy host
// hands bytes over in chunks, so a gap of a few characters is no end of frame here.
constexpr double kBurstQuietMs = 20.0;
constexpr int kMaxGraceMs = 500;
// Longest a wait blocks, so that Ctrl-C and a lost port are noticed promptly.
constexpr int kWaitSliceMs = 50;
constexpr char kWriteSingle = 0x06;

} // namespace

double lineTimeMs(int bytes, int baud) {
    return baud > 0 ? bytes * BITS_PER_CHARACTER * 1000.0 / baud : 0.0;
}

double frameSilenceMs(int baud) {
    if (baud <= 0 || baud > kFixedGapAboveBaud) return kFixedGapMs;
    return 3.5 * BITS_PER_CHARACTER * 1000.0 / baud;
}

int graceMsFor(int timeoutMs) {
    return std::clamp(timeoutMs / 2, kMinGraceMs, kMaxGraceMs);
}

RtuLine::RtuLine() : port_(std::make_unique<QSerialPort>()) {
    clock_.start();
}

RtuLine::~RtuLine() {
    close();
}

OpenResult RtuLine::open(const QString& name, int baud) {
    close();
    name_ = name;
    baud_ = baud;
    // By the device itself, not the link: its lock then covers every name it has.
    const QString device = realDevice(name);
    port_->setPortName(device);
    if (!port_->open(QIODevice::ReadWrite)) {
        OpenResult r =
            diagnoseOpenFailure(name, port_->error() == QSerialPort::PermissionError, port_->errorString());
        if (r.failure == OpenFailure::Busy) {
            r.holder = portFacts(device).holder;
            if (!r.holder.isEmpty()) r.reason = QStringLiteral("%1 is busy: %2 holds it").arg(name, r.holder);
        }
        return r;
    }
    const bool configured = port_->setBaudRate(baud) && port_->setDataBits(QSerialPort::Data8) &&
                            port_->setParity(QSerialPort::NoParity) &&
                            port_->setStopBits(QSerialPort::OneStop) &&
                            port_->setFlowControl(QSerialPort::NoFlowControl);
    if (!configured) {
        const QString reason = port_->errorString();
        port_->close();
        return {OpenFailure::Other,
                QStringLiteral("%1 cannot be set to %2 baud, 8N1: %3").arg(name).arg(baud).arg(reason),
                {},
                {}};
    }
    port_->clear();
    lastActivityNs_ = clock_.nsecsElapsed();
    outOfStep_ = false;
    return {};
}

OpenResult RtuLine::reopen() {
    return open(name_, baud_);
}

bool RtuLine::isOpen() const {
    return port_->isOpen();
}

bool RtuLine::setBaudRate(int baud) {
    if (!port_->isOpen() || !port_->setBaudRate(baud)) return false;
    baud_ = baud;
    return true;
}

void RtuLine::close() {
    if (port_ && port_->isOpen()) port_->close();
}

QString RtuLine::errorString() const {
    return port_->errorString();
}

bool RtuLine::portLost() const {
    // A hung-up pty shows as a read error, an unplugged USB adapter as a resource error.
    const auto e = port_->error();
    return !port_->isOpen() || e == QSerialPort::ResourceError || e == QSerialPort::ReadError;
}

bool RtuLine::take(QByteArray& into) {
    const QByteArray got = port_->readAll();
    if (got.isEmpty()) return false;
    into += got;
    lastActivityNs_ = clock_.nsecsElapsed();
    return true;
}

void RtuLine::noteUnexpected(const QByteArray& bytes) {
    if (bytes.isEmpty()) return;
    ++unexpected_.bursts;
    unexpected_.bytes += bytes.size();
    if (onUnexpected_) onUnexpected_(bytes);
}

QByteArray RtuLine::hearOut(qint64 firstByteWithinMs, qint64 maxMs, bool& lost,
                            const std::function<bool()>& stop, bool wholeBurst) {
    const double quietMs =
        wholeBurst ? std::max(kBurstQuietMs, frameSilenceMs(baud_)) : frameSilenceMs(baud_);
    const qint64 silenceNs = static_cast<qint64>(quietMs * kNsPerMs);
    const qint64 startNs = clock_.nsecsElapsed();
    QByteArray heard;
    for (;;) {
        take(heard);
        if (portLost()) {
            lost = true;
            return heard;
        }
        const qint64 now = clock_.nsecsElapsed();
        const qint64 quietNs = now - lastActivityNs_;
        const qint64 windowLeftNs =
            heard.isEmpty() ? startNs + firstByteWithinMs * kNsPerMs - now : 0; // first byte may still come
        const qint64 needNs = std::max(silenceNs - quietNs, windowLeftNs);
        if (needNs <= 0 || now - startNs >= maxMs * kNsPerMs || (stop && stop())) return heard;
        const auto waitMs =
            static_cast<int>(std::min<qint64>((needNs + kNsPerMs - 1) / kNsPerMs, kWaitSliceMs));
        port_->waitForReadyRead(std::max(waitMs, 1));
    }
}

RtuLine::Exchange RtuLine::exchange(const QByteArray& request,
                                    const std::function<int(const QByteArray&)>& lengthOf, int timeoutMs,
                                    const std::function<bool()>& stop, int graceMs) {
    Exchange ex;
    bool lost = !port_->isOpen();
    // Silence before the request; whatever is heard now answers nothing we are waiting for.
    if (!lost) noteUnexpected(hearOut(0, timeoutMs, lost, stop));
    if (lost) {
        close();
        ex.outcome = Outcome::Lost;
        return ex;
    }
    if (stop && stop()) {
        ex.outcome = Outcome::Stopped;
        return ex;
    }
    if (clock_.nsecsElapsed() - lastActivityNs_ < static_cast<qint64>(frameSilenceMs(baud_) * kNsPerMs)) {
        ex.outcome = Outcome::Timeout; // the line never fell silent
        return ex;
    }
    if (port_->write(request) != request.size() || !port_->waitForBytesWritten(timeoutMs)) {
        // A write that fails on an open port means the device is gone.
        close();
        ex.outcome = Outcome::Lost;
        return ex;
    }
    ex.sent = true;
    const qint64 writtenNs = clock_.nsecsElapsed();
    lastActivityNs_ = writtenNs;
    qint64 lastByteNs = writtenNs;
    const bool echoIsAnswer = request.size() > 1 && request[1] == kWriteSingle;
    QByteArray heard;
    for (;;) {
        if (take(heard)) lastByteNs = lastActivityNs_;
        QByteArray body = heard;
        bool maybeEcho = false;
        if (echo_) {
            if (heard.startsWith(request))
                body = heard.mid(request.size());
            else if (request.startsWith(heard)) {
                body.clear();
                maybeEcho = true;
            }
        } else if (!echoIsAnswer && !heard.isEmpty()) {
            if (heard.startsWith(request)) {
                ex.outcome = Outcome::Echo;
                ex.reply = heard;
                break;
            }
            maybeEcho = request.startsWith(heard);
        }
        const int need = maybeEcho ? 0 : lengthOf(body);
        if (need > 0 && body.size() >= need) {
            ex.outcome = Outcome::Complete;
            ex.reply = body;
            break;
        }
        if (portLost()) {
            close();
            ex.outcome = Outcome::Lost;
            ex.reply = body;
            return ex;
        }
        if (stop && stop()) {
            ex.outcome = Outcome::Stopped;
            ex.reply = body;
            return ex;
        }
        const qint64 left = timeoutMs - (clock_.nsecsElapsed() - writtenNs) / kNsPerMs;
        if (left <= 0) {
            ex.outcome = Outcome::Timeout;
            ex.reply = body;
            break;
        }
        port_->waitForReadyRead(static_cast<int>(std::min<qint64>(left, kWaitSliceMs)));
    }
    ex.latencyMs = static_cast<double>(lastByteNs - writtenNs) / kNsPerMs;
    const int grace = graceMs >= 0 ? graceMs : graceMsFor(timeoutMs);
    if (ex.outcome == Outcome::Complete) {
        // A write's answer looks like its echo: a second copy soon after means the first was the adapter's.
        const bool mayBeEcho = echoIsAnswer && !echo_ && ex.reply == request;
        if (!mayBeEcho && !outOfStep_) return ex;
        // After a reply missed its deadline and its grace, the frame just taken may be that late
        // reply: ours would then follow it before our own deadline.
        const qint64 sinceWriteMs = (clock_.nsecsElapsed() - writtenNs) / kNsPerMs;
        const qint64 within = outOfStep_ ? std::max<qint64>(timeoutMs - sinceWriteMs, grace) : grace;
        const bool wasOutOfStep = outOfStep_;
        outOfStep_ = false;
        const QByteArray after = hearOut(within, within + timeoutMs, lost, stop, true);
        const int need = after.isEmpty() ? 0 : lengthOf(after);
        if (mayBeEcho && after.startsWith(request)) {
            ex.outcome = Outcome::Echo;
            ex.reply += after;
        } else if (wasOutOfStep && need > 0 && after.size() == need) {
            noteUnexpected(ex.reply);
            ex.reply = after;
            ex.latencyMs = static_cast<double>(lastActivityNs_ - writtenNs) / kNsPerMs;
        } else {
            noteUnexpected(after);
        }
    } else if (ex.outcome == Outcome::Echo) {
        // The sensor's own answer follows the echo: hear it out, or the next request would get it.
        noteUnexpected(hearOut(timeoutMs, grace + timeoutMs, lost, stop, true));
    } else {
        // A reply that missed its deadline is heard out here, never taken for a later answer.
        ex.late = hearOut(grace, grace + timeoutMs, lost, stop, true);
        noteUnexpected(ex.late);
        // Nothing came even late: it may come later still, so the next reply is checked for it.
        outOfStep_ = ex.sent && ex.late.isEmpty();
    }
    if (lost) {
        close();
        ex.outcome = Outcome::Lost;
    }
    return ex;
}

void RtuLine::settle(int graceMs) {
    if (!port_->isOpen()) return;
    bool lost = false;
    noteUnexpected(hearOut(graceMs, 2 * graceMs, lost, {}, true));
    if (lost) close();
}

OpenResult diagnoseOpenFailure(const QString& device, bool driverSaysPermission,
                               const QString& driverReason) {
    OpenResult r;
#ifdef Q_OS_UNIX
    struct stat st {};
    const QByteArray path = QFile::encodeName(device);
    if (::stat(path.constData(), &st) != 0) {
        if (errno == EACCES) {
            r.failure = OpenFailure::Permission;
            r.reason = QStringLiteral("permission denied on the path to %1").arg(device);
            return r;
        }
        r.failure = OpenFailure::Missing;
        r.reason = QStringLiteral("%1 does not exist (is the adapter plugged in?)").arg(device);
        return r;
    }
    if (::access(path.constData(), R_OK | W_OK) != 0 && errno == EACCES) {
        r.failure = OpenFailure::Permission;
        r.reason = QStringLiteral("permission denied on %1").arg(device);
        const group* g = ::getgrgid(st.st_gid);
        const passwd* owner = ::getpwuid(st.st_uid);
        const QString groupName = g ? QString::fromLocal8Bit(g->gr_name) : QString::number(st.st_gid);
        const QString ownerName = owner ? QString::fromLocal8Bit(owner->pw_name) : QString::number(st.st_uid);
        // Joining the group helps only when the group may read and write the device.
        if ((st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP))
            r.group = groupName;
        else
            r.reason +=
                QStringLiteral(" (mode %1, owner %2, group %3, which may not read and write it); fix: "
                               "a udev rule that gives the device to the dialout group with mode "
                               "0660, or run as %2")
                    .arg(st.st_mode & 0777, 4, 8, QLatin1Char('0'))
                    .arg(ownerName, groupName);
        return r;
    }
#else
    if (!QFileInfo::exists(device) && !device.startsWith(QLatin1String("COM"), Qt::CaseInsensitive)) {
        r.failure = OpenFailure::Missing;
        r.reason = QStringLiteral("%1 does not exist").arg(device);
        return r;
    }
#endif
    if (driverSaysPermission) {
        r.failure = OpenFailure::Busy;
        r.reason = QStringLiteral("%1 is busy (another program holds it): %2").arg(device, driverReason);
        return r;
    }
    r.failure = OpenFailure::Other;
    r.reason = QStringLiteral("%1 cannot be opened: %2").arg(device, driverReason);
    return r;
}

} // namespace kv

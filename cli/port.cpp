#include "cli/port.h"

#include "cli/console.h"
#include "sensor/protocol.h"
#include "serial/commport.h"
#include "serial/portdiagnosis.h"

#include <QDir>
#include <QRegularExpression>

namespace kv::cli {

PortOption portOption(const std::string& text) {
    return {text, net::parsePortAddress(QString::fromStdString(text))};
}

std::optional<PortChoice> choosePort(const PortOption& port, int rate, const QString& programDir) {
    if (port.network()) return PortChoice{QString::fromStdString(port.text), rate > 0 ? rate : DEFAULT_RATE};
    const CommSetValues stored = storedCommSet(programDir);
    PortChoice c;
    if (!port.text.empty()) {
        c.device = resolvePort(QString::fromStdString(port.text), programDir);
    } else if (stored.complete() && *stored.port >= 1) {
        c.device = deviceForPort(*stored.port, programDir);
    } else {
        error(
            QStringLiteral("no port: give --port (COMn or a device path); there is no usable comm.set in %1")
                .arg(QDir::toNativeSeparators(programDir)));
        return std::nullopt;
    }
    c.rate = rate > 0 ? rate : (stored.complete() && *stored.rate > 0 ? *stored.rate : DEFAULT_RATE);
    if (!sensor::isStandardRate(c.rate)) {
        error(QStringLiteral("comm.set names %1 baud, which is no standard rate; give --rate").arg(c.rate));
        return std::nullopt;
    }
    return c;
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

QString openFailureText(const QString& device, const OpenResult& r) {
    switch (r.failure) {
    case OpenFailure::None:
    case OpenFailure::Other:
        return r.reason;
    case OpenFailure::Missing: // a network link says itself which host or port is not there
        if (!r.reason.isEmpty()) return r.reason;
        return QStringLiteral("%1 does not exist (is the adapter plugged in?)").arg(device);
    case OpenFailure::PathDenied:
        return QStringLiteral("permission denied on the path to %1").arg(device);
    case OpenFailure::NoPermission:
        if (!r.group.isEmpty())
            return QStringLiteral("permission denied on %1; fix: %2, then log out and in again")
                .arg(device, joinGroupCommand(r.group));
        return QStringLiteral(
                   "permission denied on %1 (mode %2, owner %3, group %4, which may not read and write it); "
                   "fix: a udev rule that gives the device to the dialout group with mode 0660, or run as %3")
            .arg(device)
            .arg(r.access.mode, 4, 8, QLatin1Char('0'))
            .arg(r.access.owner, r.access.group);
    case OpenFailure::Busy:
        if (!r.holder.isEmpty()) return QStringLiteral("%1 is busy: %2 holds it").arg(device, r.holder);
        return QStringLiteral("%1 is busy (another program holds it): %2").arg(device, r.reason);
    }
    return r.reason;
}

} // namespace kv::cli

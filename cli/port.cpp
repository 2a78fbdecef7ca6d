#include "cli/port.h"

#include "cli/console.h"
#include "sensor/protocol.h"
#include "serial/commport.h"

#include <QDir>
#include <QRegularExpression>

namespace kv::cli {

std::optional<PortChoice> choosePort(const std::string& port, int rate, const QString& programDir) {
    const CommSetValues stored = storedCommSet(programDir);
    PortChoice c;
    if (!port.empty()) {
        c.device = resolvePort(QString::fromStdString(port), programDir);
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

QString openFailureText(const OpenResult& r) {
    if (r.failure == OpenFailure::Permission && !r.group.isEmpty())
        return QStringLiteral("%1; fix: sudo usermod -aG %2 $USER, then log out and in again")
            .arg(r.reason, r.group);
    return r.reason;
}

} // namespace kv::cli

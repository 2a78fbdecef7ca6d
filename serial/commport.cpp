#include "serial/commport.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>

namespace kv {

int parseLineSettings(const QString& settings) {
    static const QRegularExpression form(QStringLiteral("^([0-9]{1,7}),[Nn],8,1$"));
    const auto m = form.match(settings);
    if (!m.hasMatch())
        return 0;
    return m.captured(1).toInt();
}

// Named after the window, not the running program, so the command line finds what the
// window saved.
QString userConfigDir() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/kv7702r-tool");
}

QString deviceForPort(int port, const QString& programDir) {
#ifdef Q_OS_WIN
    Q_UNUSED(programDir);
    return QStringLiteral("COM%1").arg(port);
#else
    // exists() follows the link, so a dangling link falls back to the next place.
    for (const QString& dir : {programDir, userConfigDir()}) {
        QString local = QDir(dir).filePath(QStringLiteral("COM%1").arg(port));
        if (!dir.isEmpty() && QFileInfo::exists(local))
            return local;
    }
    return QStringLiteral("/dev/ttyS%1").arg(port - 1);
#endif
}

QString realDevice(const QString& path) {
#ifdef Q_OS_WIN
    return path; // COMn is a device name, no file to follow
#else
    const QString real = QFileInfo(path).canonicalFilePath();
    return real.isEmpty() ? path : real;
#endif
}

} // namespace kv

#include "serial/portdiagnosis.h"

#include "serial/qtserialcomm.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSerialPort>
#include <QSerialPortInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kv {
namespace {

QString thisProgram(qint64 pid, const QString& app) {
    const QString who = app.isEmpty() ? QStringLiteral("PID %1").arg(pid)
                                      : QStringLiteral("%1 (PID %2)").arg(app, QString::number(pid));
    return pid == QCoreApplication::applicationPid()
               ? who + QCoreApplication::translate("PortInfo", "，即本程序")
               : who;
}

#ifdef Q_OS_UNIX

// A group must both read and write a device for its members to use it.
constexpr unsigned kGroupReadWrite = 060;

// The lock file a QSerialPort of this path takes: the path without /dev/, slashes as '_'.
QString lockName(const QString& path) {
    QString name = path.startsWith(QLatin1String("/dev/")) ? path.mid(5) : path;
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    return QStringLiteral("LCK..") + name;
}

QString holderOf(const QString& path) {
    for (const char* dir : {"/var/lock", "/run/lock", "/tmp", "/var/tmp"}) {
        const QString lock = QDir(QString::fromLatin1(dir)).filePath(lockName(path));
        if (!QFileInfo::exists(lock)) continue;
        qint64 pid = 0;
        QString host, app;
        if (!QLockFile(lock).getLockInfo(&pid, &host, &app) || pid <= 0) continue;
        if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM)
            continue; // a stale lock left by a process that is gone
        QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
        if (app.isEmpty() && comm.open(QIODevice::ReadOnly))
            app = QString::fromLocal8Bit(comm.readAll().trimmed());
        return thisProgram(pid, app);
    }
    return QString();
}

PortAccess accessOf(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) return {};
    const group* g = ::getgrgid(st.st_gid);
    const passwd* owner = ::getpwuid(st.st_uid);
    return {owner ? QString::fromLocal8Bit(owner->pw_name) : QString::number(st.st_uid),
            g ? QString::fromLocal8Bit(g->gr_name) : QString::number(st.st_gid),
            static_cast<unsigned>(st.st_mode & 0777)};
}

// A folder on the way that this user may not search hides whether the device is there.
bool searchDenied(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) != 0 && errno == EACCES;
}

#endif

} // namespace

#ifdef Q_OS_UNIX
PortProbe PortProbe::system() {
    PortProbe p;
    p.mayOpen = [](const QString& path) {
        return ::access(QFile::encodeName(path).constData(), R_OK | W_OK) == 0;
    };
    p.access = accessOf;
    // Joining a group that may not read and write the device would not help.
    p.groupOf = [](const QString& path) {
        const PortAccess a = accessOf(path);
        return (a.mode & kGroupReadWrite) == kGroupReadWrite ? a.group : QString();
    };
    p.lockHolder = holderOf;
    p.listed = [](const QString&) { return true; };
    return p;
}

OpenResult diagnosePort(const QString& device, const PortProbe& probe) {
    OpenResult r;
    const QString canonical = QFileInfo(device).canonicalFilePath();
    if (canonical.isEmpty()) {
        r.failure = searchDenied(device) ? OpenFailure::PathDenied : OpenFailure::Missing;
        return r;
    }
    if (!probe.mayOpen(canonical)) {
        r.failure = OpenFailure::NoPermission;
        r.group = probe.groupOf(canonical);
        r.access = probe.access(canonical);
        return r;
    }
    for (const QString& path : {device, canonical}) {
        r.holder = probe.lockHolder(path);
        if (!r.holder.isEmpty()) {
            r.failure = OpenFailure::Busy;
            break;
        }
    }
    return r;
}
#else
PortProbe PortProbe::system() {
    PortProbe p;
    p.mayOpen = [](const QString& path) {
        QSerialPort port(path);
        if (port.open(QIODevice::ReadWrite)) return true;
        return port.error() != QSerialPort::PermissionError; // in use: Windows opens a port once
    };
    p.access = [](const QString&) { return PortAccess{}; };
    p.groupOf = [](const QString&) { return QString(); };
    p.lockHolder = [](const QString& path) {
        return QtSerialComm::openHere(path)
                   ? thisProgram(QCoreApplication::applicationPid(), QCoreApplication::applicationName())
                   : QString();
    };
    p.listed = [](const QString& port) {
        for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
            if (info.portName().compare(port, Qt::CaseInsensitive) == 0) return true;
        return false;
    };
    return p;
}

// Windows keeps no lock files and no groups: a port is missing when the system does not
// list it, and busy when opening it is refused.
OpenResult diagnosePort(const QString& device, const PortProbe& probe) {
    OpenResult r;
    if (!probe.listed(device)) {
        r.failure = OpenFailure::Missing;
        return r;
    }
    r.holder = probe.lockHolder(device);
    if (!r.holder.isEmpty() || !probe.mayOpen(device)) r.failure = OpenFailure::Busy;
    return r;
}
#endif

QString joinGroupCommand(const QString& group) {
    return QStringLiteral("sudo usermod -aG %1 $USER").arg(group);
}

} // namespace kv

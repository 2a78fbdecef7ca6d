#include "serial/portinfo.h"

#include "serial/commport.h"
#include "serial/qtserialcomm.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSerialPort>
#include <QSerialPortInfo>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kv {
namespace {

struct Adapter {
    QString location;
    QString description;
};

// Unix: the USB adapters by device node. Windows: every port the system lists, by its
// COMn name, the description empty unless it is a USB adapter.
QList<Adapter> adapters() {
    QList<Adapter> out;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        QString text;
        if (info.hasVendorIdentifier()) {
            text = info.description();
            if (!info.manufacturer().isEmpty() && !text.contains(info.manufacturer()))
                text += QStringLiteral(" (%1)").arg(info.manufacturer());
            if (!info.serialNumber().isEmpty())
                text += QCoreApplication::translate("PortInfo", "，序列号 %1").arg(info.serialNumber());
        }
#ifdef Q_OS_WIN
        out.append({info.portName().toUpper(), text});
#else
        if (info.hasVendorIdentifier())
            out.append({QFileInfo(info.systemLocation()).canonicalFilePath(), text});
#endif
    }
    return out;
}

QString thisProgram(qint64 pid, const QString& app) {
    const QString who = app.isEmpty() ? QStringLiteral("PID %1").arg(pid)
                                      : QStringLiteral("%1 (PID %2)").arg(app).arg(pid);
    return pid == QCoreApplication::applicationPid()
               ? who + QCoreApplication::translate("PortInfo", "，即本程序")
               : who;
}

#ifdef Q_OS_UNIX

QString stableName(const QString& canonical) {
    const QDir byId(QStringLiteral("/dev/serial/by-id"));
    for (const QFileInfo& link : byId.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
        if (link.canonicalFilePath() == canonical) return link.absoluteFilePath();
    }
    return QString();
}

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

PortFacts factsWith(const QString& device, const PortProbe& probe, const QList<Adapter>& known) {
    PortFacts f;
    f.device = device;
    const QFileInfo info(device);
    if (info.isSymLink()) f.target = info.symLinkTarget();
    const QString canonical = info.canonicalFilePath();
    if (canonical.isEmpty()) {
        f.problem = PortFacts::Problem::Missing;
        return f;
    }
    for (const Adapter& a : known) {
        if (a.location == canonical) f.description = a.description;
    }
    f.byId = stableName(canonical);
    if (!probe.mayOpen(canonical)) {
        f.problem = PortFacts::Problem::NoPermission;
        f.group = probe.groupOf(canonical);
        return f;
    }
    for (const QString& path : {device, canonical}) {
        const QString holder = probe.lockHolder(path);
        if (!holder.isEmpty()) {
            f.problem = PortFacts::Problem::Busy;
            f.holder = holder;
            break;
        }
    }
    return f;
}

#else

// Windows keeps no lock files and no groups: a port is missing when the system does not
// list it, and busy when opening it is refused.
PortFacts factsWith(const QString& device, const PortProbe& probe, const QList<Adapter>& known) {
    PortFacts f;
    f.device = device;
    const auto it = std::find_if(known.cbegin(), known.cend(),
                                 [&](const Adapter& a) { return a.location == device.toUpper(); });
    if (it == known.cend()) {
        f.problem = PortFacts::Problem::Missing;
        return f;
    }
    f.description = it->description;
    f.holder = probe.lockHolder(device);
    if (!f.holder.isEmpty() || !probe.mayOpen(device)) f.problem = PortFacts::Problem::Busy;
    return f;
}

#endif

} // namespace

#ifdef Q_OS_UNIX
PortProbe PortProbe::system() {
    PortProbe p;
    p.mayOpen = [](const QString& path) {
        return ::access(QFile::encodeName(path).constData(), R_OK | W_OK) == 0;
    };
    p.groupOf = [](const QString& path) {
        struct stat st {};
        if (::stat(QFile::encodeName(path).constData(), &st) != 0) return QString();
        // Joining a group that may not read and write the device would not help.
        if ((st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP)) return QString();
        const struct group* g = ::getgrgid(st.st_gid);
        return g ? QString::fromLocal8Bit(g->gr_name) : QString::number(st.st_gid);
    };
    p.lockHolder = holderOf;
    return p;
}
#else
PortProbe PortProbe::system() {
    PortProbe p;
    p.mayOpen = [](const QString& path) {
        QSerialPort port(path);
        if (port.open(QIODevice::ReadWrite)) return true;
        return port.error() != QSerialPort::PermissionError; // in use: Windows opens a port once
    };
    p.groupOf = [](const QString&) { return QString(); };
    p.lockHolder = [](const QString& path) {
        return QtSerialComm::openHere(path)
                   ? thisProgram(QCoreApplication::applicationPid(), QCoreApplication::applicationName())
                   : QString();
    };
    return p;
}
#endif

PortFacts portFacts(const QString& device, const PortProbe& probe) {
    return factsWith(device, probe, adapters());
}

QString portToolTip(const PortFacts& f) {
    QStringList lines;
    lines << (f.target.isEmpty() ? f.device : QStringLiteral("%1 → %2").arg(f.device, f.target));
    if (!f.description.isEmpty())
        lines << QCoreApplication::translate("PortInfo", "USB 转串口：%1").arg(f.description);
    if (!f.byId.isEmpty()) lines << QCoreApplication::translate("PortInfo", "固定名称：%1").arg(f.byId);
    switch (f.problem) {
    case PortFacts::Problem::None:
        break;
    case PortFacts::Problem::Missing:
        lines << QCoreApplication::translate("PortInfo", "无法打开：设备不存在（未插入或链接已失效）");
        break;
    case PortFacts::Problem::Busy:
        lines << (f.holder.isEmpty()
                      ? QCoreApplication::translate("PortInfo", "无法打开：设备正被其他程序使用")
                      : QCoreApplication::translate("PortInfo", "无法打开：设备正被 %1 使用").arg(f.holder));
        break;
    case PortFacts::Problem::NoPermission:
        if (f.group.isEmpty()) {
            lines << QCoreApplication::translate("PortInfo", "无法打开：没有权限，设备的组也不能读写它。")
                  << QCoreApplication::translate(
                         "PortInfo",
                         "请用 udev 规则把设备交给 dialout 组（权限 0660），或以设备的所有者运行");
            break;
        }
        lines << QCoreApplication::translate("PortInfo", "无法打开：没有权限。设备属于 %1 组，请执行")
                     .arg(f.group)
              << QStringLiteral("sudo usermod -aG %1 $USER").arg(f.group)
              << QCoreApplication::translate("PortInfo", "然后注销并重新登录");
        break;
    }
    return lines.join(QLatin1Char('\n'));
}

QStringList portToolTips(int count, const QString& programDir) {
    const QList<Adapter> known = adapters();
    const PortProbe probe = PortProbe::system();
    QStringList tips;
    for (int n = 1; n <= count; ++n) {
        QString tip = portToolTip(factsWith(deviceForPort(n, programDir), probe, known));
#ifdef Q_OS_UNIX
        // A link whose device is gone is passed over; say so, or the fallback puzzles.
        for (const QString& dir : {programDir, userConfigDir()}) {
            const QFileInfo link(QDir(dir).filePath(QStringLiteral("COM%1").arg(n)));
            if (!dir.isEmpty() && link.isSymLink() && !link.exists())
                tip += QCoreApplication::translate("PortInfo", "\n%1 → %2 已失效（设备不存在）")
                           .arg(link.filePath(), link.symLinkTarget());
        }
#endif
        tips << tip;
    }
    return tips;
}

} // namespace kv

#include "serial/portinfo.h"

#include "serial/commport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>

#include <algorithm>

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

#ifdef Q_OS_UNIX

QString stableName(const QString& canonical) {
    const QDir byId(QStringLiteral("/dev/serial/by-id"));
    for (const QFileInfo& link : byId.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
        if (link.canonicalFilePath() == canonical) return link.absoluteFilePath();
    }
    return QString();
}

#endif

// The device as the list shows it, and why it cannot be opened.
PortFacts factsWith(const QString& device, const PortProbe& probe, const QList<Adapter>& known) {
    PortFacts f;
    f.device = device;
    const OpenResult why = diagnosePort(device, probe);
    f.problem = why.failure;
    f.holder = why.holder;
    f.group = why.group;
#ifdef Q_OS_UNIX
    const QFileInfo info(device);
    if (info.isSymLink()) f.target = info.symLinkTarget();
    const QString canonical = info.canonicalFilePath();
    if (canonical.isEmpty()) return f;
    for (const Adapter& a : known) {
        if (a.location == canonical) f.description = a.description;
    }
    f.byId = stableName(canonical);
#else
    for (const Adapter& a : known) {
        if (a.location == device.toUpper()) f.description = a.description;
    }
#endif
    return f;
}

} // namespace

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
    case PortFacts::Problem::Other: // only a driver tells this, on opening
        break;
    case PortFacts::Problem::Missing:
    case PortFacts::Problem::PathDenied:
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
              << joinGroupCommand(f.group) << QCoreApplication::translate("PortInfo", "然后注销并重新登录");
        break;
    }
    return lines.join(QLatin1Char('\n'));
}

QStringList portToolTips(int count, const QString& programDir) {
    const QList<Adapter> known = adapters();
    PortProbe probe = PortProbe::system();
#ifndef Q_OS_UNIX
    // The system's list, taken once for all the ports.
    probe.listed = [&known](const QString& port) {
        return std::any_of(known.cbegin(), known.cend(),
                           [&](const Adapter& a) { return a.location == port.toUpper(); });
    };
#endif
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

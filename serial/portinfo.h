#pragma once
// What a user needs to act on a port-list entry: the device it opens, what the
// adapter is, and why it cannot be opened.

#include <QString>
#include <QStringList>

#include <functional>

namespace kv {

struct PortFacts {
    QString device;      // what the entry opens (a COMn link or /dev/ttyS<n-1>)
    QString target;      // the device behind a link; empty when device is no link
    QString description; // the USB adapter's description and maker, when known
    QString byId;        // its stable /dev/serial/by-id name, when it has one
    enum class Problem { None, Missing, Busy, NoPermission } problem = Problem::None;
    QString holder; // Busy: the process that holds it, when known
    QString group;  // NoPermission: the device's group
};

// Ways to look at the system, replaceable so that the reasons can be checked anywhere.
struct PortProbe {
    // True when this user may read and write the device.
    std::function<bool(const QString& path)> mayOpen;
    // The group that owns the device, when that group may read and write it; else empty.
    std::function<QString(const QString& path)> groupOf;
    // The process holding the device's lock, as "name (PID n)"; empty when none.
    std::function<QString(const QString& path)> lockHolder;
    static PortProbe system();
};

[[nodiscard]] PortFacts portFacts(const QString& device, const PortProbe& probe = PortProbe::system());
// One line a fact, the device first; Chinese like the window.
[[nodiscard]] QString portToolTip(const PortFacts& facts);
// The tips of ports 1..count, with the adapters listed once for all of them.
[[nodiscard]] QStringList portToolTips(int count, const QString& programDir);

} // namespace kv

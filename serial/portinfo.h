#pragma once
// What a user needs to act on a port-list entry: the device it opens, what the
// adapter is, and why it cannot be opened, in the window's words.

#include "serial/portdiagnosis.h"

#include <QString>
#include <QStringList>

namespace kv {

struct PortFacts {
    QString device;      // what the entry opens (a COMn link or /dev/ttyS<n-1>)
    QString target;      // the device behind a link; empty when device is no link
    QString description; // the USB adapter's description and maker, when known
    QString byId;        // its stable /dev/serial/by-id name, when it has one
    // Why it cannot be opened, as diagnosePort tells: None, Missing, PathDenied, NoPermission or Busy.
    using Problem = OpenFailure;
    Problem problem = Problem::None;
    QString holder; // Busy: the process that holds it, when known
    QString group;  // NoPermission: the device's group, when joining it would help
};

[[nodiscard]] PortFacts portFacts(const QString& device, const PortProbe& probe = PortProbe::system());
// One line a fact, the device first; Chinese like the window.
[[nodiscard]] QString portToolTip(const PortFacts& facts);
// The tips of ports 1..count, with the adapters listed once for all of them.
[[nodiscard]] QStringList portToolTips(int count, const QString& programDir);

} // namespace kv

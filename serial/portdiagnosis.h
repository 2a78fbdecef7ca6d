#pragma once
// Why a serial device cannot be opened, worked out once from what the system says of it: the
// window's port tips and the command line's messages each put it in their own words.

#include "serial/byteline.h"

#include <QString>

#include <functional>

namespace kv {

// Ways to look at the system, replaceable so that the reasons can be checked anywhere.
struct PortProbe {
    // True when this user may read and write the device.
    std::function<bool(const QString& path)> mayOpen;
    // The group that owns the device, when that group may read and write it; else empty.
    std::function<QString(const QString& path)> groupOf;
    // The process holding the device's lock, as "name (PID n)"; empty when none.
    std::function<QString(const QString& path)> lockHolder;
    // The device's owner, group and mode (Unix).
    std::function<PortAccess(const QString& path)> access;
    // Whether the system lists the port (Windows, where a port is no file).
    std::function<bool(const QString& port)> listed;
    static PortProbe system();
};

// Looks at a device: missing (or behind a folder this user may not search), not this user's
// to open, or held by another program. The reason is left empty: the device is all it knows.
[[nodiscard]] OpenResult diagnosePort(const QString& device, const PortProbe& probe = PortProbe::system());

// The one command that lets this user open the devices of `group`, once logged in again.
[[nodiscard]] QString joinGroupCommand(const QString& group);

} // namespace kv

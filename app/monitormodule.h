#pragma once
// The monitor window lives in a module (kv7702r-monitor) loaded at its first opening, so that
// Qt Charts and what it brings are not loaded at every start of the tool.

#include "monitor/monitorview.h"

#include <QString>
#include <QStringList>

namespace kv {

// Where the module is looked for: beside the program (a portable folder, the build tree),
// then where an installed copy keeps it.
[[nodiscard]] QStringList monitorModulePlaces(const QString& programDir);
[[nodiscard]] mon::ViewMaker monitorModule(const QString& programDir);

} // namespace kv

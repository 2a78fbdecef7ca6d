#pragma once

#include "monitor/monitor.h"

class QWidget;

namespace kv {

class MessageBoxes;

// Opens the monitor (or raises it); when its window cannot be made, says why in a message
// box and on standard error, and nothing opens.
void openMonitor(mon::Monitor& monitor, MessageBoxes& messages);
// F2 in the main window opens the monitor.
void bindMonitorKey(QWidget* mainWindow, mon::Monitor& monitor, MessageBoxes& messages);

} // namespace kv

#pragma once

#include "monitor/monitor.h"

class QWidget;

namespace kv {

// F2 in the main window opens the monitor (or raises it).
void bindMonitorKey(QWidget* mainWindow, mon::Monitor& monitor);

} // namespace kv

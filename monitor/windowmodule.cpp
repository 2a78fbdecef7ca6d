// The monitor window as a module: the tool loads it, and Qt Charts with it, at the window's
// first opening.

#include "monitor/monitorwindow.h"

#include <QtGlobal>

extern "C" Q_DECL_EXPORT kv::mon::MonitorView* kv_make_monitor_window() {
    return new kv::mon::MonitorWindow;
}

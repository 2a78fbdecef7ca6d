#include "app/monitorkey.h"

#include "window/window.h"

#include <QShortcut>

#include <cstdio>

namespace kv {

void openMonitor(mon::Monitor& monitor, MessageBoxes& messages) {
    const QString error = monitor.show();
    if (error.isEmpty()) return;
    std::fprintf(stderr, "kv7702r-tool: the monitor cannot open: %s\n", qPrintable(error));
    messages.show(mon::Monitor::cannotOpen(error), QString(), Icon::Warning);
}

void bindMonitorKey(QWidget* mainWindow, mon::Monitor& monitor, MessageBoxes& messages) {
    auto* key = new QShortcut(QKeySequence(Qt::Key_F2), mainWindow);
    key->setObjectName(QStringLiteral("monitorKey"));
    QObject::connect(key, &QShortcut::activated, &monitor,
                     [&monitor, &messages] { openMonitor(monitor, messages); });
}

} // namespace kv

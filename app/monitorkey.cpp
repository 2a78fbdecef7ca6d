#include "app/monitorkey.h"

#include <QShortcut>

namespace kv {

void bindMonitorKey(QWidget* mainWindow, mon::Monitor& monitor) {
    auto* key = new QShortcut(QKeySequence(Qt::Key_F2), mainWindow);
    key->setObjectName(QStringLiteral("monitorKey"));
    QObject::connect(key, &QShortcut::activated, &monitor, [&monitor] { monitor.show(); });
}

} // namespace kv

#include "app/messageboxes.h"

#include <QMessageBox>

namespace kv {

void QtMessageBoxes::show(const QString& text, const QString& title, Icon icon) {
    QMessageBox::Icon qtIcon = QMessageBox::NoIcon;
    switch (icon) {
    case Icon::None: break;
    case Icon::Information: qtIcon = QMessageBox::Information; break;
    case Icon::Warning: qtIcon = QMessageBox::Warning; break;
    case Icon::Critical: qtIcon = QMessageBox::Critical; break;
    }
    QMessageBox box(qtIcon, title.isEmpty() ? kAppTitle : title, text, QMessageBox::Ok, parent_);
    box.exec();
}

} // namespace kv

#pragma once
// The only place that shows a QMessageBox.

#include "window/window.h"

namespace kv {

class QtMessageBoxes : public MessageBoxes {
public:
    explicit QtMessageBoxes(QWidget* parent = nullptr) : parent_(parent) {}
    void setParent(QWidget* parent) { parent_ = parent; }
    void show(const QString& text, const QString& title, Icon icon) override;

private:
    QWidget* parent_;
};

} // namespace kv

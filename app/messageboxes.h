#pragma once
// The only place that shows a QMessageBox.

#include "app/window.h"

namespace kv {

class QtMessageBoxes : public MessageBoxes {
public:
    explicit QtMessageBoxes(QWidget* parent = nullptr) : parent_(parent) {}
    void setParent(QWidget* parent) { parent_ = parent; }
    void show(const QString& text, const QString& title, Icon icon) override;
    bool isOpen() const override { return open_ > 0; }

private:
    QWidget* parent_;
    int open_ = 0;
};

} // namespace kv

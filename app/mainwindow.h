#pragma once
// frmMain: every control at its designed place, wired to its handler.

#include "app/appearance.h"
#include "app/controls.h"
#include "window/window.h"

#include <QWidget>

class QScrollArea;

namespace kv {

class MainWindow : public QWidget {
public:
    MainWindow(SerialComm& port, MessageBoxes& messages, const QString& programDir);

    Window& context() { return w_; }
    // The view onto the designed page; it scrolls when the window is shorter than the page.
    QScrollArea* scrollArea() const { return scroll_; }
    // The load step: start-up, before the operator can act.
    void load();

private:
    void build();
    void wire();
    void scrollable();

    Window w_;
    QScrollArea* scroll_ = nullptr;
};

} // namespace kv

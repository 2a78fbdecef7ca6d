#pragma once
// frmMain: every control at its designed place, wired to its handler.

#include "app/appearance.h"
#include "app/controls.h"
#include "window/window.h"

#include <QCoreApplication>
#include <QWidget>

class QScrollArea;

namespace kv {

class MainWindow : public QWidget {
    // The window's texts are looked up in the language chosen at start (app/language.h);
    // without a translation they are the designed Chinese ones.
    Q_DECLARE_TR_FUNCTIONS(MainWindow)
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
    void fullWordings();

    Window w_;
    QScrollArea* scroll_ = nullptr;
};

} // namespace kv

#pragma once
// frmMain: every control at its designed place, wired to its handler.

#include "window/window.h"

#include <QPainter>
#include <QWidget>

class QScrollArea;

namespace kv {

// Positions are designed in twips; this is the one place they become pixels.
inline constexpr int kTwipsPerPixel = 15;
[[nodiscard]] inline int px(int twips) { return (twips + kTwipsPerPixel / 2) / kTwipsPerPixel; }
[[nodiscard]] inline QRect twips(int left, int top, int width, int height) {
    return QRect(px(left), px(top), px(width), px(height));
}

// A line shape from one point to another, both in twips of the parent.
class LineShape : public QWidget {
public:
    LineShape(QWidget* parent, QPoint from, QPoint to, QColor colour);
    QPoint from() const { return from_; }
    QPoint to() const { return to_; }
    QColor colour() const { return colour_; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QPoint from_, to_;
    QColor colour_;
};

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

// Registers font substitutions so that the designed faces render with installed ones.
void installFontSubstitutions();

} // namespace kv

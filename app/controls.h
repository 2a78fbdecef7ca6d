#pragma once
// The kinds of control the designed window is built from, each made at its place in
// twips, and the few behaviours the toolkit's plain controls lack.

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRect>
#include <QWidget>

#include <functional>

namespace kv {

// Positions are designed in twips; this is the one place they become pixels.
inline constexpr int kTwipsPerPixel = 15;
[[nodiscard]] inline int px(int twips) {
    return (twips + kTwipsPerPixel / 2) / kTwipsPerPixel;
}
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

// A drop-down list that also takes typed text. Typed text never chooses an entry:
// Return in the edit field is swallowed, nothing is completed or inserted.
class DropDown : public QComboBox {
public:
    explicit DropDown(QWidget* parent) : QComboBox(parent) {}
    std::function<void()> beforePopup;

    void showPopup() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

template <class T> T* named(T* control, const QString& name) {
    control->setObjectName(name);
    return control;
}

// The name of a control-array member, "Label8(3)".
[[nodiscard]] QString member(const char* array, int i);

QGroupBox* group(QWidget* parent, const QString& name, const QString& caption, QRect geometry);

// A label in its own text colour; one placed with an empty size is sized to its text.
template <class Label = QLabel>
QLabel* label(QWidget* parent, const QString& name, const QString& text, QRect geometry,
              const QColor& colour = Qt::black) {
    auto* l = named(new Label(text, parent), name);
    l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    l->setWordWrap(true);
    QPalette pal = l->palette();
    pal.setColor(QPalette::WindowText, colour);
    l->setPalette(pal);
    if (geometry.size().isEmpty()) {
        // Range hints are placed by their top-left corner and sized to their text.
        l->setWordWrap(false);
        l->move(geometry.topLeft());
        l->adjustSize();
    } else {
        l->setGeometry(geometry);
    }
    return l;
}

template <class Box = QLineEdit>
QLineEdit* textBox(QWidget* parent, const QString& name, const QString& text, QRect geometry) {
    // The text comes after the box has its parent's font: given to the constructor, it is laid
    // out first in the application's default face, loaded for nothing but that.
    auto* t = named(new Box(parent), name);
    t->setText(text);
    t->setGeometry(geometry);
    return t;
}

QPushButton* button(QWidget* parent, const QString& name, const QString& text, QRect geometry);

DropDown* dropDown(QWidget* parent, const QString& name, const QStringList& entries, const QString& text,
                   QRect geometry);

// One of the three status lamps, at the lamps' common spot.
QLabel* lamp(QWidget* parent, const QString& name, const QColor& colour, bool highlight, int widthTwips);

// The sentence keeps its text but draws its blanks as wide as the design's face does.
void spaceLikeTheDesignFace(QLabel* sentence);

// The wheel over the control scrolls the window unless the control has the focus.
void wheelOnlyWhenFocused(QWidget* control);

} // namespace kv

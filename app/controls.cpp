#include "app/controls.h"

#include "app/appearance.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QPainter>

namespace kv {
namespace {

// The sentence leaves a gap of blanks for the present-address box. The design's face
// draws a blank half as wide as a Chinese character; substitute faces draw it narrower,
// which puts "改" under the box. The label keeps its text and draws its blanks that wide.
class DesignBlanks : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Paint) return false;
        auto* sentence = static_cast<QLabel*>(watched);
        QPainter p(sentence);
        p.setFont(sentence->font());
        p.setPen(sentence->palette().color(QPalette::WindowText));
        const QFontMetricsF metrics(sentence->font());
        const qreal blank = metrics.horizontalAdvance(QChar(0x6539)) / 2;
        QPointF at(sentence->contentsRect().left(), sentence->contentsRect().top() + metrics.ascent());
        const QStringList words = sentence->text().split(QLatin1Char(' '));
        for (int i = 0; i < words.size(); ++i) {
            if (i > 0) at.rx() += blank;
            p.drawText(at, words[i]);
            at.rx() += metrics.horizontalAdvance(words[i]);
        }
        return true;
    }
};

class WheelOnlyWhenFocused : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Wheel || static_cast<QWidget*>(watched)->hasFocus()) return false;
        event->ignore(); // handled here, yet travels on to the parents
        return true;
    }
};

} // namespace

LineShape::LineShape(QWidget* parent, QPoint from, QPoint to, QColor colour)
    : QWidget(parent), from_(from), to_(to), colour_(colour) {
    const QRect box = QRect(QPoint(px(from.x()), px(from.y())), QPoint(px(to.x()), px(to.y()))).normalized();
    setGeometry(box.adjusted(0, 0, 1, 1));
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void LineShape::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setPen(QPen(colour_, 1));
    const QPoint origin = geometry().topLeft();
    p.drawLine(QPoint(px(from_.x()), px(from_.y())) - origin, QPoint(px(to_.x()), px(to_.y())) - origin);
}

void DropDown::showPopup() {
    if (beforePopup) beforePopup();
    QComboBox::showPopup();
}

bool DropDown::eventFilter(QObject* watched, QEvent* event) {
    if (watched == lineEdit() && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) return true;
    }
    return QComboBox::eventFilter(watched, event);
}

QString member(const char* array, int i) {
    return QStringLiteral("%1(%2)").arg(QLatin1String(array)).arg(i);
}

QGroupBox* group(QWidget* parent, const QString& name, const QString& caption, QRect geometry) {
    auto* g = named(new QGroupBox(caption, parent), name);
    // Assistive technology would otherwise name a group inside a group by the outer title.
    g->setAccessibleName(caption);
    g->setGeometry(geometry);
    g->setAutoFillBackground(true);
    g->setFlat(false);
    return g;
}

QPushButton* button(QWidget* parent, const QString& name, const QString& text, QRect geometry) {
    auto* b = named(new QPushButton(text, parent), name);
    b->setGeometry(geometry);
    return b;
}

DropDown* dropDown(QWidget* parent, const QString& name, const QStringList& entries, const QString& text,
                   QRect geometry) {
    auto* c = named(new DropDown(parent), name);
    c->setEditable(true);
    c->setInsertPolicy(QComboBox::NoInsert);
    c->setCompleter(nullptr);
    c->lineEdit()->installEventFilter(c);
    c->addItems(entries);
    c->setCurrentIndex(-1);
    c->setEditText(text);
    c->setGeometry(geometry);
    return c;
}

QLabel* lamp(QWidget* parent, const QString& name, const QColor& colour, bool highlight, int widthTwips) {
    auto* l = named(new QLabel(parent), name);
    l->setPixmap(lampPixmap(colour, highlight));
    l->setGeometry(twips(360, 0, widthTwips, 240));
    l->setToolTip(QCoreApplication::translate("MainWindow", "数据采集通讯状态指示"));
    return l;
}

void spaceLikeTheDesignFace(QLabel* sentence) {
    sentence->setWordWrap(false);
    sentence->installEventFilter(new DesignBlanks(sentence));
}

void wheelOnlyWhenFocused(QWidget* control) {
    control->installEventFilter(new WheelOnlyWhenFocused(control));
}

} // namespace kv

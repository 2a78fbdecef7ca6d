#pragma once
// A control that changes often (a counter, a value box) over a parent that is costly
// to paint (a group box's frame). Qt repaints a see-through control by repainting its
// parent behind it first; this one paints a copy of what its parent shows behind it,
// taken once, and is opaque, so a change repaints the control and nothing else. It
// looks the same pixel for pixel.

#include <QEvent>
#include <QPainter>
#include <QPixmap>
#include <QWidget>

namespace kv {

template <class Control> class Backdrop : public Control {
public:
    template <class... Args> explicit Backdrop(Args&&... args) : Control(std::forward<Args>(args)...) {
        this->setAttribute(Qt::WA_OpaquePaintEvent);
    }

protected:
    void paintEvent(QPaintEvent* e) override {
        QWidget* parent = this->parentWidget();
        if (parent && backdrop_.isNull()) {
            const qreal ratio = this->devicePixelRatioF();
            backdrop_ = QPixmap(this->size() * ratio);
            backdrop_.setDevicePixelRatio(ratio);
            backdrop_.fill(Qt::transparent);
            // The parent alone, its children left out: what a see-through control lets show.
            parent->render(&backdrop_, QPoint(), QRegion(this->geometry()), QWidget::DrawWindowBackground);
        }
        {
            QPainter p(this);
            p.drawPixmap(0, 0, backdrop_);
        }
        Control::paintEvent(e);
    }

    void resizeEvent(QResizeEvent* e) override {
        backdrop_ = QPixmap();
        Control::resizeEvent(e);
    }
    void moveEvent(QMoveEvent* e) override {
        backdrop_ = QPixmap();
        Control::moveEvent(e);
    }
    void changeEvent(QEvent* e) override {
        if (e->type() == QEvent::PaletteChange || e->type() == QEvent::StyleChange ||
            e->type() == QEvent::ParentChange)
            backdrop_ = QPixmap();
        Control::changeEvent(e);
    }

private:
    QPixmap backdrop_;
};

} // namespace kv

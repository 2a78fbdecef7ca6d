#pragma once
// The panel that holds the three status lamps on one spot. Which lamp is seen is a
// stacking order the panel keeps itself: bringing a lamp to the front repaints the
// lamps' few pixels and nothing else, where raising a child widget would repaint the
// panel's ancestors behind it. The lamp labels stay the named controls (geometry,
// picture, tool tip) but never paint; the panel paints them, back to front.

#include <QEvent>
#include <QHelpEvent>
#include <QLabel>
#include <QPainter>
#include <QToolTip>
#include <QWidget>

#include <algorithm>
#include <vector>

namespace kv {

class LampPanel : public QWidget {
public:
    explicit LampPanel(QWidget* parent) : QWidget(parent) {}

    // A new lamp goes in front of those already there. The panel takes over its painting.
    void addLamp(QLabel* lamp) {
        lamp->hide();
        order_.push_back(lamp);
        update(lamp->geometry());
    }

    // Stacking order, back to front.
    const std::vector<QLabel*>& order() const { return order_; }
    QLabel* front() const { return order_.empty() ? nullptr : order_.back(); }

    void bringToFront(QLabel* lamp) {
        const auto it = std::find(order_.begin(), order_.end(), lamp);
        if (it == order_.end() || lamp == order_.back()) return;
        order_.erase(it);
        order_.push_back(lamp);
        QRect dirty;
        for (const QLabel* l : order_)
            dirty |= l->geometry();
        update(dirty);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        for (const QLabel* lamp : order_) {
            const QPixmap pm = lamp->pixmap();
            if (pm.isNull()) continue;
            p.save();
            p.setClipRect(lamp->geometry());
            p.drawPixmap(lamp->geometry().topLeft(), pm);
            p.restore();
        }
    }

    bool event(QEvent* e) override {
        if (e->type() == QEvent::ToolTip) {
            const auto* help = static_cast<QHelpEvent*>(e);
            for (auto it = order_.crbegin(); it != order_.crend(); ++it) {
                if ((*it)->geometry().contains(help->pos())) {
                    QToolTip::showText(help->globalPos(), (*it)->toolTip(), this, (*it)->geometry());
                    return true;
                }
            }
            QToolTip::hideText();
            e->ignore();
            return true;
        }
        return QWidget::event(e);
    }

private:
    std::vector<QLabel*> order_;
};

} // namespace kv

#pragma once
// The panel that holds the three status lamps on one spot. Which lamp is seen is a
// stacking order the panel keeps itself: bringing a lamp to the front repaints the
// lamps' few pixels and nothing else, where raising a child widget would repaint the
// panel's ancestors behind it. The lamp labels stay the named controls (geometry,
// picture, tool tip) but never paint; the panel paints them, back to front. Like the
// picture box it stands for, the panel is opaque, filled with its palette's window
// colour; it keeps a picture of each order it has shown and repaints by copying one.

#include <QEvent>
#include <QHelpEvent>
#include <QLabel>
#include <QPainter>
#include <QToolTip>
#include <QWidget>

#include <algorithm>
#include <iterator>
#include <utility>
#include <vector>

namespace kv {

class LampPanel : public QWidget {
public:
    explicit LampPanel(QWidget* parent) : QWidget(parent) {
        setAutoFillBackground(true);
        setAttribute(Qt::WA_OpaquePaintEvent); // the picture holds the background
    }

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
        const Look look = currentLook();
        auto cached =
            std::find_if(pictures_.begin(), pictures_.end(), [&](const auto& c) { return c.first == look; });
        if (cached == pictures_.end()) {
            // Each order the lamps have shown in keeps its picture, while nothing else changes.
            if (!pictures_.empty() && !pictures_.front().first.sameGround(look)) pictures_.clear();
            QPixmap picture(size() * look.ratio);
            picture.setDevicePixelRatio(look.ratio);
            QPainter pp(&picture);
            pp.fillRect(rect(), palette().brush(backgroundRole()));
            for (const QLabel* lamp : order_) {
                const QPixmap pm = lamp->pixmap();
                if (pm.isNull()) continue;
                pp.save();
                pp.setClipRect(lamp->geometry());
                pp.drawPixmap(lamp->geometry().topLeft(), pm);
                pp.restore();
            }
            pp.end();
            pictures_.emplace_back(look, picture);
            cached = std::prev(pictures_.end());
        }
        QPainter p(this);
        p.drawPixmap(0, 0, cached->second);
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
    // What the picture shows: the lamps in order with their pictures and places, the
    // panel's colour, size and the screen's pixel ratio.
    struct Look {
        std::vector<std::pair<qint64, QRect>> lamps;
        qint64 palette = 0;
        QSize size;
        qreal ratio = 0;
        bool sameGround(const Look& o) const {
            return palette == o.palette && size == o.size && ratio == o.ratio;
        }
        bool operator==(const Look& o) const { return lamps == o.lamps && sameGround(o); }
    };
    Look currentLook() const {
        Look look{{}, palette().cacheKey(), size(), devicePixelRatioF()};
        for (const QLabel* lamp : order_)
            look.lamps.emplace_back(lamp->pixmap().cacheKey(), lamp->geometry());
        return look;
    }

    std::vector<QLabel*> order_;
    std::vector<std::pair<Look, QPixmap>> pictures_;
};

} // namespace kv

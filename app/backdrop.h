#pragma once
// A control that changes often (a counter, a value box) over a parent that is costly
// to paint (a group box's frame). Qt repaints a see-through control by repainting its
// parent behind it first; this one paints a copy of what its parent shows behind it,
// taken once, and is opaque, so a change repaints the control and nothing else. A text
// box also keeps its frame, drawn once over that copy: the style's frame of a text box
// costs four times its text. It looks the same pixel for pixel.

#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QProxyStyle>
#include <QStyle>
#include <QStyleOption>
#include <QWidget>

#include <functional>
#include <type_traits>

namespace kv {

namespace detail {

// Draws a text box's frame from a picture of it over the box's backdrop, made by the
// application's style the first time and again whenever the box's look changes.
class FrameCacheStyle : public QProxyStyle {
public:
    using Backdrop = std::function<QPixmap(const QWidget*)>;
    explicit FrameCacheStyle(Backdrop backdrop) : backdrop_(std::move(backdrop)) {}

    void drawPrimitive(PrimitiveElement pe, const QStyleOption* opt, QPainter* p,
                       const QWidget* w) const override {
        if (pe != PE_PanelLineEdit || !w || !opt || opt->rect != w->rect())
            return QProxyStyle::drawPrimitive(pe, opt, p, w);
        const auto* frame = qstyleoption_cast<const QStyleOptionFrame*>(opt);
        const Key key{int(opt->state), frame ? frame->lineWidth : 0, opt->palette.cacheKey(),
                      opt->rect.size(), w->devicePixelRatioF()};
        if (picture_.isNull() || !(key == key_)) {
            picture_ = backdrop_(w);
            QPainter pp(&picture_);
            QProxyStyle::drawPrimitive(pe, opt, &pp, w);
            key_ = key;
        }
        p->drawPixmap(opt->rect.topLeft(), picture_);
    }

private:
    // What the picture was made for: the box's state, frame, palette, size and screen's pixel ratio.
    struct Key {
        int state = 0;
        int lineWidth = 0;
        qint64 palette = 0;
        QSize size;
        qreal ratio = 0;
        bool operator==(const Key& o) const {
            return state == o.state && lineWidth == o.lineWidth && palette == o.palette && size == o.size &&
                   ratio == o.ratio;
        }
    };

    Backdrop backdrop_;
    mutable QPixmap picture_;
    mutable Key key_;
};

} // namespace detail

template <class Control> class Backdrop : public Control {
public:
    template <class... Args> explicit Backdrop(Args&&... args) : Control(std::forward<Args>(args)...) {
        this->setAttribute(Qt::WA_OpaquePaintEvent);
        if constexpr (std::is_base_of_v<QLineEdit, Control>) {
            frameStyle_ = new detail::FrameCacheStyle(
                [](const QWidget* w) { return static_cast<const Backdrop*>(w)->backdrop(); });
            frameStyle_->setParent(this);
            this->setStyle(frameStyle_);
        }
    }

    // What the parent shows behind the control.
    QPixmap backdrop() const {
        QWidget* parent = this->parentWidget();
        const qreal ratio = this->devicePixelRatioF();
        // A copy made on a screen of another pixel ratio would be drawn blurred or halved.
        if (parent && (backdrop_.isNull() || backdrop_.devicePixelRatio() != ratio)) {
            backdrop_ = QPixmap(this->size() * ratio);
            backdrop_.setDevicePixelRatio(ratio);
            backdrop_.fill(Qt::transparent);
            // The parent alone, its children left out: what a see-through control lets show.
            parent->render(&backdrop_, QPoint(), QRegion(this->geometry()), QWidget::DrawWindowBackground);
        }
        return backdrop_;
    }

protected:
    void paintEvent(QPaintEvent* e) override {
        // A framed text box draws its frame picture, backdrop included, over its whole rect.
        bool framePaintsBackdrop = false;
        if constexpr (std::is_base_of_v<QLineEdit, Control>) framePaintsBackdrop = this->hasFrame();
        if (framePaintsBackdrop) return Control::paintEvent(e);
        QPainter p(this);
        p.drawPixmap(0, 0, backdrop());
        if constexpr (std::is_base_of_v<QLabel, Control>) {
            if (drawPlainText(p)) return;
        }
        p.end();
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
    bool event(QEvent* e) override {
        // The window moved to another screen: its pixels may differ though no size changed.
        if (e->type() == QEvent::ScreenChangeInternal) backdrop_ = QPixmap();
#if QT_VERSION >= QT_VERSION_CHECK(6, 6, 0)
        if (e->type() == QEvent::DevicePixelRatioChange) backdrop_ = QPixmap();
#endif
        return Control::event(e);
    }
    void changeEvent(QEvent* e) override {
        if (e->type() == QEvent::PaletteChange || e->type() == QEvent::StyleChange ||
            e->type() == QEvent::ParentChange)
            backdrop_ = QPixmap();
        Control::changeEvent(e);
    }

private:
    // A frameless label of plain text, as QLabel draws it, with the painter already open:
    // the style's item text in the contents rect. False for any other label.
    bool drawPlainText(QPainter& p) const {
        const QLabel* l = this;
        if (l->frameShape() != QFrame::NoFrame || l->margin() != 0 || l->indent() > 0 ||
            l->textFormat() == Qt::RichText || l->text().isEmpty() || l->buddy() ||
            (l->textFormat() == Qt::AutoText && Qt::mightBeRichText(l->text())) || !l->pixmap().isNull() ||
            (l->textInteractionFlags() & (Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard)))
            return false;
        const Qt::LayoutDirection direction = l->text().isRightToLeft() ? Qt::RightToLeft : Qt::LeftToRight;
        const int flags =
            int(QStyle::visualAlignment(direction, l->alignment())) | (l->wordWrap() ? Qt::TextWordWrap : 0) |
            (direction == Qt::LeftToRight ? Qt::TextForceLeftToRight : Qt::TextForceRightToLeft);
        QStyleOption opt;
        opt.initFrom(this);
        this->style()->drawItemText(&p, l->contentsRect(), flags, opt.palette, this->isEnabled(), l->text(),
                                    this->foregroundRole());
        return true;
    }

    mutable QPixmap backdrop_;
    detail::FrameCacheStyle* frameStyle_ = nullptr;
};

} // namespace kv

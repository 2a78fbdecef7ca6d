#pragma once
// The reply box: a multi-line text box whose whole text the tool replaces at every reply
// of a cycle. A text document is costly to empty, fill and lay out for a line of hex
// digits twenty times a second, so while the operator is not working in the box (it
// has no focus), no assistive technology listens and the text fits it, the box keeps
// the text as one laid-out paragraph and paints it exactly where the document would.
// When the box takes the focus (a click, Tab) the text goes into the document and it is
// an ordinary text box again: select, copy, type, scroll. While a screen reader or any
// UI automation is on, the text always goes into the document, where they read it.

#include <QAccessible>
#include <QFocusEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QTextDocument>
#include <QTextLayout>

#include <memory>

namespace kv {

class ReplyBox : public QPlainTextEdit, private QAccessible::ActivationObserver {
public:
    explicit ReplyBox(QWidget* parent) : QPlainTextEdit(parent), listened_(QAccessible::isActive()) {
        QAccessible::installActivationObserver(this);
    }
    ~ReplyBox() override { QAccessible::removeActivationObserver(this); }

    // As QPlainTextEdit's: the text replaced, the cursor at its start, no undo history.
    void setPlainText(const QString& text) {
        if (light_ && light_->text() == text) return;
        std::unique_ptr<QTextLayout> layout = hasFocus() || listened_ ? nullptr : layOut(text);
        if (!layout) {
            light_.reset();
            if (!(text.isEmpty() && document()->isEmpty())) QPlainTextEdit::setPlainText(text);
            return;
        }
        if (!light_ && !document()->isEmpty()) QPlainTextEdit::setPlainText(QString());
        light_ = std::move(layout);
        viewport()->update();
    }
    void clear() { setPlainText(QString()); }
    QString toPlainText() const { return light_ ? light_->text() : QPlainTextEdit::toPlainText(); }

protected:
    // Assistive technology came: what is painted goes where it reads.
    void accessibilityActiveChanged(bool active) override {
        listened_ = active;
        if (active) toDocument();
    }
    void focusInEvent(QFocusEvent* e) override {
        toDocument();
        QPlainTextEdit::focusInEvent(e);
    }
    void resizeEvent(QResizeEvent* e) override {
        toDocument();
        QPlainTextEdit::resizeEvent(e);
    }
    void changeEvent(QEvent* e) override {
        if (e->type() == QEvent::FontChange || e->type() == QEvent::StyleChange) toDocument();
        QPlainTextEdit::changeEvent(e);
    }
    void paintEvent(QPaintEvent* e) override {
        if (!light_) return QPlainTextEdit::paintEvent(e);
        QPainter p(viewport());
        p.setPen(palette().text().color());
        // The document's first line sits one document margin below the top.
        light_->draw(&p, QPointF(0, document()->documentMargin()));
    }

private:
    // The paragraph as the document would lay it out: wrapped to the viewport less a
    // margin each side, lines leading included. None for text that would need the
    // document: more than one paragraph, or more lines than the box shows.
    std::unique_ptr<QTextLayout> layOut(const QString& text) const {
        // A box not on screen has no final size yet to lay out for, nor anything to repaint.
        if (!isVisible() || text.contains(QLatin1Char('\n')) || text.contains(QChar::ParagraphSeparator))
            return nullptr;
        auto layout = std::make_unique<QTextLayout>(text, document()->defaultFont());
        layout->setTextOption(document()->defaultTextOption());
        layout->setCacheEnabled(true);
        const qreal margin = document()->documentMargin();
        const qreal width = viewport()->width() - 2 * margin;
        qreal height = 0;
        layout->beginLayout();
        for (QTextLine line = layout->createLine(); line.isValid(); line = layout->createLine()) {
            line.setLeadingIncluded(true);
            line.setLineWidth(width);
            line.setPosition(QPointF(margin, height));
            height += line.height();
        }
        layout->endLayout();
        // As the text edit counts: the text fits when it ends a pixel above the bottom margin;
        // otherwise it gives its scroll bar a step.
        if (height + 2 * margin + 1 > viewport()->height()) return nullptr;
        return layout;
    }

    void toDocument() {
        if (!light_) return;
        const QString text = light_->text();
        light_.reset();
        QPlainTextEdit::setPlainText(text);
    }

    std::unique_ptr<QTextLayout> light_;
    bool listened_; // assistive technology is on
};

} // namespace kv

#pragma once
// The reply box: a multi-line text box whose whole text the tool replaces at every reply
// of a cycle. A text document is costly to empty, fill and lay out for a line of hex
// digits twenty times a second, so while the operator is not working in the box (it
// has no focus) and the text fits it, the box keeps the text as one laid-out paragraph
// and paints it exactly where the document would. When the box takes the focus (a click,
// Tab) the text goes into the document and it is an ordinary text box again: select,
// copy, type, scroll. Assistive technology reads the box through its own accessible
// text, which is the text shown whichever way it is painted, and hears of every change.

#include <QAccessible>
#include <QAccessibleWidget>
#include <QFocusEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>

#include <algorithm>
#include <memory>

namespace kv {

class ReplyBox : public QPlainTextEdit {
public:
    explicit ReplyBox(QWidget* parent) : QPlainTextEdit(parent) { installAccessibleFactory(); }

    // As QPlainTextEdit's: the text replaced, the cursor at its start, no undo history.
    // The document tells assistive technology of its own changes; the box tells it of
    // what it paints.
    void setPlainText(const QString& text) {
        if (light_ && light_->text() == text) return;
        std::unique_ptr<QTextLayout> layout = hasFocus() ? nullptr : layOut(text);
        if (!layout) {
            dropPainted();
            if (!(text.isEmpty() && document()->isEmpty())) QPlainTextEdit::setPlainText(text);
            return;
        }
        if (!light_ && !document()->isEmpty()) QPlainTextEdit::setPlainText(QString());
        const QString before = light_ ? light_->text() : QString();
        light_ = std::move(layout);
        viewport()->update();
        announce(before, text);
    }
    void clear() { setPlainText(QString()); }
    QString toPlainText() const { return light_ ? light_->text() : QPlainTextEdit::toPlainText(); }

    // The text painted by the box itself, laid out in viewport coordinates; none while the
    // document holds it.
    const QTextLayout* paintedText() const { return light_.get(); }
    // Where the character at offset shows, in viewport coordinates, reckoned alike whether
    // the box paints the text or the document holds it; empty beyond the text.
    QRectF characterBox(int offset) const {
        if (offset < 0 || offset >= toPlainText().size()) return {};
        QPointF origin;
        QTextLine line;
        if (light_) {
            line = light_->lineForTextPosition(offset);
        } else {
            const QTextBlock block = document()->findBlock(offset);
            origin = blockBoundingGeometry(block).translated(contentOffset()).topLeft();
            offset -= block.position();
            if (block.layout()) line = block.layout()->lineForTextPosition(offset);
        }
        if (!line.isValid()) return {};
        const qreal left = line.cursorToX(offset), right = line.cursorToX(offset + 1);
        return QRectF(origin + QPointF(std::min(left, right), line.y()),
                      origin + QPointF(std::max(left, right), line.y() + line.height()));
    }
    // The text goes into the document, where the operator can work on it.
    void toDocument() {
        if (!light_) return;
        const QString text = light_->text();
        dropPainted();
        QPlainTextEdit::setPlainText(text);
    }

protected:
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
        light_->draw(&p, QPointF(0, 0));
    }

private:
    // The paragraph as the document would lay it out: wrapped to the viewport less a
    // margin each side, lines leading included, the first line one margin below the top.
    // None for text that would need the document: more than one paragraph, or more
    // lines than the box shows.
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
            line.setPosition(QPointF(margin, margin + height));
            height += line.height();
        }
        layout->endLayout();
        // As the text edit counts: the text fits when it ends a pixel above the bottom margin;
        // otherwise it gives its scroll bar a step.
        if (height + 2 * margin + 1 > viewport()->height()) return nullptr;
        return layout;
    }

    // Tells assistive technology what the document would: the text removed, inserted or
    // replaced from the start.
    void announce(const QString& before, const QString& after) {
        if (!QAccessible::isActive() || before == after) return;
        if (before.isEmpty()) {
            QAccessibleTextInsertEvent inserted(this, 0, after);
            QAccessible::updateAccessibility(&inserted);
        } else if (after.isEmpty()) {
            QAccessibleTextRemoveEvent removed(this, 0, before);
            QAccessible::updateAccessibility(&removed);
        } else {
            QAccessibleTextUpdateEvent replaced(this, 0, before, after);
            QAccessible::updateAccessibility(&replaced);
        }
    }

    void dropPainted() {
        if (!light_) return;
        const QString before = light_->text();
        light_.reset();
        announce(before, QString());
    }

    static void installAccessibleFactory();

    std::unique_ptr<QTextLayout> light_;
};

// What assistive technology reads of the reply box: an editable text whose text is the
// one shown, with the caret, selection and character places of the document while the
// operator works in it, and of the painted paragraph (caret at its start, as the text
// edit leaves it) otherwise. Moving the caret or selecting puts the text in the document.
class ReplyBoxAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    explicit ReplyBoxAccessible(ReplyBox* box) : QAccessibleWidget(box, QAccessible::EditableText) {}

    void* interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
        return QAccessibleWidget::interface_cast(t);
    }
    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.editable = !box()->isReadOnly();
        s.readOnly = box()->isReadOnly();
        s.multiLine = true;
        s.selectableText = true;
        return s;
    }
    QString text(QAccessible::Text t) const override {
        return t == QAccessible::Value ? box()->toPlainText() : QAccessibleWidget::text(t);
    }

    int characterCount() const override { return static_cast<int>(box()->toPlainText().size()); }
    QString text(int startOffset, int endOffset) const override {
        const QString all = box()->toPlainText();
        const int start = std::clamp(startOffset, 0, static_cast<int>(all.size()));
        return all.mid(start, std::max(0, std::min(endOffset, static_cast<int>(all.size())) - start));
    }
    int cursorPosition() const override { return box()->paintedText() ? 0 : box()->textCursor().position(); }
    void setCursorPosition(int position) override { setSelection(0, position, position); }
    int selectionCount() const override { return box()->textCursor().hasSelection() ? 1 : 0; }
    void selection(int selectionIndex, int* startOffset, int* endOffset) const override {
        *startOffset = *endOffset = 0;
        const QTextCursor c = box()->textCursor();
        if (selectionIndex != 0 || !c.hasSelection()) return;
        *startOffset = c.selectionStart();
        *endOffset = c.selectionEnd();
    }
    void addSelection(int startOffset, int endOffset) override { setSelection(0, startOffset, endOffset); }
    void removeSelection(int selectionIndex) override {
        if (selectionIndex != 0) return;
        QTextCursor c = box()->textCursor();
        c.clearSelection();
        box()->setTextCursor(c);
    }
    void setSelection(int selectionIndex, int startOffset, int endOffset) override {
        if (selectionIndex != 0) return;
        box()->toDocument();
        const int last = characterCount();
        QTextCursor c = box()->textCursor();
        c.setPosition(std::clamp(startOffset, 0, last));
        c.setPosition(std::clamp(endOffset, 0, last), QTextCursor::KeepAnchor);
        box()->setTextCursor(c);
    }
    QRect characterRect(int offset) const override {
        const QRect inViewport = box()->characterBox(offset).toAlignedRect();
        if (inViewport.isNull()) return {};
        return QRect(box()->viewport()->mapToGlobal(inViewport.topLeft()), inViewport.size());
    }
    int offsetAtPoint(const QPoint& point) const override {
        const QPoint at = box()->viewport()->mapFromGlobal(point);
        if (!box()->viewport()->rect().contains(at)) return -1;
        const QTextLayout* painted = box()->paintedText();
        if (!painted) return box()->cursorForPosition(at).position();
        for (int i = 0; i < painted->lineCount(); ++i) {
            const QTextLine line = painted->lineAt(i);
            if (at.y() < line.rect().bottom() || i == painted->lineCount() - 1)
                return line.xToCursor(at.x(), QTextLine::CursorOnCharacter);
        }
        return -1;
    }
    // The painted text fits the box by construction; in the document, the box scrolls
    // until the substring's first line shows.
    void scrollToSubstring(int startIndex, int) override {
        if (box()->paintedText()) return;
        QScrollBar* bar = box()->verticalScrollBar();
        for (int guard = bar->maximum() - bar->minimum(); guard >= 0; --guard) {
            const QRect r = box()->characterBox(startIndex).toAlignedRect();
            if (r.top() < 0 && bar->value() > bar->minimum())
                bar->setValue(bar->value() - 1);
            else if (r.bottom() > box()->viewport()->height() && bar->value() < bar->maximum())
                bar->setValue(bar->value() + 1);
            else
                break;
        }
    }
    // One run of one face and colour: no attributes beyond the box's own.
    QString attributes(int offset, int* startOffset, int* endOffset) const override {
        const int count = characterCount();
        *startOffset = offset < 0 || offset > count ? -1 : 0;
        *endOffset = offset < 0 || offset > count ? -1 : count;
        return QString();
    }

private:
    ReplyBox* box() const { return static_cast<ReplyBox*>(widget()); }
};

inline void ReplyBox::installAccessibleFactory() {
    static const bool installed = [] {
        QAccessible::installFactory([](const QString&, QObject* object) -> QAccessibleInterface* {
            if (auto* box = dynamic_cast<ReplyBox*>(object)) return new ReplyBoxAccessible(box);
            return nullptr;
        });
        return true;
    }();
    Q_UNUSED(installed);
}

} // namespace kv

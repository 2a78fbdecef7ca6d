#pragma once
// The reply box: a multi-line text box whose whole text is replaced at every reply of a
// cycle. The text edit's own setPlainText also rebuilds its cursor, selection and
// formats and scrolls; replacing the document's text directly leaves the same text,
// the cursor at its start and no undo history, for about a tenth of the work.

#include <QPlainTextEdit>
#include <QTextDocument>

namespace kv {

class ReplyBox : public QPlainTextEdit {
public:
    explicit ReplyBox(QWidget* parent) : QPlainTextEdit(parent) {}

    void setPlainText(const QString& text) {
        if (text.isEmpty() && document()->isEmpty())
            return;
        document()->setPlainText(text);
    }
    void clear() { setPlainText(QString()); }
};

} // namespace kv

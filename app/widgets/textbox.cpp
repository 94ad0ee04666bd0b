#include "textbox.h"

#include <QTextCursor>

namespace widgets {

TextBox::TextBox(QPlainTextEdit &widget, RepaintScheduler &scheduler)
    : Control(scheduler), m_widget(widget), m_text(widget.toPlainText())
{
}

void TextBox::append(const QString &text)
{
    m_text += text;
    m_pending += text;
    changed();
}

void TextBox::refresh()
{
    QString shown = std::exchange(m_pending, {});
    shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    QTextCursor cursor(m_widget.document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(shown);
}

} // namespace widgets

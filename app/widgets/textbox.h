#pragma once

#include "repaintscheduler.h"

#include <QPlainTextEdit>
#include <QString>

namespace widgets {

// A multi-line text box that grows at its end. Its text is kept whole, as
// written; the widget receives only what was appended, so a long text is
// never laid out again.
class TextBox : public Control
{
public:
    TextBox(QPlainTextEdit &widget, RepaintScheduler &scheduler);

    const QString &text() const { return m_text; }
    void append(const QString &text);

private:
    void refresh() override;

    QPlainTextEdit &m_widget;
    QString m_text;
    QString m_pending;
};

} // namespace widgets

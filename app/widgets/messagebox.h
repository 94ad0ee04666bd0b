#pragma once

#include <QString>

class QWidget;

namespace widgets {

// Message box styles: OK only, without or with the information icon.
enum class MessageStyle { Plain = 0, Information = 64 };

// A modal message box with only the OK button, in its parent's font and no
// wider than its parent; returns when it is closed.
void showMessage(QWidget *parent, const QString &text, const QString &title, MessageStyle style);

} // namespace widgets

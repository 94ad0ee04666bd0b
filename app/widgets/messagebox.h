#pragma once

#include "update/updatewindow.h"

#include <QString>

class QWidget;

namespace widgets {

// A modal message box with only the OK button; returns when it is closed.
void showMessage(QWidget *parent, const QString &text, const QString &title, MessageStyle style);

} // namespace widgets

#include "messagebox.h"

#include <QMessageBox>

namespace widgets {

void showMessage(QWidget *parent, const QString &text, const QString &title, MessageStyle style)
{
    QMessageBox box(style == MessageStyle::Information ? QMessageBox::Information : QMessageBox::NoIcon, title,
                    text, QMessageBox::Ok, parent);
    box.setEscapeButton(QMessageBox::Ok);
    // A window's font is not passed on to the windows it opens.
    if (parent)
        box.setFont(parent->font());
    box.exec();
}

} // namespace widgets

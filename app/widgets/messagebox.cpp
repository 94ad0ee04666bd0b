#include "messagebox.h"

#include <QLabel>
#include <QLayout>
#include <QMessageBox>

namespace widgets {

namespace {

// A message box no wider than its parent: a text that would make it wider
// wraps. Qt sizes a box by the screen, up to 500 pixels.
class FittingMessageBox final : public QMessageBox
{
public:
    using QMessageBox::QMessageBox;

protected:
    void showEvent(QShowEvent *event) override
    {
        QMessageBox::showEvent(event);
        auto *label = findChild<QLabel *>(QStringLiteral("qt_msgbox_label"));
        const int most = parentWidget() ? parentWidget()->width() : width();
        if (!label || width() <= most)
            return;
        label->setWordWrap(true);
        label->setFixedWidth(label->width() - (width() - most));
        layout()->activate();
        setFixedSize(most, layout()->totalHeightForWidth(most));
    }
};

} // namespace

void showMessage(QWidget *parent, const QString &text, const QString &title, MessageStyle style)
{
    FittingMessageBox box(style == MessageStyle::Information ? QMessageBox::Information : QMessageBox::NoIcon, title,
                          text, QMessageBox::Ok, parent);
    box.setEscapeButton(QMessageBox::Ok);
    // A window's font is not passed on to the windows it opens.
    if (parent)
        box.setFont(parent->font());
    box.exec();
}

} // namespace widgets

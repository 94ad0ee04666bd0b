#pragma once

#include "repaintscheduler.h"

#include <QLabel>
#include <QString>

namespace widgets {

// A label's caption. An auto-size label takes the size of its caption, its
// left edge and vertical centre staying where they were laid out.
class Label : public Control
{
public:
    // A caption's text made from a number.
    using Format = QString (*)(double);

    Label(QLabel &widget, RepaintScheduler &scheduler, bool autoSize);

    // An auto-size label no wider than `width`: a longer caption wraps into
    // more lines, still about its vertical centre.
    void fitWithin(int width);

    const QString &caption() const;
    void setCaption(const QString &caption);
    // The caption `format(value)`, formatted only when it is read or painted:
    // a caption that changes thousands of times a second is formatted at the
    // pace at which it is looked at.
    void setCaption(double value, Format format);

private:
    void refresh() override;

    QLabel &m_widget;
    mutable QString m_caption;
    // The number whose text the caption is until that text is made.
    Format m_format = nullptr;
    double m_value = 0;
    mutable bool m_unformatted = false;
    bool m_autoSize;
    int m_mostWidth = 0; // none when 0
    int m_centreY;
};

} // namespace widgets

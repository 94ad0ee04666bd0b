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
    Label(QLabel &widget, RepaintScheduler &scheduler, bool autoSize);

    const QString &caption() const { return m_caption; }
    void setCaption(const QString &caption);

private:
    void refresh() override;

    QLabel &m_widget;
    QString m_caption;
    bool m_autoSize;
    int m_centreY;
};

} // namespace widgets

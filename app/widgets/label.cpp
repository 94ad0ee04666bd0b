#include "label.h"

namespace widgets {

Label::Label(QLabel &widget, RepaintScheduler &scheduler, bool autoSize)
    : Control(scheduler), m_widget(widget), m_caption(widget.text()), m_autoSize(autoSize),
      m_centreY(widget.geometry().center().y())
{
    if (m_autoSize)
        refresh();
}

void Label::setCaption(const QString &caption)
{
    if (caption == m_caption)
        return;
    m_caption = caption;
    changed();
}

void Label::refresh()
{
    m_widget.setText(m_caption);
    if (!m_autoSize)
        return;
    const QFontMetrics metrics(m_widget.font());
    const int height = metrics.height();
    m_widget.setGeometry(m_widget.x(), m_centreY - height / 2, metrics.horizontalAdvance(m_caption), height);
}

} // namespace widgets

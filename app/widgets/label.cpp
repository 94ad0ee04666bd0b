#include "label.h"

namespace widgets {

Label::Label(QLabel &widget, RepaintScheduler &scheduler, bool autoSize)
    : Control(scheduler), m_widget(widget), m_caption(widget.text()), m_autoSize(autoSize),
      m_centreY(widget.geometry().center().y())
{
    if (m_autoSize)
        refresh();
}

const QString &Label::caption() const
{
    if (m_unformatted) {
        m_caption = m_format(m_value);
        m_unformatted = false;
    }
    return m_caption;
}

void Label::setCaption(const QString &caption)
{
    if (caption == this->caption())
        return;
    m_format = nullptr;
    m_caption = caption;
    changed();
}

void Label::setCaption(double value, Format format)
{
    if (format == m_format && value == m_value)
        return;
    m_format = format;
    m_value = value;
    m_unformatted = true;
    changed();
}

void Label::refresh()
{
    m_widget.setText(caption());
    if (!m_autoSize)
        return;
    const QFontMetrics metrics(m_widget.font());
    const int height = metrics.height();
    m_widget.setGeometry(m_widget.x(), m_centreY - height / 2, metrics.horizontalAdvance(m_caption), height);
}

} // namespace widgets

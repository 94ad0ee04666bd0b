#include "label.h"

namespace widgets {

Label::Label(QLabel &widget, RepaintScheduler &scheduler, bool autoSize)
    : Control(scheduler), m_widget(widget), m_caption(widget.text()), m_autoSize(autoSize),
      m_centreY(widget.geometry().center().y())
{
    if (m_autoSize)
        refresh();
}

void Label::fitWithin(int width)
{
    m_mostWidth = width;
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
    const int width = metrics.horizontalAdvance(m_caption);
    // Wrapped only when too wide: a caption that fits keeps to one line.
    const bool wraps = m_mostWidth > 0 && width > m_mostWidth;
    m_widget.setWordWrap(wraps);
    if (!wraps) {
        m_widget.setGeometry(m_widget.x(), m_centreY - metrics.height() / 2, width, metrics.height());
        return;
    }
    const int height = metrics.boundingRect(QRect(0, 0, m_mostWidth, 1 << 16), Qt::TextWordWrap, m_caption).height();
    m_widget.setGeometry(m_widget.x(), m_centreY - height / 2, m_mostWidth, height);
}

} // namespace widgets

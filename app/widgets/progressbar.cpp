#include "progressbar.h"

#include "platform/core/error.h"
#include "platform/text/numbers.h"

#include <cmath>

namespace widgets {

namespace {

constexpr int steps = 10000;

} // namespace

ProgressBar::ProgressBar(QProgressBar &widget, RepaintScheduler &scheduler, float max)
    : Control(scheduler), m_widget(widget), m_max(max)
{
    m_widget.setRange(0, steps);
    m_widget.setTextVisible(false);
    refresh();
}

void ProgressBar::setMax(float max)
{
    if (max < min())
        throw platform::Error(platform::Error::Code::InvalidArgument, QStringLiteral("Max = ") + platform::numbers::formatGeneral(max));
    if (max == m_max)
        return;
    m_max = max;
    if (m_value > m_max)
        m_value = m_max;
    changed();
}

void ProgressBar::setValue(float value)
{
    if (!(value >= min() && value <= m_max))
        throw platform::Error(platform::Error::Code::InvalidArgument, QStringLiteral("Value = ") + platform::numbers::formatGeneral(value));
    if (value == m_value)
        return;
    m_value = value;
    changed();
}

void ProgressBar::refresh()
{
    const double share = m_max > 0 ? double(m_value) / m_max : 0.0;
    m_widget.setValue(int(std::lround(share * steps)));
}

} // namespace widgets

#pragma once

#include "repaintscheduler.h"

#include <QProgressBar>

namespace widgets {

// A progress bar with single-precision bounds and position. A position
// outside Min..Max is refused with the platform's error, and the bar keeps
// its last accepted one.
class ProgressBar : public Control
{
public:
    ProgressBar(QProgressBar &widget, RepaintScheduler &scheduler, float max = 100);

    float min() const { return 0; }
    float max() const { return m_max; }
    float value() const { return m_value; }

    // A maximum below the position takes the position down with it; a
    // maximum equal to the minimum shows an empty bar.
    void setMax(float max);
    void setValue(float value);

private:
    void refresh() override;

    QProgressBar &m_widget;
    float m_max;
    float m_value = 0;
};

} // namespace widgets

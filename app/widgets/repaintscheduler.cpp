#include "repaintscheduler.h"

namespace widgets {

RepaintScheduler::RepaintScheduler(QObject *parent) : QObject(parent)
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(intervalMs);
    connect(&m_timer, &QTimer::timeout, this, &RepaintScheduler::refreshNow);
}

void RepaintScheduler::requestRefresh(Control *control)
{
    m_dirty.push_back(control);
    if (!m_timer.isActive())
        m_timer.start();
}

void RepaintScheduler::refreshNow()
{
    m_timer.stop();
    std::vector<Control *> dirty;
    dirty.swap(m_dirty);
    for (Control *control : dirty) {
        control->m_dirty = false;
        control->refresh();
    }
}

} // namespace widgets

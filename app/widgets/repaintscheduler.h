#pragma once

#include <QObject>
#include <QTimer>

#include <vector>

namespace widgets {

class Control;

// Brings the controls' widgets up to date at a human pace: a control that
// changes asks for a refresh, and every control that changed is brought up to
// date together once the interval has passed, at the next turn of the event
// loop after it.
class RepaintScheduler : public QObject
{
public:
    static constexpr int intervalMs = 16;

    explicit RepaintScheduler(QObject *parent = nullptr);

    void requestRefresh(Control *control);
    // Brings every changed control up to date now.
    void refreshNow();

private:
    QTimer m_timer;
    std::vector<Control *> m_dirty;
};

// A control whose value is kept here and shown by its widget later.
class Control
{
public:
    explicit Control(RepaintScheduler &scheduler) : m_scheduler(scheduler) {}
    virtual ~Control() = default;

protected:
    void changed()
    {
        if (!m_dirty) {
            m_dirty = true;
            m_scheduler.requestRefresh(this);
        }
    }

private:
    friend class RepaintScheduler;
    virtual void refresh() = 0;

    RepaintScheduler &m_scheduler;
    bool m_dirty = false;
};

} // namespace widgets

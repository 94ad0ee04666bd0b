#include "eventloop.h"

#include "metronome.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <cstdint>

namespace platform {

namespace {

// The longest a wait sleeps before it looks at its condition again. The event
// loop can miss the wake-up for data that the network thread hands over; a
// wait must not hang on that until a time limit.
constexpr qint64 longestSleepMs = 2;

// The milliseconds by which yields pace the full passes: a yield comes
// between every two blocks of work, far too often to read the clock each time.
Metronome &metronome()
{
    static Metronome beat;
    return beat;
}

// The tick of the metronome at which this thread's event dispatcher last made
// a full pass. Every pass counts, whoever makes it: a yield, a wait sleeping
// in the event loop, the main loop or a nested one such as a modal message
// box's; the dispatcher announces each one with awake().
struct FullPasses
{
    QPointer<QAbstractEventDispatcher> watched;
    std::uint64_t lastTick = 0;
};

thread_local FullPasses fullPasses;

void watchFullPasses()
{
    QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
    if (!dispatcher || fullPasses.watched == dispatcher)
        return;
    fullPasses.watched = dispatcher;
    QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, dispatcher,
                     [] { fullPasses.lastTick = metronome().lastTick(); });
}

} // namespace

// A full pass of the dispatcher (its locks, its sources, a poll of its
// descriptors) costs more than the block of a download around it, and almost
// every one finds nothing to do: the X connection is read by a thread of its
// own, and a download reads the network while it waits in the event loop.
// Posted events cost next to nothing to deliver, so they go out at every yield.
void yield()
{
    watchFullPasses();
    const std::uint64_t tick = metronome().tick();
    if (tick == fullPasses.lastTick) {
        QCoreApplication::sendPostedEvents();
        return;
    }
    fullPasses.lastTick = tick;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

bool sleepUntilEvent(QTimer &wake, QDeadlineTimer deadline)
{
    if (deadline.hasExpired())
        return false;
    const qint64 sleep = deadline.isForever() ? longestSleepMs
                                              : std::min(longestSleepMs, deadline.remainingTime() + 1);
    wake.start(std::chrono::milliseconds(sleep));
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return true;
}

bool waitUntil(const std::function<bool()> &done, QDeadlineTimer deadline)
{
    if (done())
        return true;
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    while (!done()) {
        if (!sleepUntilEvent(wake, deadline))
            return false;
    }
    return true;
}

} // namespace platform

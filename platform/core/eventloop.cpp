#include "eventloop.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QPointer>
#include <QTimer>

#include <chrono>

namespace platform {

namespace {

// The longest a wait sleeps before it looks at its condition again. The event
// loop can miss the wake-up for data that the network thread hands over; a
// wait must not hang on that until a time limit.
constexpr qint64 longestSleepMs = 2;

using SteadyClock = std::chrono::steady_clock;

// The longest a yield lets pass without a full pass of the event dispatcher.
constexpr SteadyClock::duration fullPassInterval = std::chrono::milliseconds(1);

// When this thread's event dispatcher last made a full pass. Every pass counts,
// whoever makes it: a yield, a wait sleeping in the event loop, the main loop
// or a nested one such as a modal message box's; the dispatcher announces each
// one with awake().
struct FullPasses
{
    QPointer<QAbstractEventDispatcher> watched;
    SteadyClock::time_point last;
};

thread_local FullPasses fullPasses;

void watchFullPasses()
{
    QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
    if (!dispatcher || fullPasses.watched == dispatcher)
        return;
    fullPasses.watched = dispatcher;
    QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, dispatcher,
                     [] { fullPasses.last = SteadyClock::now(); });
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
    const SteadyClock::time_point now = SteadyClock::now();
    if (now - fullPasses.last < fullPassInterval) {
        QCoreApplication::sendPostedEvents();
        return;
    }
    fullPasses.last = now;
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

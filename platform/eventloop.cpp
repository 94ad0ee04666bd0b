#include "eventloop.h"

#include "bytestream.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

namespace platform {

namespace {

// The longest a wait sleeps before it looks at its condition again. The event
// loop can miss the wake-up for data that the network thread hands over; a
// wait must not hang on that until a time limit.
constexpr qint64 longestSleepMs = 2;

} // namespace

void yield()
{
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

void endAtOnce(int exitCode)
{
    ByteStream::flushAll();
    std::fflush(nullptr);
    std::_Exit(exitCode);
}

} // namespace platform

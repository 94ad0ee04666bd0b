#include "eventloop.h"

#include "bytestream.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

namespace platform {

void yield()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

bool sleepUntilEvent(QTimer &wake, QDeadlineTimer deadline)
{
    if (deadline.hasExpired())
        return false;
    // Whatever a wait waits for changes in an event handler of this thread,
    // so the next event is the moment to look again; the timer only marks
    // the deadline.
    if (!deadline.isForever())
        wake.start(std::chrono::milliseconds(deadline.remainingTime() + 1));
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

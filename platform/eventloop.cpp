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

bool waitUntil(const std::function<bool()> &done, QDeadlineTimer deadline)
{
    if (done())
        return true;
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        const qint64 sleep = deadline.isForever() ? longestSleepMs
                                                  : std::min(longestSleepMs, deadline.remainingTime() + 1);
        wake.start(std::chrono::milliseconds(sleep));
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
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

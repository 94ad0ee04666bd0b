#include "clock.h"

#include <QTime>

namespace platform {

double secondsSinceMidnight()
{
    return QTime::currentTime().msecsSinceStartOfDay() / 1000.0;
}

} // namespace platform

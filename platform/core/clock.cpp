#include "clock.h"

#include <ctime>

namespace platform {

double secondsSinceMidnight()
{
    // Converting to local time reads the time zone each time; the offset
    // from UTC is kept and looked up again at every quarter hour, when a
    // daylight-saving change can take effect.
    static std::time_t offsetValidUntil = 0;
    static long offsetSeconds = 0;

    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec >= offsetValidUntil) {
        std::tm local{};
        localtime_r(&now.tv_sec, &local);
        offsetSeconds = local.tm_gmtoff;
        offsetValidUntil = now.tv_sec - now.tv_sec % 900 + 900;
    }
    const long long localSeconds = now.tv_sec + offsetSeconds;
    return double(localSeconds % 86400) + now.tv_nsec / 1e9;
}

} // namespace platform

#pragma once

#include "platform/net/curlattempt.h"

// Network limits that let a test see every retry and time-out within a second or so.
inline platform::NetworkLimits quickLimits(int idleMs = 1000)
{
    platform::NetworkLimits limits;
    limits.connect = std::chrono::milliseconds(2000);
    limits.idle = std::chrono::milliseconds(idleMs);
    limits.firstRetryWait = std::chrono::milliseconds(20);
    limits.longestRetryAfter = std::chrono::milliseconds(1500);
    limits.retryWindow = std::chrono::milliseconds(10000);
    return limits;
}

#include "earlybodies.h"

namespace platform {

bool EarlyBodies::take(std::int64_t bytes)
{
    if (bytes > m_room)
        return false;
    m_room -= bytes;
    return true;
}

void EarlyBodies::giveBack(std::int64_t bytes)
{
    m_room += bytes;
    if (bytes <= 0)
        return;
    // A woken transfer may find no room again and wait anew.
    const std::map<const void *, std::function<void()>> waiting = std::exchange(m_waiting, {});
    for (const auto &[owner, wake] : waiting)
        wake();
}

} // namespace platform

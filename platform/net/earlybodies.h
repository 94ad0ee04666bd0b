#pragma once

#include <QtGlobal>

#include <cstdint>
#include <functional>
#include <map>
#include <utility>

namespace platform {

// The memory that bodies arriving before their turn may hold, all together.
// A body that finds no room waits on the wire, paused, until room is given
// back: by a transfer whose turn has come, or one dropped.
class EarlyBodies
{
public:
    explicit EarlyBodies(std::int64_t capacity) : m_room(capacity) {}
    EarlyBodies(const EarlyBodies &) = delete;
    EarlyBodies &operator=(const EarlyBodies &) = delete;

    // Whether `bytes` more fit; they are counted as held if so.
    bool take(std::int64_t bytes);
    // Bytes no longer held: whoever waits for room is woken.
    void giveBack(std::int64_t bytes);
    // `wake` is called once when room is given back, unless `owner` stops waiting first.
    void waitForRoom(const void *owner, std::function<void()> wake) { m_waiting[owner] = std::move(wake); }
    void stopWaiting(const void *owner) { m_waiting.erase(owner); }

private:
    std::int64_t m_room;
    std::map<const void *, std::function<void()>> m_waiting;
};

} // namespace platform

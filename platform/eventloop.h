#pragma once

#include <QDeadlineTimer>

#include <functional>

namespace platform {

// The longest a wait sleeps before it looks at its condition again. The event
// loop can miss the wake-up for data that the network thread hands over; a
// wait must not hang on that until a time limit.
inline constexpr qint64 longestSleepMs = 2;

// Lets the event loop process every pending event, then goes on.
void yield();

// Sleeps in the event loop until `done` holds or the deadline passes; returns
// whether `done` holds. Never spins: between checks the thread waits for the
// next event, and a timer wakes it at the deadline or after longestSleepMs.
bool waitUntil(const std::function<bool()> &done, QDeadlineTimer deadline);

// Ends the program at once: whatever was written is flushed to disk, no
// destructor, close or unload handler runs.
[[noreturn]] void endAtOnce(int exitCode = 0);

} // namespace platform

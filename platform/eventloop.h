#pragma once

#include <QDeadlineTimer>

class QTimer;

#include <functional>

namespace platform {

// Lets the event loop process every pending event, then goes on.
void yield();

// Sleeps in the event loop until the next event, or until the single-shot
// timer `wake` ends the sleep at the deadline or after 2 ms at the longest;
// false, without sleeping, once the deadline has passed.
bool sleepUntilEvent(QTimer &wake, QDeadlineTimer deadline);

// Sleeps in the event loop until `done` holds or the deadline passes; returns
// whether `done` holds. Never spins: between checks it sleeps until an event.
bool waitUntil(const std::function<bool()> &done, QDeadlineTimer deadline);

// Ends the program at once: whatever was written is flushed to disk, no
// destructor, close or unload handler runs.
[[noreturn]] void endAtOnce(int exitCode = 0);

} // namespace platform

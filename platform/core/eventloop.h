#pragma once

#include <QDeadlineTimer>

class QTimer;

#include <functional>

namespace platform {

// Delivers the posted events, and lets the event loop handle every other
// pending event (input, timers, sockets) at the first yield in each new
// millisecond since its last full pass: between blocks of work, any event is
// handled within 1 ms plus one block. Reads no clock.
void yield();

// Sleeps in the event loop until the next event, or until the single-shot
// timer `wake` ends the sleep at the deadline or after 2 ms at the longest;
// false, without sleeping, once the deadline has passed.
bool sleepUntilEvent(QTimer &wake, QDeadlineTimer deadline);

// Sleeps in the event loop until `done` holds or the deadline passes; returns
// whether `done` holds. Never spins: between checks it sleeps until an event.
bool waitUntil(const std::function<bool()> &done, QDeadlineTimer deadline);

} // namespace platform

#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace platform {

// A count that goes up once a millisecond, kept by a thread of its own, so
// that work done in many short pieces can tell that a millisecond has passed
// without reading the clock after every piece. The thread runs only while
// the count is asked for: a tenth of a second unasked and it rests, until
// the next question wakes it (which counts as a tick).
class Metronome
{
public:
    Metronome() = default;
    ~Metronome();
    Metronome(const Metronome &) = delete;
    Metronome &operator=(const Metronome &) = delete;

    // The current tick; keeps the count going.
    std::uint64_t tick();
    // The current tick, leaving the count to rest if nobody else asks.
    std::uint64_t lastTick() const { return m_ticks.load(std::memory_order_relaxed); }

private:
    void wakeUp();
    void run();

    std::atomic<std::uint64_t> m_ticks{0};
    std::atomic<bool> m_asked{false};
    std::atomic<bool> m_resting{true};
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace platform

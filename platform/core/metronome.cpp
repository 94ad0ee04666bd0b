#include "metronome.h"

#include <chrono>

namespace platform {

namespace {

constexpr std::chrono::milliseconds interval(1);
// Ticks without a question before the thread rests.
constexpr int ticksBeforeRest = 100;

} // namespace

Metronome::~Metronome()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    if (m_thread.joinable())
        m_thread.join();
}

std::uint64_t Metronome::tick()
{
    if (!m_asked.load(std::memory_order_relaxed))
        m_asked.store(true, std::memory_order_relaxed);
    if (m_resting.load(std::memory_order_acquire))
        wakeUp();
    return m_ticks.load(std::memory_order_relaxed);
}

void Metronome::wakeUp()
{
    const std::lock_guard lock(m_mutex);
    if (!m_resting.load(std::memory_order_relaxed))
        return;
    // Time has passed while it rested: the question itself is a new tick.
    m_ticks.fetch_add(1, std::memory_order_relaxed);
    m_resting.store(false, std::memory_order_release);
    if (m_thread.joinable())
        m_wake.notify_one();
    else
        m_thread = std::thread([this] { run(); });
}

void Metronome::run()
{
    int unasked = 0;
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        if (m_resting.load(std::memory_order_relaxed)) {
            m_wake.wait(lock);
            continue;
        }
        lock.unlock();
        std::this_thread::sleep_for(interval);
        lock.lock();
        m_ticks.fetch_add(1, std::memory_order_relaxed);
        if (m_asked.exchange(false, std::memory_order_relaxed)) {
            unasked = 0;
        } else if (++unasked >= ticksBeforeRest) {
            unasked = 0;
            m_resting.store(true, std::memory_order_relaxed);
        }
    }
}

} // namespace platform

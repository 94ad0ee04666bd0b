#pragma once

#include "platform/core/error.h"

#include <QList>
#include <QString>

#include <chrono>
#include <cstdint>
#include <optional>

namespace platform {

// What one transfer did, from its first attempt to its end.
struct TransferReport
{
    QString url;
    int status = 0;          // the final HTTP status, 0 when none came
    std::int64_t bytes = 0;  // body bytes received, over every attempt
    std::chrono::milliseconds elapsed{0};
    int attempts = 0;
    int resumes = 0;         // attempts that asked for the rest of a body
    bool finished = false;   // else given up by its owner before its end
    std::optional<Error> failure;
};

// Hears what the transport's transfers do: for the run's log and for the
// window's status line, without either knowing of curl.
class TransferObserver
{
public:
    virtual ~TransferObserver() = default;

    // A transfer waits `wait` before its next attempt, because of `why`.
    virtual void retryWaiting(const QString &url, const Error &why, std::chrono::milliseconds wait) = 0;
    // The attempt after such a wait starts.
    virtual void retryStarted(const QString &url) = 0;
    virtual void transferEnded(const TransferReport &report) = 0;
};

// Passes every report on to the observers added, in the order added.
class TransferObservers final : public TransferObserver
{
public:
    void add(TransferObserver *observer) { m_observers.append(observer); }
    void remove(TransferObserver *observer) { m_observers.removeAll(observer); }

    void retryWaiting(const QString &url, const Error &why, std::chrono::milliseconds wait) override
    {
        for (TransferObserver *observer : QList(m_observers))
            observer->retryWaiting(url, why, wait);
    }
    void retryStarted(const QString &url) override
    {
        for (TransferObserver *observer : QList(m_observers))
            observer->retryStarted(url);
    }
    void transferEnded(const TransferReport &report) override
    {
        for (TransferObserver *observer : QList(m_observers))
            observer->transferEnded(report);
    }

private:
    QList<TransferObserver *> m_observers;
};

// An observer added to `observers` for as long as this object lives.
class ObserverRegistration
{
public:
    ObserverRegistration(TransferObservers &observers, TransferObserver &observer)
        : m_observers(observers), m_observer(observer)
    {
        m_observers.add(&m_observer);
    }
    ~ObserverRegistration() { m_observers.remove(&m_observer); }
    ObserverRegistration(const ObserverRegistration &) = delete;
    ObserverRegistration &operator=(const ObserverRegistration &) = delete;

private:
    TransferObservers &m_observers;
    TransferObserver &m_observer;
};

} // namespace platform

#include "backgroundsha256.h"

#include <algorithm>
#include <cerrno>
#include <sys/resource.h>
#include <unistd.h>

namespace release {

BackgroundSha256::~BackgroundSha256()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    if (m_worker.joinable())
        m_worker.join();
}

void BackgroundSha256::start(platform::FileDescriptor file, const QString &name)
{
    stopWorker();
    m_file = std::move(file);
    m_name = name;
    m_told = 0;
    m_sha.restart();
    const std::lock_guard lock(m_mutex);
    m_written = 0;
    m_reached = 0;
    m_failure.reset();
}

void BackgroundSha256::tell(qint64 size)
{
    m_told = size;
    {
        const std::lock_guard lock(m_mutex);
        m_written = size;
        if (!m_worker.joinable()) {
            m_piece = std::make_unique<char[]>(std::size_t(pieceSize));
            m_worker = std::thread([this] { run(); });
        }
    }
    m_changed.notify_all();
}

qint64 BackgroundSha256::stopWorker()
{
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return !m_hashing; });
    m_written = m_reached;
    return m_reached;
}

QByteArray BackgroundSha256::hexResult(qint64 size)
{
    const qint64 reached = stopWorker();
    std::optional<platform::Error> failure;
    {
        const std::lock_guard lock(m_mutex);
        failure = std::exchange(m_failure, std::nullopt);
    }
    // The worker is idle: the context is this thread's until the next stream.
    if (!failure) {
        try {
            char tail[16 * 1024];
            hash(reached, size, tail, sizeof tail);
        } catch (const platform::Error &error) {
            failure = error;
        }
    }
    m_file.close();
    if (failure) {
        m_sha.restart();
        throw *failure;
    }
    return m_sha.hexResult();
}

void BackgroundSha256::hash(qint64 from, qint64 end, char *buffer, qint64 bufferSize)
{
    while (from < end) {
        const qint64 want = std::min(bufferSize, end - from);
        const ssize_t n = platform::readAllAt(m_file.get(), buffer, std::size_t(want), off_t(from));
        if (n < 0)
            throw platform::Error::fromErrno(errno, m_name);
        // Shorter than written: the file was cut meanwhile.
        if (n < want)
            throw platform::Error::fromErrno(EIO, m_name);
        m_sha.addData(QByteArrayView(buffer, n));
        from += n;
    }
}

void BackgroundSha256::run()
{
    // The digest has the whole download to catch up: on a busy processor
    // the receiving thread goes first.
    ::setpriority(PRIO_PROCESS, ::gettid(), 10);
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stopping || (!m_failure && m_written - m_reached >= pieceSize); });
        if (m_stopping)
            return;
        // A whole piece at a time: the tail is the result's, and whoever
        // waits for the worker waits for one piece at most.
        const qint64 from = m_reached;
        const qint64 end = from + pieceSize;
        m_hashing = true;
        lock.unlock();
        std::optional<platform::Error> failure;
        try {
            hash(from, end, m_piece.get(), pieceSize);
        } catch (const platform::Error &error) {
            failure = error;
        }
        lock.lock();
        if (failure)
            m_failure = std::move(failure);
        else
            m_reached = end;
        m_hashing = false;
        m_changed.notify_all();
    }
}

} // namespace release

#include "backgroundsha256.h"

#include <algorithm>
#include <cstring>

namespace release {

namespace {

constexpr qsizetype pieceSize = 256 * 1024;
constexpr int mostPieces = 4;

} // namespace

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

void BackgroundSha256::addData(QByteArrayView data)
{
    while (!data.isEmpty()) {
        if (!m_filling.data)
            m_filling = freePiece();
        const qsizetype n = std::min(data.size(), pieceSize - m_filling.size);
        std::memcpy(m_filling.data.get() + m_filling.size, data.data(), std::size_t(n));
        m_filling.size += n;
        data = data.sliced(n);
        if (m_filling.size == pieceSize)
            handOver();
    }
}

BackgroundSha256::Piece BackgroundSha256::freePiece()
{
    std::unique_lock lock(m_mutex);
    if (m_free.empty() && m_pieces < mostPieces) {
        ++m_pieces;
        return Piece{std::make_unique<char[]>(std::size_t(pieceSize))};
    }
    m_changed.wait(lock, [this] { return !m_free.empty(); });
    Piece piece = std::move(m_free.back());
    m_free.pop_back();
    return piece;
}

void BackgroundSha256::handOver()
{
    {
        const std::lock_guard lock(m_mutex);
        m_waiting.push_back(std::move(m_filling));
        if (!m_worker.joinable())
            m_worker = std::thread([this] { run(); });
    }
    m_filling = {};
    m_changed.notify_all();
}

void BackgroundSha256::waitUntilIdle()
{
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return m_waiting.empty() && !m_hashing; });
}

QByteArray BackgroundSha256::hexResult()
{
    waitUntilIdle();
    // The worker is idle: the context is this thread's until the next piece.
    std::optional<platform::Error> failure = std::exchange(m_failure, std::nullopt);
    if (!failure && m_filling.size > 0)
        m_sha.addData(QByteArrayView(m_filling.data.get(), m_filling.size));
    m_filling.size = 0;
    if (failure) {
        m_sha.restart();
        throw *failure;
    }
    return m_sha.hexResult();
}

void BackgroundSha256::restart()
{
    waitUntilIdle();
    m_failure.reset();
    m_filling.size = 0;
    m_sha.restart();
}

void BackgroundSha256::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stopping || !m_waiting.empty(); });
        if (m_stopping)
            return;
        Piece piece = std::move(m_waiting.front());
        m_waiting.pop_front();
        m_hashing = true;
        const bool failed = m_failure.has_value();
        lock.unlock();
        std::optional<platform::Error> failure;
        if (!failed) {
            try {
                m_sha.addData(QByteArrayView(piece.data.get(), piece.size));
            } catch (const platform::Error &error) {
                failure = error;
            }
        }
        lock.lock();
        if (failure)
            m_failure = std::move(failure);
        piece.size = 0;
        m_free.push_back(std::move(piece));
        m_hashing = false;
        m_changed.notify_all();
    }
}

} // namespace release

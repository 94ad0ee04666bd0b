#pragma once

#include "platform/core/error.h"
#include "sha256.h"

#include <QByteArray>
#include <QByteArrayView>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace release {

// SHA-256 fed block by block, as a download is written, and computed on a
// worker thread of its own in pieces of 256 KiB: the writing thread only
// copies each block. At most a few pieces wait, so memory stays bounded;
// when they are all taken the writer waits for one, which the worker frees
// in well under a millisecond. The last, partial piece is hashed by the
// thread that asks for the result, so that a small file never waits for the
// worker. The digest is the one Sha256 gives for the same bytes.
class BackgroundSha256
{
public:
    BackgroundSha256() = default;
    ~BackgroundSha256();
    BackgroundSha256(const BackgroundSha256 &) = delete;
    BackgroundSha256 &operator=(const BackgroundSha256 &) = delete;

    void addData(QByteArrayView data);
    // The digest as 64 lowercase hex digits of everything added since the
    // last result or restart; starts the next stream. A failure of the
    // digest is raised here.
    QByteArray hexResult();
    // Drops whatever was added since the last result: the next stream starts.
    void restart();

private:
    struct Piece
    {
        std::unique_ptr<char[]> data;
        qsizetype size = 0;
    };

    Piece freePiece();
    void handOver();
    void waitUntilIdle();
    void run();

    Sha256 m_sha; // the worker's while a piece waits or is being hashed
    Piece m_filling;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Piece> m_waiting;
    std::vector<Piece> m_free;
    int m_pieces = 0; // allocated, in any of the places above
    bool m_hashing = false;
    bool m_stopping = false;
    std::optional<platform::Error> m_failure;
    std::thread m_worker;
};

} // namespace release

#pragma once

#include "platform/core/error.h"
#include "platform/files/filedescriptor.h"
#include "sha256.h"

#include <QByteArray>
#include <QString>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace release {

// SHA-256 of a file as it is written, read back from the file: a worker
// thread of its own hashes each 256 KiB the writer has put in the file, so
// that the writing thread neither hashes nor copies a byte for the digest
// (a copy handed to another processor cost it more than the copy itself:
// every line written was the other processor's). The last, partial piece is
// hashed by the thread that asks for the result, so that a small file never
// waits for the worker. The digest is that of the file's bytes, as they will
// be installed.
class BackgroundSha256
{
public:
    BackgroundSha256() = default;
    ~BackgroundSha256();
    BackgroundSha256(const BackgroundSha256 &) = delete;
    BackgroundSha256 &operator=(const BackgroundSha256 &) = delete;

    // Starts the digest of the file open for reading as `file`, empty so far;
    // `name` names it in errors. Whatever an earlier stream left goes.
    void start(platform::FileDescriptor file, const QString &name);
    // The file now holds `size` bytes from its start. Cheap: the worker hears
    // of it once a piece is whole.
    void written(qint64 size)
    {
        if (size - m_told >= pieceSize)
            tell(size);
    }
    // The digest as 64 lowercase hex digits of the file's first `size`
    // bytes, which it holds; ends the stream. A failure to read the file back
    // or of the digest is raised here.
    QByteArray hexResult(qint64 size);

    static constexpr qint64 pieceSize = 256 * 1024;

private:
    void tell(qint64 size);
    // Waits for the worker to finish its piece and keeps it from starting
    // another; returns how far the file is hashed.
    qint64 stopWorker();
    // Hashes the file from `from` to `end` through `buffer`; the context is
    // the caller's.
    void hash(qint64 from, qint64 end, char *buffer, qint64 bufferSize);
    void run();

    platform::FileDescriptor m_file;
    QString m_name;
    qint64 m_told = 0; // the writer's: the size last told to the worker

    Sha256 m_sha; // the worker's while it is busy
    std::unique_ptr<char[]> m_piece; // the worker's buffer
    std::mutex m_mutex;
    std::condition_variable m_changed;
    qint64 m_written = 0; // what the file holds, as far as the worker knows
    qint64 m_reached = 0; // how far the file is hashed when the worker is idle
    bool m_hashing = false;
    bool m_stopping = false;
    std::optional<platform::Error> m_failure;
    std::thread m_worker;
};

} // namespace release

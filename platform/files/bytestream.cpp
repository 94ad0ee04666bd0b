#include "bytestream.h"

#include "platform/core/error.h"
#include "filedescriptor.h"
#include "filesystem.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr std::size_t bufferSize = 64 * 1024;

// The streams that are open now, so that ending at once can flush them.
std::set<ByteStream *> &openStreams()
{
    static std::set<ByteStream *> streams;
    return streams;
}

} // namespace

ByteStream::ByteStream(const QString &path, std::vector<char> memory)
    : ByteStream(filesystem::createOwnFile(path, O_RDWR), 0, path, std::move(memory))
{
}

ByteStream::ByteStream(FileDescriptor file, std::uint64_t size, const QString &path, std::vector<char> memory)
    : m_path(path), m_buffer(std::move(memory)), m_flushed(size), m_writeback(size)
{
    if (size > 0 && ::lseek(file.get(), off_t(size), SEEK_SET) < 0)
        throw Error::fromErrno(errno, m_path);
    m_fd = file.release();
    m_buffer.resize(bufferSize);
    openStreams().insert(this);
}

ByteStream::~ByteStream()
{
    if (m_fd < 0)
        return;
    try {
        close();
    } catch (const Error &) {
        // Leaving on an error path already; the first error is the one reported.
    }
}

void ByteStream::write(const char *data, std::size_t size)
{
    if (size >= m_buffer.size() - m_used) {
        flush();
        if (size >= m_buffer.size()) {
            if (!writeAll(m_fd, data, size))
                throw Error::fromErrno(errno, m_path);
            m_writeback.written(m_fd, size);
            m_flushed += size;
            return;
        }
    }
    std::memcpy(m_buffer.data() + m_used, data, size);
    m_used += size;
}

void ByteStream::flush()
{
    if (m_used == 0)
        return;
    const std::size_t pending = std::exchange(m_used, 0);
    if (!writeAll(m_fd, m_buffer.data(), pending))
        throw Error::fromErrno(errno, m_path);
    m_writeback.written(m_fd, pending);
    m_flushed += pending;
}

FileDescriptor ByteStream::reader() const
{
    FileDescriptor fd(::fcntl(m_fd, F_DUPFD_CLOEXEC, 0));
    if (!fd.isOpen())
        throw Error::fromErrno(errno, m_path);
    return fd;
}

void ByteStream::close()
{
    if (m_fd < 0)
        return;
    openStreams().erase(this);
    int fd = std::exchange(m_fd, -1);
    int failure = 0;
    if (m_used > 0 && !writeAll(fd, m_buffer.data(), m_used))
        failure = errno;
    if (failure == 0) {
        m_writeback.written(fd, m_used);
        m_writeback.finish(fd);
    }
    m_used = 0;
    if (::close(fd) != 0 && failure == 0 && errno != EINTR)
        failure = errno;
    if (failure != 0)
        throw Error::fromErrno(failure, m_path);
}

std::vector<char> ByteStream::takeMemory()
{
    close();
    return std::exchange(m_buffer, {});
}

void ByteStream::flushAll() noexcept
{
    for (ByteStream *stream : openStreams()) {
        if (stream->m_used > 0)
            writeAll(stream->m_fd, stream->m_buffer.data(), stream->m_used);
        stream->m_used = 0;
    }
}

} // namespace platform

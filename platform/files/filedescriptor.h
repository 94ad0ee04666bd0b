#pragma once

#include <cerrno>
#include <cstddef>
#include <unistd.h>

#include <utility>

namespace platform {

// An open file descriptor, closed when the object goes.
class FileDescriptor
{
public:
    explicit FileDescriptor(int fd = -1) : m_fd(fd) {}
    ~FileDescriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileDescriptor(FileDescriptor &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    FileDescriptor &operator=(FileDescriptor &&other) noexcept
    {
        std::swap(m_fd, other.m_fd);
        return *this;
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;

    int get() const { return m_fd; }
    bool isOpen() const { return m_fd >= 0; }
    // Hands the descriptor over; this object holds none afterwards.
    int release() { return std::exchange(m_fd, -1); }
    // Closes now; the result of close(2).
    int close() { return m_fd >= 0 ? ::close(std::exchange(m_fd, -1)) : 0; }

private:
    int m_fd;
};

// Writes all `size` bytes, again after a short write or a signal; false
// with errno set on an error.
inline bool writeAll(int fd, const char *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= std::size_t(n);
    }
    return true;
}

// Reads `size` bytes at `offset`, again after a short read or a signal; fewer
// only at the file's end. -1 with errno set on an error.
inline ssize_t readAllAt(int fd, char *data, std::size_t size, off_t offset)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, data + done, size - done, offset + off_t(done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        done += std::size_t(n);
    }
    return ssize_t(done);
}

} // namespace platform

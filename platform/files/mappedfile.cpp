#include "mappedfile.h"

#include "platform/core/error.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace platform {

MappedFile MappedFile::forReading(int fd, const QString &path)
{
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        throw Error::fromErrno(errno, path);
    if (info.st_size == 0)
        return {};
    void *data = ::mmap(nullptr, std::size_t(info.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (data == MAP_FAILED)
        throw Error::fromErrno(errno, path);
    return {static_cast<char *>(data), info.st_size};
}

MappedFile MappedFile::forWriting(int fd, std::int64_t size, const QString &path)
{
    if (::ftruncate(fd, off_t(size)) != 0)
        throw Error::fromErrno(errno, path);
    if (size == 0)
        return {};
    // The space is taken now: a full disk is an error here, where a write
    // through the map would end the program with SIGBUS.
    if (const int result = ::posix_fallocate(fd, 0, off_t(size)); result != 0)
        throw Error::fromErrno(result, path);
    void *data = ::mmap(nullptr, std::size_t(size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED)
        throw Error::fromErrno(errno, path);
    return {static_cast<char *>(data), size};
}

MappedFile::~MappedFile()
{
    if (m_data)
        ::munmap(m_data, std::size_t(m_size));
}

MappedFile::MappedFile(MappedFile &&other) noexcept
    : m_data(std::exchange(other.m_data, nullptr)), m_size(std::exchange(other.m_size, 0))
{
}

MappedFile &MappedFile::operator=(MappedFile &&other) noexcept
{
    std::swap(m_data, other.m_data);
    std::swap(m_size, other.m_size);
    return *this;
}

} // namespace platform

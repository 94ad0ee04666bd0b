#include "writeback.h"

#include <fcntl.h>

namespace platform {

namespace {

// Large enough that the handing over costs nothing beside the writes,
// small enough that the disk starts early.
constexpr std::uint64_t stride = 8 * 1024 * 1024;
constexpr std::uint64_t smallestHandedOver = 256 * 1024;

// Only a hint: a file system that does not take it leaves the work to the
// final flush.
void startWriteback(int fd, std::uint64_t from, std::uint64_t size)
{
    ::sync_file_range(fd, off64_t(from), off64_t(size), SYNC_FILE_RANGE_WRITE);
}

} // namespace

void Writeback::written(int fd, std::size_t size)
{
    m_written += size;
    if (m_written - m_started < stride)
        return;
    startWriteback(fd, m_started, m_written - m_started);
    m_started = m_written;
}

void Writeback::finish(int fd)
{
    // A small file goes with the final flush, which hands many to the disk
    // at once: alone, each would cost the disk a request of its own.
    if (m_started == 0 && m_written < smallestHandedOver)
        return;
    if (m_written > m_started)
        startWriteback(fd, m_started, m_written - m_started);
    m_started = m_written;
}

} // namespace platform

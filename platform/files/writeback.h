#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// Starts the kernel writing a file's new bytes to disk while the program goes
// on: every few MiB as they are written, and the rest once the last write is
// done; a small file is left whole to the final flush. Nothing waits for the
// disk here; what makes the files durable (the flush before the stamp) stays
// as it is, with less left for it to do.
class Writeback
{
public:
    // For a file that holds `size` bytes already, handed over earlier.
    explicit Writeback(std::uint64_t size = 0) : m_written(size), m_started(size) {}

    // After `size` more bytes were written at the end of the file open as `fd`.
    void written(int fd, std::size_t size);
    // After the last write.
    void finish(int fd);

private:
    std::uint64_t m_written = 0;
    std::uint64_t m_started = 0; // bytes before this already handed to writeback
};

} // namespace platform

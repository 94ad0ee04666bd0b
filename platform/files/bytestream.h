#pragma once

#include "filedescriptor.h"
#include "writeback.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace platform {

// A file written front to back as a byte stream. Whatever stands at the path
// (a folder aside) is removed, and a new file is created exclusively in its
// place, owned by this process, mode 0644 less the umask. Closed when the
// object goes; writes are buffered, and ending the program at once still
// flushes what was written. A caller that writes many files in turn hands
// each stream the memory of the one before: allocating and freeing the buffer
// for each small file costs more than writing it.
class ByteStream
{
public:
    explicit ByteStream(const QString &path, std::vector<char> memory = {});
    // Goes on writing at the end of a file already open for reading and
    // writing, which holds `size` bytes; `path` names it in errors.
    ByteStream(FileDescriptor file, std::uint64_t size, const QString &path, std::vector<char> memory = {});
    ~ByteStream();
    ByteStream(const ByteStream &) = delete;
    ByteStream &operator=(const ByteStream &) = delete;

    void write(const char *data, std::size_t size);
    // Hands what is buffered to the file.
    void flush();
    // How many bytes the file holds: those it held, and those written less what is buffered.
    std::uint64_t flushedSize() const { return m_flushed; }
    // A descriptor of its own that reads the file back.
    FileDescriptor reader() const;
    // Flushes and closes; raises the error that a late write met. Harmless
    // when already closed.
    void close();
    // Closes as close() does and gives the buffer's memory to the next stream.
    std::vector<char> takeMemory();

    // Flushes every open stream: the program is about to end at once.
    static void flushAll() noexcept;

private:
    QString m_path;
    int m_fd = -1;
    std::vector<char> m_buffer;
    std::size_t m_used = 0;
    std::uint64_t m_flushed = 0;
    Writeback m_writeback;
};

} // namespace platform

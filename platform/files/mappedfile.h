#pragma once

#include <QString>

#include <cstdint>

namespace platform {

// A whole open file mapped into memory, unmapped when the object goes. The
// pages are the file's own: they count as the file's cache, not as the
// process's memory. An empty file maps to no memory at all.
class MappedFile
{
public:
    // The file behind `fd` (`path` names it in errors), for reading.
    static MappedFile forReading(int fd, const QString &path);
    // The file behind `fd`, open for reading and writing, set to `size`
    // bytes and mapped so that what is written lands in the file. The
    // bytes are reserved on the disk first: DiskFull when they do not fit.
    static MappedFile forWriting(int fd, std::int64_t size, const QString &path);

    MappedFile() = default;
    ~MappedFile();
    MappedFile(MappedFile &&other) noexcept;
    MappedFile &operator=(MappedFile &&other) noexcept;
    MappedFile(const MappedFile &) = delete;
    MappedFile &operator=(const MappedFile &) = delete;

    char *data() const { return m_data; }
    std::int64_t size() const { return m_size; }

private:
    MappedFile(char *data, std::int64_t size) : m_data(data), m_size(size) {}

    char *m_data = nullptr;
    std::int64_t m_size = 0;
};

} // namespace platform

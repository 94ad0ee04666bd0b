#pragma once

#include "filedescriptor.h"

#include <QByteArrayView>
#include <QString>

#include <cstdint>

namespace platform {

// A log file that lines are added to, never through a link, and that stays
// within a bound: a line that would pass it first moves the file to the
// older name (in place of the older part) and starts a new one. A log that
// cannot be written (a link, a folder, another name for the same file, a
// read-only file or folder, a full disk) drops the line and every later one
// without a word: whoever logs runs the same without a log.
class BoundedLog
{
public:
    BoundedLog(QString path, QString olderPath, std::int64_t bound);

    // Whether lines still reach the file.
    bool isOpen() const { return m_fd.isOpen(); }
    // Adds one line (`line` and a line feed).
    void append(QByteArrayView line) noexcept;

private:
    bool open();
    bool rotate();

    QString m_path;
    QString m_olderPath;
    std::int64_t m_bound;
    FileDescriptor m_fd;
    std::int64_t m_size = 0;
};

} // namespace platform

#include "boundedlog.h"

#include "filesystem.h"
#include "paths.h"

#include <QByteArray>

#include <algorithm>
#include <cstdio>
#include <sys/stat.h>

namespace platform {

BoundedLog::BoundedLog(QString path, QString olderPath, std::int64_t bound)
    : m_path(std::move(path)), m_olderPath(std::move(olderPath)), m_bound(bound)
{
    open();
}

bool BoundedLog::open()
{
    m_fd = filesystem::appendToOwnFile(m_path);
    struct stat info {};
    if (!m_fd.isOpen() || ::fstat(m_fd.get(), &info) != 0) {
        m_fd.close();
        return false;
    }
    m_size = info.st_size;
    return true;
}

bool BoundedLog::rotate()
{
    m_fd.close();
    // Renaming moves the name, never writes through what the older name was.
    return std::rename(paths::toPath(m_path).c_str(), paths::toPath(m_olderPath).c_str()) == 0 && open();
}

void BoundedLog::append(QByteArrayView line) noexcept
{
    if (!m_fd.isOpen())
        return;
    QByteArray bytes = line.first(std::min<qsizetype>(line.size(), qsizetype(m_bound - 1))).toByteArray();
    bytes.append('\n');
    if (m_size > 0 && m_size + bytes.size() > m_bound && !rotate())
        return;
    // One write for one line: lines stay whole.
    if (!writeAll(m_fd.get(), bytes.constData(), std::size_t(bytes.size()))) {
        m_fd.close();
        return;
    }
    m_size += bytes.size();
}

} // namespace platform

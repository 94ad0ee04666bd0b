#include "textinput.h"

#include "platform/core/error.h"
#include "paths.h"
#include "filedescriptor.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

QByteArray readFileBytes(const QString &path, qint64 limit)
{
    // Only a plain file is read: a link is not followed, and a FIFO or a
    // device, which could block or never end, is refused without waiting.
    FileDescriptor fd(::open(paths::toPath(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (fd.get() < 0)
        throw Error::fromErrno(errno, path);
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0)
        throw Error::fromErrno(errno, path);
    if (!S_ISREG(info.st_mode))
        throw Error(Error::Code::FileAccess, path);
    if (info.st_size > limit)
        throw Error(Error::Code::TooLarge, path);

    QByteArray bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw Error::fromErrno(errno, path);
        }
        // A file that grows while it is read is held to the same bound.
        if (n > limit - bytes.size())
            throw Error(Error::Code::TooLarge, path);
        bytes.append(buffer, n);
    }
    return bytes;
}

TextInput::TextInput(const QString &path, const CodePage &codePage, qint64 limit)
    : TextInput(codePage.decode(readFileBytes(path, limit)))
{
}

TextInput TextInput::fromBytes(const QByteArray &bytes, const CodePage &codePage)
{
    return TextInput(codePage.decode(bytes));
}

QString TextInput::readLine()
{
    const qsizetype end = m_text.indexOf(QLatin1Char('\r'), m_pos);
    if (end < 0) {
        QString line = m_text.mid(m_pos);
        m_pos = m_text.size();
        return line;
    }
    QString line = m_text.mid(m_pos, end - m_pos);
    m_pos = end + 1;
    if (m_pos < m_text.size() && m_text[m_pos] == QLatin1Char('\n'))
        ++m_pos;
    return line;
}

} // namespace platform

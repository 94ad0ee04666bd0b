#include "textinput.h"

#include "error.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

class FileDescriptor
{
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

} // namespace

QByteArray readFileBytes(const QString &path)
{
    FileDescriptor fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        throw Error::fromErrno(errno, path);
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0)
        throw Error::fromErrno(errno, path);
    if (S_ISDIR(info.st_mode))
        throw Error(Error::Code::FileAccess, path);

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
        bytes.append(buffer, n);
    }
    return bytes;
}

TextInput::TextInput(const QString &path, const CodePage &codePage)
    : m_text(codePage.decode(readFileBytes(path)))
{
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

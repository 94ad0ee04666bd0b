#include "filedigest.h"

#include "platform/eventloop.h"
#include "platform/filedescriptor.h"
#include "release/sha256.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::optional<QByteArray> sha256OfPlainFile(const QString &path)
{
    // A link is not followed, and a FIFO, which could block forever, is
    // refused without waiting.
    const platform::FileDescriptor fd(
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat info {};
    if (!fd.isOpen() || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;

    release::Sha256 sha;
    QByteArray block(1 << 20, Qt::Uninitialized);
    for (;;) {
        const ssize_t n = ::read(fd.get(), block.data(), size_t(block.size()));
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        sha.addData(QByteArrayView(block.constData(), n));
        platform::yield();
    }
    return sha.hexResult();
}

#include "filedigest.h"

#include "platform/core/error.h"
#include "platform/core/eventloop.h"
#include "platform/files/filedescriptor.h"
#include "platform/files/filesystem.h"
#include "release/sha256.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace update {

std::optional<QByteArray> sha256OfPlainFile(const QString &path)
{
    // A link is not followed, and a FIFO, which could block forever, is
    // refused without waiting.
    const platform::FileDescriptor fd(
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat info {};
    if (!fd.isOpen() || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    return sha256OfOpenFile(fd.get(), path);
}

HashedFile HashedFile::at(const QString &path)
{
    HashedFile hashed;
    hashed.own = platform::filesystem::openOwnFile(path);
    hashed.sha256 = hashed.own.isOpen() ? sha256OfOpenFile(hashed.own.get(), path) : sha256OfPlainFile(path);
    return hashed;
}

std::optional<QByteArray> sha256OfOpenFile(int fd, const QString &path)
{
    QFile file;
    if (::lseek(fd, 0, SEEK_SET) != 0 || !file.open(fd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle))
        return std::nullopt;
    try {
        return release::Sha256::hexOfDevice(file, path, [](qint64) { platform::yield(); });
    } catch (const platform::Error &) {
        return std::nullopt;
    }
}

} // namespace update

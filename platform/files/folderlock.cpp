#include "folderlock.h"

#include "platform/core/error.h"
#include "paths.h"


#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>

namespace platform {

FolderLock::FolderLock(const QString &folder)
    : m_folder(::open(paths::toPath(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
{
    if (!m_folder.isOpen())
        throw Error::fromErrno(errno, folder);
    int result;
    do
        result = ::flock(m_folder.get(), LOCK_EX | LOCK_NB);
    while (result != 0 && errno == EINTR);
    if (result != 0 && errno != EWOULDBLOCK)
        throw Error::fromErrno(errno, folder);
    m_held = result == 0;
}

} // namespace platform

#pragma once

#include "filedescriptor.h"

#include <QString>

namespace platform {

// An exclusive advisory lock (flock) on a folder, held as long as the object
// lives. The OS lets it go when the process ends, however it ends, and no
// lock file is left behind.
class FolderLock
{
public:
    // Opens the folder (raising the file error when it cannot) and tries to
    // take the lock without waiting.
    explicit FolderLock(const QString &folder);

    // Whether this object holds the lock; false when another holds it.
    bool isHeld() const { return m_held; }

private:
    FileDescriptor m_folder;
    bool m_held = false;
};

} // namespace platform

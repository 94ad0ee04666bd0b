#include "filesystem.h"

#include "platform/core/error.h"
#include "paths.h"
#include "replacement.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace platform::filesystem {

namespace {

using platform::paths::toPath;
using platform::paths::toQString;

[[noreturn]] void raise(const std::error_code &error, const fs::path &path)
{
    throw Error::fromErrno(error.value(), toQString(path));
}

// A regular file (a link is not followed) that nobody may write to.
bool readOnly(const fs::path &path)
{
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && isReadOnlyFile(info);
}

// The descriptor, if it is open on a regular file of one name only, owned by
// the effective user and writable by nobody else; a closed one otherwise.
FileDescriptor ownFile(FileDescriptor fd)
{
    struct stat info {};
    if (!fd.isOpen() || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1
        || info.st_uid != ::geteuid() || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return FileDescriptor();
    return fd;
}

} // namespace

double folderSize(const QString &folder)
{
    const fs::path root = toPath(folder);
    std::error_code error;
    if (!fs::is_directory(fs::symlink_status(root, error)))
        throw Error(Error::Code::PathNotFound, folder);
    double total = 0;
    fs::recursive_directory_iterator it(root, error);
    if (error)
        raise(error, root);
    for (const fs::recursive_directory_iterator end; it != end; it.increment(error)) {
        if (error)
            raise(error, root);
        struct stat info {};
        if (::lstat(it->path().c_str(), &info) != 0) {
            // Gone since it was listed: nothing to count.
            if (errno == ENOENT)
                continue;
            raise(std::error_code(errno, std::generic_category()), it->path());
        }
        if (S_ISREG(info.st_mode))
            total += double(info.st_size);
    }
    if (error)
        raise(error, root);
    return total;
}

bool isReadOnlyFile(const struct stat &info)
{
    return S_ISREG(info.st_mode) && (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

bool isReadOnly(const QString &path)
{
    return readOnly(toPath(path));
}

void replaceFile(const QString &source, const QString &target)
{
    Replacement replacement;
    replacement.add(source, target);
    replacement.run();
}

void refuseUnlessFolder(const QString &path)
{
    struct stat info {};
    if (::lstat(toPath(path).c_str(), &info) != 0) {
        if (errno == ENOENT)
            return;
        throw Error::fromErrno(errno, path);
    }
    if (!S_ISDIR(info.st_mode))
        throw Error::fromErrno(ENOTDIR, path);
}

void requireWritableFolder(const QString &folder)
{
    // An unnamed file proves the right to create and leaves nothing behind,
    // even when the run is killed; only file systems without it get a name.
    const QByteArray path = QFile::encodeName(folder);
    bool created = FileDescriptor(::open(path.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600)).isOpen();
    if (!created && (errno == EOPNOTSUPP || errno == EISDIR)) {
        QByteArray probe = path + "/.write-probe-XXXXXX";
        const FileDescriptor fd(::mkostemp(probe.data(), O_CLOEXEC));
        created = fd.isOpen() && ::unlink(probe.constData()) == 0;
    }
    if (created)
        return;
    if (errno == EACCES || errno == EPERM || errno == EROFS)
        throw Error(Error::Code::FolderNotWritable, folder);
    throw Error::fromErrno(errno, folder);
}

void deleteFolderFiles(const QString &folder) noexcept
{
    // Each name is looked at and removed through the open folder: thousands
    // of downloads go after an installation, and walking the whole path again
    // for each would cost as much as the removal itself.
    FileDescriptor opened(::open(toPath(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR *listing = opened.isOpen() ? ::fdopendir(opened.get()) : nullptr;
    if (listing == nullptr)
        return;
    const int fd = opened.release();
    while (const dirent *entry = ::readdir(listing)) {
        // What cannot go stays, read-only files too; a later download
        // replaces it with a new file, so it blocks nothing.
        struct stat info {};
        if (entry->d_type != DT_DIR && ::fstatat(fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0
            && !S_ISDIR(info.st_mode) && !isReadOnlyFile(info))
            ::unlinkat(fd, entry->d_name, 0);
    }
    ::closedir(listing);
}

FileDescriptor openOwnFile(const QString &path, int access)
{
    return ownFile(FileDescriptor(::open(toPath(path).c_str(), access | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK)));
}

FileDescriptor appendToOwnFile(const QString &path)
{
    FileDescriptor fd = ownFile(FileDescriptor(
        ::open(toPath(path).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644)));
    struct stat info {};
    if (!fd.isOpen() || ::fstat(fd.get(), &info) != 0 || (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
        return FileDescriptor();
    return fd;
}

FileDescriptor createOwnFile(const QString &path, int access)
{
    const fs::path native = toPath(path);
    // The file at the path is never written through, only replaced by a new
    // one of this process's own: a link could point outside the folder, a
    // FIFO or a device would block or swallow the bytes, another name for the
    // same content would change too, and a file that someone else planted
    // would stay theirs.
    const auto create = [&] {
        return FileDescriptor(::open(native.c_str(), access | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
    };
    // Most names are new: whatever stands there is looked at only when the
    // name is taken.
    FileDescriptor fd = create();
    if (!fd.isOpen() && errno == EEXIST) {
        struct stat existing {};
        if (::lstat(native.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode))
            throw Error(Error::Code::FileAccess, path);
        if (::unlink(native.c_str()) != 0 && errno != ENOENT)
            throw Error::fromErrno(errno, path);
        fd = create();
    }
    if (!fd.isOpen()) {
        // A missing folder on the way is a path error, not a missing file;
        // a name taken again since the unlink is refused.
        if (errno == ENOENT)
            throw Error(Error::Code::PathNotFound, path);
        if (errno == EEXIST)
            throw Error(Error::Code::FileAccess, path);
        throw Error::fromErrno(errno, path);
    }
    return fd;
}

void deleteFile(const QString &path)
{
    const fs::path file = toPath(path);
    std::error_code error;
    const fs::file_status status = fs::symlink_status(file, error);
    if (error || !fs::exists(status) || fs::is_directory(status))
        throw Error(Error::Code::FileNotFound, path);
    if (readOnly(file))
        throw Error(Error::Code::PermissionDenied, path);
    if (::unlink(file.c_str()) != 0)
        raise(std::error_code(errno, std::generic_category()), file);
}

} // namespace platform::filesystem

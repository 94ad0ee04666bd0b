#include "folderwalk.h"

#include "platform/core/error.h"
#include "paths.h"

#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace platform::filesystem {

namespace {

constexpr int folderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

FileDescriptor openPart(int parent, const fs::path &name)
{
    return FileDescriptor(::openat(parent, name.c_str(), folderFlags));
}

// Removes `name` in the open folder `parent` with whatever it holds, never
// following a link; what cannot go stays.
void removeTree(int parent, const fs::path &name) noexcept
{
    if (::unlinkat(parent, name.c_str(), 0) == 0 || (errno != EISDIR && errno != EPERM))
        return;
    FileDescriptor folder = openPart(parent, name);
    if (!folder.isOpen())
        return;
    DIR *listing = ::fdopendir(folder.get());
    if (listing == nullptr)
        return;
    const int fd = folder.release();
    std::vector<fs::path> names;
    while (const dirent *entry = ::readdir(listing)) {
        const std::string_view entryName(entry->d_name);
        if (entryName != "." && entryName != "..")
            names.emplace_back(entry->d_name);
    }
    for (const fs::path &inside : names)
        removeTree(fd, inside);
    ::closedir(listing);
    ::unlinkat(parent, name.c_str(), AT_REMOVEDIR);
}

} // namespace

FolderWalk::FolderWalk(fs::path root, Found found) : m_root(std::move(root)), m_found(found) {}

FileDescriptor FolderWalk::openRoot() const
{
    FileDescriptor root(::open(m_root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root.isOpen())
        throw Error::fromErrno(errno, paths::toQString(m_root));
    return root;
}

FileDescriptor FolderWalk::existing(int parent, const fs::path &name, const fs::path &relative) const
{
    FileDescriptor part = openPart(parent, name);
    // A link or anything but a folder is refused as such; the file
    // system's own errors are told as they are.
    if (!part.isOpen() && (errno == ELOOP || errno == ENOTDIR))
        throw Error(Error::Code::LinkedFolder, paths::toQString(m_root / relative));
    if (!part.isOpen() && errno != ENOENT)
        throw Error::fromErrno(errno, paths::toQString(m_root / relative));
    return part;
}

FileDescriptor FolderWalk::step(int parent, const fs::path &name, const fs::path &relative)
{
    if (m_found == Found::Replaced && std::find(m_created.cbegin(), m_created.cend(), relative) == m_created.cend())
        removeTree(parent, name);
    if (FileDescriptor part = existing(parent, name, relative); part.isOpen())
        return part;
    if (::mkdirat(parent, name.c_str(), 0755) != 0)
        throw Error::fromErrno(errno, paths::toQString(m_root / relative));
    m_created.push_back(relative);
    FileDescriptor part = openPart(parent, name);
    if (!part.isOpen())
        throw Error(Error::Code::LinkedFolder, paths::toQString(m_root / relative));
    return part;
}

FileDescriptor FolderWalk::open(const fs::path &relative)
{
    FileDescriptor folder = openRoot();
    fs::path walked;
    for (const fs::path &name : relative) {
        walked /= name;
        folder = step(folder.get(), name, walked);
    }
    return folder;
}

int FolderWalk::held(const fs::path &relative)
{
    auto found = m_held.find(relative);
    if (found == m_held.end())
        found = m_held.emplace(relative, open(relative)).first;
    return found->second.get();
}

std::vector<fs::path> FolderWalk::missing(const fs::path &relative) const
{
    FileDescriptor folder = openRoot();
    fs::path walked;
    std::vector<fs::path> absent;
    for (const fs::path &name : relative) {
        walked /= name;
        if (folder.isOpen())
            folder = existing(folder.get(), name, walked);
        if (!folder.isOpen())
            absent.push_back(walked);
    }
    return absent;
}

void FolderWalk::removeEmpty(const fs::path &root, const std::vector<fs::path> &relative) noexcept
{
    for (auto it = relative.crbegin(); it != relative.crend(); ++it) {
        FileDescriptor parent(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        for (const fs::path &name : it->parent_path()) {
            if (parent.isOpen())
                parent = openPart(parent.get(), name);
        }
        if (parent.isOpen())
            ::unlinkat(parent.get(), it->filename().c_str(), AT_REMOVEDIR);
    }
}

void FolderWalk::removeCreated() noexcept
{
    removeEmpty(m_root, m_created);
    m_created.clear();
}

void FolderWalk::removeCreatedTrees() noexcept
{
    const FileDescriptor root(::open(m_root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (const fs::path &folder : m_created) {
        if (root.isOpen() && !folder.has_parent_path())
            removeTree(root.get(), folder);
    }
    m_created.clear();
}

} // namespace platform::filesystem

#include "removal.h"

#include "platform/core/error.h"
#include "paths.h"
#include "stagelists.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace platform::filesystem {

namespace {

// 'f' and the path of a file set aside, 'd' and the path of a folder, in the
// order they go; the Nth file is ".updating-removed-N" in the root.
constexpr std::string_view listHead = "removed by this installation\n";

std::string asideName(std::size_t number)
{
    return std::string(Removal::list.data(), std::size_t(Removal::list.size())) + '-' + std::to_string(number);
}

std::string guardName()
{
    return std::string(Removal::list.data(), std::size_t(Removal::list.size())) + ".updating";
}

// The depth of a path: its folder parts.
std::ptrdiff_t depthOf(const fs::path &relative)
{
    return std::distance(relative.begin(), relative.end());
}

} // namespace

Removal::Removal(fs::path root, FolderWalk &walk) : m_root(std::move(root)), m_walk(walk) {}

// A folder that is missing, or that a link or a file stands for, holds
// nothing to remove; any other error is raised.
bool Removal::isFolder(const fs::path &relative) const
{
    try {
        return m_walk.missing(relative).empty();
    } catch (const Error &error) {
        if (error.code() == Error::Code::LinkedFolder)
            return false;
        throw;
    }
}

void Removal::addFile(const fs::path &relative)
{
    m_files.push_back({relative});
}

void Removal::addFolder(const fs::path &relative)
{
    m_folders.push_back({relative});
}

bool Removal::removesFolder(const fs::path &relative) const
{
    return std::any_of(m_folders.cbegin(), m_folders.cend(), [&](const Folder &f) { return f.relative == relative; });
}

bool Removal::removesFile(const fs::path &relative) const
{
    return std::any_of(m_files.cbegin(), m_files.cend(), [&](const File &f) { return f.relative == relative; });
}

void Removal::prepare()
{
    if (isEmpty())
        return;
    struct stat self {};
    const bool knowsSelf = ::stat("/proc/self/exe", &self) == 0;
    std::vector<File> present;
    for (File &file : m_files) {
        if (!isFolder(file.relative.parent_path()))
            continue;
        struct stat info {};
        if (::fstatat(m_walk.held(file.relative.parent_path()), file.relative.filename().c_str(), &info,
                      AT_SYMLINK_NOFOLLOW)
            != 0) {
            if (errno == ENOENT)
                continue;
            throw Error::fromErrno(errno, paths::toQString(m_root / file.relative));
        }
        if (S_ISDIR(info.st_mode) || (knowsSelf && info.st_dev == self.st_dev && info.st_ino == self.st_ino))
            continue;
        file.number = present.size();
        present.push_back(file);
    }
    m_files = std::move(present);
    if (isEmpty())
        return;
    std::stable_sort(m_folders.begin(), m_folders.end(),
                     [](const Folder &a, const Folder &b) { return depthOf(a.relative) > depthOf(b.relative); });
    std::string listed;
    for (const File &file : m_files)
        listed += 'f' + file.relative.native() + '\0';
    for (const Folder &folder : m_folders)
        listed += 'd' + folder.relative.native() + '\0';
    const fs::path at = m_root / paths::toPath(list);
    {
        const FileDescriptor file = stagelists::create(at);
        m_listed = true;
        stagelists::fill(file, at, listHead, listed);
    }
    const FileDescriptor guard = stagelists::create(m_root / guardName());
}

void Removal::moveAside(const fs::path &relative)
{
    for (File &file : m_files) {
        if (file.relative == relative && !file.isAside)
            moveAside(file);
    }
}

void Removal::moveAside(File &file)
{
    const int root = m_walk.held({});
    const std::string name = asideName(file.number);
    ::unlinkat(root, name.c_str(), 0);
    if (::renameat(m_walk.held(file.relative.parent_path()), file.relative.filename().c_str(), root, name.c_str()) != 0)
        throw Error::fromErrno(errno, paths::toQString(m_root / file.relative));
    file.isAside = true;
}

void Removal::commit()
{
    for (File &file : m_files) {
        if (!file.isAside)
            moveAside(file);
    }
    for (Folder &folder : m_folders) {
        if (!isFolder(folder.relative))
            continue;
        if (::unlinkat(m_walk.held(folder.relative.parent_path()), folder.relative.filename().c_str(), AT_REMOVEDIR)
            == 0) {
            folder.isRemoved = true;
            m_walk.forget(folder.relative);
        } else if (errno == ENOTEMPTY || errno == EEXIST) {
            m_stayed.push_back(folder.relative);
        } else {
            throw Error::fromErrno(errno, paths::toQString(m_root / folder.relative));
        }
    }
}

void Removal::whole() noexcept
{
    if (m_listed)
        ::unlink((m_root / guardName()).c_str());
}

void Removal::rollBack() noexcept
{
    try {
        for (auto it = m_folders.rbegin(); it != m_folders.rend(); ++it) {
            if (!it->isRemoved)
                continue;
            ::mkdirat(m_walk.held(it->relative.parent_path()), it->relative.filename().c_str(), 0755);
            m_walk.forget(it->relative);
            it->isRemoved = false;
        }
        const int root = m_walk.held({});
        for (File &file : m_files) {
            if (file.isAside
                && ::renameat(root, asideName(file.number).c_str(), m_walk.held(file.relative.parent_path()),
                              file.relative.filename().c_str())
                       == 0)
                file.isAside = false;
        }
    } catch (const Error &) {
    }
    m_stayed.clear();
    dropList();
}

void Removal::drop() noexcept
{
    for (File &file : m_files) {
        if (file.isAside)
            ::unlink((m_root / asideName(file.number)).c_str());
    }
    m_files.clear();
    m_folders.clear();
    dropList();
}

void Removal::dropList() noexcept
{
    if (!m_listed)
        return;
    ::unlink((m_root / guardName()).c_str());
    ::unlink((m_root / paths::toPath(list)).c_str());
    m_listed = false;
}

std::vector<fs::path> Removal::removed() const
{
    std::vector<fs::path> gone;
    for (const File &file : m_files) {
        if (file.isAside)
            gone.push_back(file.relative);
    }
    for (const Folder &folder : m_folders) {
        if (folder.isRemoved)
            gone.push_back(folder.relative);
    }
    return gone;
}

bool Removal::isOwnName(std::string_view name)
{
    return name.starts_with(std::string_view(list.data(), std::size_t(list.size())));
}

void Removal::recover(const fs::path &root, bool whole)
{
    const fs::path at = root / paths::toPath(list);
    std::vector<fs::path> files, folders;
    for (const std::string &entry : stagelists::entries(at, listHead)) {
        const fs::path path = entry.size() > 1 ? fs::path(entry.substr(1)) : fs::path();
        if (!stagelists::isBelow(path))
            continue;
        (entry[0] == 'f' ? files : folders).push_back(path);
    }
    // The folders that went come back first, shallowest first, then the
    // files into them; a folder that stands in the way is left as it is.
    FolderWalk walk(root, FolderWalk::Found::Kept);
    if (!whole) {
        for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
            try {
                walk.held(*it);
            } catch (const Error &) {
            }
        }
    }
    for (std::size_t number = 0; number < files.size(); ++number) {
        const std::string name = asideName(number);
        if (whole) {
            ::unlink((root / name).c_str());
            continue;
        }
        if (::renameat(walk.held({}), name.c_str(), walk.held(files[number].parent_path()),
                       files[number].filename().c_str())
                != 0
            && errno != ENOENT)
            throw Error::fromErrno(errno, paths::toQString(root / files[number]));
    }
    ::unlink((root / guardName()).c_str());
    if (::unlink(at.c_str()) != 0 && errno != ENOENT)
        throw Error::fromErrno(errno, paths::toQString(at));
}

} // namespace platform::filesystem

#include "replacement.h"

#include "platform/core/error.h"
#include "platform/core/eventloop.h"
#include "filedescriptor.h"
#include "filesystem.h"
#include "paths.h"
#include "stagelists.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <future>
#include <map>
#include <set>
#include <sys/resource.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace platform::filesystem {

namespace {

using paths::hiddenBeside;
using paths::toPath;
using paths::toQString;
constexpr std::size_t copyBlock = 1024 * 1024;

[[noreturn]] void raise(int errnum, const fs::path &path)
{
    throw Error::fromErrno(errnum, toQString(path));
}

std::size_t longestName(int folder)
{
    const long max = ::fpathconf(folder, _PC_NAME_MAX);
    return max > 0 ? std::size_t(max) : NAME_MAX;
}

// Copies the open file `in`, which `source` names, into the new file `copy`
// in the open folder `folder`, which stands for `target`.
void copyFile(int in, const fs::path &source, int folder, const fs::path &copy, const fs::path &target)
{
    DurableFile out(folder, copy, target);
    std::vector<char> buffer(copyBlock);
    for (off_t offset = 0;;) {
        const ssize_t n = readAllAt(in, buffer.data(), buffer.size(), offset);
        if (n < 0)
            raise(errno, source);
        if (n == 0)
            break;
        out.write(QByteArrayView(buffer.data(), n));
        offset += n;
        yield();
    }
    out.release();
}

// Gives the new file behind `fd` its name `staged` in the open folder
// `folder`: the file itself, not whatever its first name holds by now.
bool linkOpenFile(int fd, int folder, const fs::path &staged)
{
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    return ::linkat(AT_FDCWD, self.c_str(), folder, staged.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// Every folder of an installation is held open until it ends: a large tree
// may need more descriptors than a process starts with.
void allowDescriptors(std::size_t folders)
{
    struct rlimit limit {};
    const rlim_t wanted = rlim_t(folders) + 256;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
        limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// The link at `name` in the open folder `folder`, if one stands there.
std::optional<std::string> linkAt(int folder, const fs::path &name)
{
    char target[PATH_MAX];
    const ssize_t n = ::readlinkat(folder, name.c_str(), target, sizeof target);
    if (n < 0 || std::size_t(n) >= sizeof target)
        return std::nullopt;
    return std::string(target, std::size_t(n));
}

mode_t processUmask()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

// Whether the file begins as a program does: an ELF header or "#!".
bool looksExecutable(int fd)
{
    char head[4] = {};
    const ssize_t n = ::pread(fd, head, sizeof head, 0);
    const std::string_view start(head, n > 0 ? std::size_t(n) : 0);
    return start.starts_with("\x7f" "ELF") || start.starts_with("#!");
}

// Makes what is staged durable before it becomes visible under the targets'
// names, without keeping the window from answering meanwhile: once for each
// file system. What cannot be made durable is never installed: its error is
// raised.
void syncFolders(const std::set<fs::path> &folders)
{
    std::set<dev_t> synced;
    for (const fs::path &folder : folders) {
        FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct stat info {};
        if (!fd.isOpen() || ::fstat(fd.get(), &info) != 0)
            raise(errno, folder);
        if (!synced.insert(info.st_dev).second)
            continue;
        std::future<int> done = std::async(std::launch::async, [&fd] { return ::syncfs(fd.get()) == 0 ? 0 : errno; });
        waitUntil([&] { return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
                  QDeadlineTimer(QDeadlineTimer::Forever));
        if (const int failure = done.get(); failure != 0)
            raise(failure, folder);
    }
}

// The replacement's own lists (stagelists).
constexpr std::string_view newListHead = "targets new to this folder\n";
// '+' for a folder that the replacement creates, '=' for one that was there,
// then the folder's path below the list's folder.
constexpr std::string_view folderListHead = "folders of this replacement\n";

// The targets that the list at `list` names, beside it.
std::vector<fs::path> listedNew(const fs::path &list)
{
    std::vector<fs::path> targets;
    for (const fs::path name : stagelists::entries(list, newListHead)) {
        // One name in the folder, as listed; anything else is not of a list.
        if (name.has_filename() && name == name.filename() && name != "." && name != "..")
            targets.push_back(list.parent_path() / name);
    }
    return targets;
}

struct ListedFolders
{
    std::vector<fs::path> all, created;
};

ListedFolders listedFolders(const fs::path &list)
{
    ListedFolders folders;
    for (const std::string &entry : stagelists::entries(list, folderListHead)) {
        const fs::path folder = entry.size() > 1 ? fs::path(entry.substr(1)) : fs::path();
        // A path below the list's folder, as written; anything else is not of a list.
        if (!stagelists::isBelow(folder))
            continue;
        folders.all.push_back(folder);
        if (entry[0] == '+')
            folders.created.push_back(folder);
    }
    return folders;
}

bool hasSuffix(const fs::path &path, QLatin1StringView suffix)
{
    return path.filename().native().ends_with(toPath(suffix).native());
}

// The staging names in the open folder `fd`, which `folder` names.
std::vector<fs::path> stagingFiles(int fd, const fs::path &folder)
{
    DIR *listing = ::fdopendir(::dup(fd));
    if (listing == nullptr)
        raise(errno, folder);
    ::rewinddir(listing);
    std::vector<fs::path> found;
    while (const dirent *entry = ::readdir(listing)) {
        struct stat info {};
        if (Replacement::isStagingName(QFile::decodeName(entry->d_name))
            && ::fstatat(fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(info.st_mode))
            found.push_back(folder / entry->d_name);
    }
    ::closedir(listing);
    return found;
}

// Undoes, or when `whole` finishes, the replacement in the open folder
// `fd`, which `root` names, whose staging names are `found`. Returns the
// targets put back or removed.
QStringList recoverFolder(int fd, const fs::path &root, const std::vector<fs::path> &found, bool whole)
{
    QStringList putBack;
    // The new targets first: a kept file beside one means that the target
    // was there after all, and its old file is put back below.
    const fs::path list = root / toPath(Replacement::newList);
    if (std::find(found.cbegin(), found.cend(), list) != found.cend()) {
        if (!whole) {
            for (const fs::path &target : listedNew(list)) {
                struct stat info {};
                if (::fstatat(fd, hiddenBeside(target.filename(), Replacement::keptSuffix).c_str(), &info,
                              AT_SYMLINK_NOFOLLOW)
                    == 0)
                    continue;
                if (::unlinkat(fd, target.filename().c_str(), 0) == 0)
                    putBack.append(toQString(target));
                else if (errno != ENOENT && errno != EISDIR)
                    raise(errno, target);
            }
        }
        if (::unlinkat(fd, list.filename().c_str(), 0) != 0 && errno != ENOENT)
            raise(errno, list);
    }
    for (const fs::path &path : found) {
        const std::string name = path.filename().native();
        if (hasSuffix(path, Replacement::keptSuffix)) {
            // A bare ".updating-old" names no target: never one of ours.
            if (name.size() <= 1 + std::size_t(Replacement::keptSuffix.size()))
                continue;
            const std::string target = name.substr(1, name.size() - 1 - std::size_t(Replacement::keptSuffix.size()));
            if (whole) {
                if (::unlinkat(fd, name.c_str(), 0) != 0 && errno != ENOENT)
                    raise(errno, path);
                continue;
            }
            if (::renameat(fd, name.c_str(), fd, target.c_str()) != 0)
                raise(errno, root / target);
            putBack.append(toQString(root / target));
        } else if (hasSuffix(path, Replacement::stagedSuffix) && ::unlinkat(fd, name.c_str(), 0) != 0
                   && errno != ENOENT) {
            raise(errno, path);
        }
    }
    return putBack;
}

} // namespace

void Replacement::beneath(const QString &folder)
{
    m_root = toPath(folder);
}

void Replacement::add(const QString &source, const QString &target, Check check)
{
    add(FileDescriptor(), source, target, std::move(check));
}

void Replacement::add(FileDescriptor file, const QString &source, const QString &target, Check check)
{
    Entry entry;
    entry.source = toPath(source);
    entry.target = toPath(target);
    entry.file = std::move(file);
    entry.check = std::move(check);
    add(std::move(entry));
}

void Replacement::addLink(const QString &target, const QString &linkTarget)
{
    Entry entry;
    entry.target = toPath(target);
    entry.linkTarget = toPath(linkTarget);
    add(std::move(entry));
}

void Replacement::add(Entry entry)
{
    const auto [position, isNew] = m_positions.try_emplace(entry.target.native(), m_entries.size());
    if (isNew)
        m_entries.push_back(std::move(entry));
    else
        m_entries[position->second] = std::move(entry);
}

void Replacement::giveMode(const QString &target, mode_t mode)
{
    m_modes[toPath(target)] = mode & 0755;
}

void Replacement::addFolder(const QString &folder)
{
    m_newFolders.insert(below(toPath(folder)));
}

void Replacement::remove(const QString &target)
{
    m_removedFiles.push_back(below(toPath(target)));
}

void Replacement::removeFolder(const QString &folder)
{
    m_removedFolders.push_back(below(toPath(folder)));
}

fs::path Replacement::below(const fs::path &path) const
{
    const fs::path relative = m_root ? path.lexically_relative(*m_root) : fs::path();
    if (!stagelists::isBelow(relative))
        throw Error(Error::Code::InvalidArgument, toQString(path));
    return relative;
}

int Replacement::folderOf(const fs::path &target)
{
    const fs::path parent = target.parent_path();
    if (m_folders) {
        const fs::path relative = parent.lexically_relative(*m_root);
        if (relative == ".")
            return m_folders->held({});
        if (stagelists::isBelow(relative))
            return m_folders->held(relative);
    }
    auto found = m_plainFolders.find(parent);
    if (found == m_plainFolders.end()) {
        FileDescriptor folder(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!folder.isOpen())
            raise(errno, target);
        found = m_plainFolders.emplace(parent, std::move(folder)).first;
    }
    return found->second.get();
}

void Replacement::prepare()
{
    try {
        if (m_root) {
            m_folders.emplace(*m_root, FolderWalk::Found::Kept);
            m_removal.emplace(*m_root, *m_folders);
            for (const fs::path &file : m_removedFiles)
                m_removal->addFile(file);
            for (const fs::path &folder : m_removedFolders)
                m_removal->addFolder(folder);
            m_removal->prepare();
        }
        makeFolders();
        prepareFiles();
    } catch (...) {
        undo();
        throw;
    }
}

// The subfolders are listed before any is created: a kill at any point
// leaves recover() the folders to look in and those to remove. A file that
// goes where a new folder comes goes first.
void Replacement::makeFolders()
{
    if (!m_root)
        return;
    std::set<fs::path> below = m_newFolders;
    for (const Entry &entry : m_entries) {
        const fs::path folder = entry.target.parent_path().lexically_relative(*m_root);
        if (!folder.empty() && folder != "." && *folder.begin() != "..")
            below.insert(folder);
    }
    if (below.empty())
        return;
    allowDescriptors(below.size());
    for (const fs::path &folder : below) {
        fs::path walked;
        for (const fs::path &part : folder) {
            walked /= part;
            if (m_removal->removesFile(walked))
                m_removal->moveAside(walked);
        }
    }
    std::set<fs::path> absent;
    for (const fs::path &folder : below) {
        for (fs::path &missing : m_folders->missing(folder))
            absent.insert(std::move(missing));
    }
    std::string listed;
    for (const fs::path &folder : absent)
        listed += '+' + folder.native() + '\0';
    for (const fs::path &folder : below) {
        if (!absent.contains(folder))
            listed += '=' + folder.native() + '\0';
    }
    const fs::path list = *m_root / toPath(folderList);
    const FileDescriptor file = stagelists::create(list);
    m_folderList = list;
    stagelists::fill(file, list, folderListHead, listed);
    for (const fs::path &folder : below)
        m_folders->held(folder);
}

void Replacement::undoFolders() noexcept
{
    if (m_folders)
        m_folders->removeCreated();
    if (m_folderList)
        ::unlink(m_folderList->c_str());
    m_folderList.reset();
}

void Replacement::prepareFiles()
{
    // Asked once for each folder: most replacements fill one.
    std::map<int, std::size_t> longestNames;
    for (Entry &entry : m_entries) {
        struct stat info {};
        if (!entry.linkTarget) {
            if ((entry.file.isOpen() ? ::fstat(entry.file.get(), &info) : ::lstat(entry.source.c_str(), &info)) != 0)
                raise(errno, entry.source);
            if (!S_ISREG(info.st_mode))
                throw Error(Error::Code::FileAccess, toQString(entry.source));
        }
        entry.targetMode.reset();
        entry.targetIsNew = false;
        entry.isInPlace = false;
        const int folder = folderOf(entry.target);
        const fs::path name = entry.target.filename();
        if (::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
            // A folder that goes before the target comes is no obstacle.
            if (S_ISDIR(info.st_mode) && !(m_removal && m_removal->removesFolder(below(entry.target))))
                raise(EISDIR, entry.target);
            // Read-only is checked, not left to the OS, which lets root write anyway.
            if (isReadOnlyFile(info))
                throw Error(Error::Code::PermissionDenied, toQString(entry.target));
            if (S_ISREG(info.st_mode))
                entry.targetMode = info.st_mode & 07777;
            entry.targetIsNew = S_ISDIR(info.st_mode);
            entry.isInPlace = entry.linkTarget && S_ISLNK(info.st_mode) && linkAt(folder, name) == entry.linkTarget->native();
        } else if (errno == ENOENT) {
            entry.targetIsNew = true;
        } else {
            raise(errno, entry.target);
        }
        auto longest = longestNames.find(folder);
        if (longest == longestNames.end())
            longest = longestNames.emplace(folder, longestName(folder)).first;
        if (hiddenBeside(name, keptSuffix).native().size() > longest->second)
            raise(ENAMETOOLONG, entry.target);
    }
    std::set<fs::path> folders;
    const mode_t umask = processUmask();
    const uid_t owner = ::geteuid();
    try {
        for (const Entry &entry : m_entries) {
            if (entry.isInPlace)
                continue;
            if (entry.linkTarget)
                stageLink(entry);
            else
                stage(entry, umask, owner);
            folders.insert(entry.target.parent_path());
            yield();
        }
        syncFolders(folders);
        listNew();
        prepareModes(umask);
    } catch (...) {
        m_staged.rollBack();
        dropLists();
        throw;
    }
}

void Replacement::stageLink(const Entry &entry)
{
    const int folder = folderOf(entry.target);
    const fs::path name = entry.target.filename();
    const fs::path staged = hiddenBeside(name, stagedSuffix);
    ::unlinkat(folder, staged.c_str(), 0);
    if (::symlinkat(entry.linkTarget->c_str(), folder, staged.c_str()) != 0)
        raise(errno, entry.target);
    m_staged.add(folder, staged, name, hiddenBeside(name, keptSuffix), entry.target);
}

void Replacement::stage(const Entry &entry, mode_t umask, uid_t owner)
{
    const int folder = folderOf(entry.target);
    const fs::path name = entry.target.filename();
    const fs::path staged = hiddenBeside(name, stagedSuffix);
    FileDescriptor opened;
    if (!entry.file.isOpen()) {
        opened = FileDescriptor(::open(entry.source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        if (!opened.isOpen())
            raise(errno, entry.source);
    }
    const int source = entry.file.isOpen() ? entry.file.get() : opened.get();
    // Only a file of this process's own that no other name shares is
    // installed: what someone else planted would stay theirs to rewrite. (No
    // name at all is fine: a file whose name was swapped after it was opened.)
    struct stat info {};
    if (::fstat(source, &info) != 0)
        raise(errno, entry.source);
    if (!S_ISREG(info.st_mode) || info.st_uid != owner || info.st_nlink > 1)
        throw Error(Error::Code::FileAccess, toQString(entry.source));
    // A source that is deleted after the installation can lend its content
    // without a copy; across file systems it is copied. Whatever stands at
    // the staged name is no file of this installation's.
    bool linked = linkOpenFile(source, folder, staged);
    if (!linked && errno == EEXIST) {
        ::unlinkat(folder, staged.c_str(), 0);
        linked = linkOpenFile(source, folder, staged);
    }
    if (!linked) {
        ::unlinkat(folder, staged.c_str(), 0);
        copyFile(source, entry.source, folder, staged, entry.target);
    }
    m_staged.add(folder, staged, name, hiddenBeside(name, keptSuffix), entry.target);
    // A linked file is the source itself, already looked at; a copy is
    // looked at through its own name.
    FileDescriptor copy;
    if (!linked) {
        copy = FileDescriptor(::openat(folder, staged.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        if (!copy.isOpen() || ::fstat(copy.get(), &info) != 0)
            raise(errno, entry.target);
        if (!S_ISREG(info.st_mode))
            throw Error(Error::Code::FileAccess, toQString(entry.source));
    }
    const int fd = linked ? source : copy.get();
    // The release's mode where it gives one; else a replaced program stays
    // executable: the new file takes the old one's mode. Given through the
    // descriptor, never through a name.
    const auto given = m_modes.find(entry.target);
    const mode_t mode = given != m_modes.end() ? given->second & ~umask
                        : entry.targetMode     ? *entry.targetMode
                                               : ((looksExecutable(fd) ? 0755 : 0644) & ~umask);
    if ((info.st_mode & 07777) != mode && ::fchmod(fd, mode) != 0)
        raise(errno, entry.target);
    // Last: whatever was written through any name before now is seen.
    if (entry.check)
        entry.check(fd);
}

// The files that stay but take another mode: those whose mode differs now.
void Replacement::prepareModes(mode_t umask)
{
    m_modeChanges.clear();
    for (const auto &[target, mode] : m_modes) {
        if (m_positions.contains(target.native()))
            continue;
        struct stat info {};
        if (::fstatat(folderOf(target), target.filename().c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                continue;
            raise(errno, target);
        }
        if (S_ISREG(info.st_mode) && (info.st_mode & 07777) != (mode & ~umask))
            m_modeChanges.push_back({target, mode_t(info.st_mode & 07777), mode_t(mode & ~umask)});
    }
}

// Sets the new modes, or `back` the old ones, through the file itself,
// opened without following a link.
void Replacement::setModes(bool back)
{
    for (ModeChange &change : m_modeChanges) {
        if (change.isDone != back)
            continue;
        FileDescriptor file(::openat(folderOf(change.target), change.target.filename().c_str(),
                                     O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        struct stat info {};
        if (!file.isOpen() || ::fstat(file.get(), &info) != 0)
            raise(errno, change.target);
        if (!S_ISREG(info.st_mode) || ::fchmod(file.get(), back ? change.from : change.to) != 0)
            raise(S_ISREG(info.st_mode) ? errno : EPERM, change.target);
        change.isDone = !back;
    }
}

Replacement::~Replacement()
{
    undo();
}

// Everything back as it was, in the reverse order of commit(): the staged
// files, the modes, the folders made, then what was removed.
void Replacement::undo() noexcept
{
    m_staged.rollBack();
    dropLists();
    try {
        setModes(true);
    } catch (const Error &) {
    }
    m_modeChanges.clear();
    undoFolders();
    if (m_removal)
        m_removal->rollBack();
}

// The list goes with the staged files: a run killed once a new target is in
// place leaves the next start the names to remove. Only a kill needs it, not
// a power cut, which can lose the renames as well: it is not made durable.
void Replacement::listNew()
{
    std::map<fs::path, std::string> names;
    for (const Entry &entry : m_entries) {
        if (entry.targetIsNew && !entry.isInPlace)
            names[entry.target.parent_path()] += entry.target.filename().native() + '\0';
    }
    for (const auto &[folder, listed] : names) {
        const fs::path list = folder / toPath(newList);
        const FileDescriptor file = stagelists::create(list);
        m_lists.push_back(list);
        stagelists::fill(file, list, newListHead, listed);
    }
}

void Replacement::dropLists() noexcept
{
    for (const fs::path &list : m_lists)
        ::unlink(list.c_str());
    m_lists.clear();
}

void Replacement::commit()
{
    // What goes, goes first, then the modes change and the new files come,
    // the last of them last; the lists go after the targets are put back:
    // a kill between leaves them for recover().
    try {
        if (m_removal)
            m_removal->commit();
        setModes(false);
        m_staged.commit();
    } catch (...) {
        undo();
        throw;
    }
    if (m_removal)
        m_removal->whole();
    if (m_folders)
        m_folders->keepCreated();
    m_modeChanges.clear();
    // Every target is replaced: an old file or a list that cannot go now is
    // left to recover(), which finds no staged file beside it and drops it.
    try {
        m_staged.dropKept();
    } catch (const Error &) {
    }
    if (m_removal) {
        for (const fs::path &gone : m_removal->removed())
            m_removed.append(toQString(*m_root / gone));
        for (const fs::path &stayed : m_removal->stayed())
            m_keptFolders.append(toQString(*m_root / stayed));
        m_removal->drop();
    }
    dropLists();
    undoFolders();
}

bool Replacement::isStagingName(QStringView name)
{
    return name == newList || name == folderList || Removal::isOwnName(QFile::encodeName(name.toString()).toStdString())
           || (name.startsWith(QLatin1Char('.')) && (name.endsWith(stagedSuffix) || name.endsWith(keptSuffix)));
}

QStringList Replacement::targets() const
{
    QStringList names;
    for (const Entry &entry : m_entries) {
        if (!entry.isInPlace)
            names.append(toQString(entry.target));
    }
    return names;
}

QStringList Replacement::recover(const QString &folder)
{
    const fs::path root = toPath(folder);
    const fs::path list = root / toPath(folderList);
    const ListedFolders listed = listedFolders(list);
    // Only a subfolder reached without a link is looked into.
    FolderWalk walk(root, FolderWalk::Found::Kept);
    std::vector<fs::path> folders{fs::path()};
    for (const fs::path &below : listed.all) {
        try {
            if (walk.missing(below).empty())
                folders.push_back(below);
        } catch (const Error &) {
        }
    }
    std::vector<std::vector<fs::path>> found;
    for (const fs::path &at : folders)
        found.push_back(stagingFiles(walk.held(at), root / at));
    // Staged files go only once every target is replaced or put back: with
    // none left in any folder, the replacement was whole.
    const bool whole = std::none_of(found.cbegin(), found.cend(), [](const std::vector<fs::path> &names) {
        return std::any_of(names.cbegin(), names.cend(), [](const fs::path &path) { return hasSuffix(path, stagedSuffix); });
    });
    QStringList putBack;
    for (std::size_t i = 0; i < folders.size(); ++i)
        putBack += recoverFolder(walk.held(folders[i]), folders[i].empty() ? root : root / folders[i], found[i], whole);
    // A created folder that holds installed files is not empty: it stays.
    FolderWalk::removeEmpty(root, listed.created);
    if (::unlink(list.c_str()) != 0 && errno != ENOENT)
        raise(errno, list);
    // What went comes back into the folders as they are now.
    Removal::recover(root, whole);
    return putBack;
}

} // namespace platform::filesystem

#include "replacement.h"

#include "platform/core/error.h"
#include "platform/core/eventloop.h"
#include "filedescriptor.h"
#include "filesystem.h"
#include "paths.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <iterator>
#include <map>
#include <set>
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

std::size_t longestName(const fs::path &folder)
{
    const long max = ::pathconf(folder.c_str(), _PC_NAME_MAX);
    return max > 0 ? std::size_t(max) : NAME_MAX;
}

// Copies the open file `in`, which `source` names, into the new file `copy`,
// which stands for `target`.
void copyFile(int in, const fs::path &source, const fs::path &copy, const fs::path &target)
{
    DurableFile out(copy, target);
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

// Gives the new file behind `fd` its name `staged`: the file itself, not
// whatever its first name holds by now.
bool linkOpenFile(int fd, const fs::path &staged)
{
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, staged.c_str(), AT_SYMLINK_FOLLOW) == 0;
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

// The replacement's own lists: a first line naming what the list is, so that
// a file of the client's own at that name is never read as one, then entries
// each ended by a NUL. A file that lacks the line has no entries.
constexpr std::string_view newListHead = "targets new to this folder\n";
// '+' for a folder that the replacement creates, '=' for one that was there,
// then the folder's path below the list's folder.
constexpr std::string_view folderListHead = "folders of this replacement\n";

std::vector<std::string> listEntries(const fs::path &list, std::string_view head)
{
    std::ifstream in(list, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> entries;
    if (!text.starts_with(head))
        return entries;
    for (std::size_t at = head.size(), end; (end = text.find('\0', at)) != std::string::npos; at = end + 1)
        entries.push_back(text.substr(at, end - at));
    return entries;
}

// A new list at `list`, replacing whatever stands there.
FileDescriptor createList(const fs::path &list)
{
    ::unlink(list.c_str());
    FileDescriptor file(::open(list.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!file.isOpen())
        raise(errno, list);
    return file;
}

void fillList(const FileDescriptor &file, const fs::path &list, std::string_view head, const std::string &entries)
{
    const std::string text = std::string(head) + entries;
    if (!writeAll(file.get(), text.data(), text.size()))
        raise(errno, list);
}

// The targets that the list at `list` names, beside it.
std::vector<fs::path> listedNew(const fs::path &list)
{
    std::vector<fs::path> targets;
    for (const fs::path name : listEntries(list, newListHead)) {
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
    for (const std::string &entry : listEntries(list, folderListHead)) {
        const fs::path folder = entry.size() > 1 ? fs::path(entry.substr(1)) : fs::path();
        // A path below the list's folder, as written; anything else is not of a list.
        if (folder.empty() || !folder.is_relative() || folder.lexically_normal() != folder
            || *folder.begin() == "..")
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

// The staging names in `folder`.
std::vector<fs::path> stagingFiles(const fs::path &folder)
{
    std::error_code error;
    fs::directory_iterator it(folder, error);
    if (error)
        raise(error.value(), folder);
    std::vector<fs::path> found;
    for (const fs::directory_iterator end; it != end; it.increment(error)) {
        if (error)
            raise(error.value(), folder);
        std::error_code typeError;
        if (Replacement::isStagingName(toQString(it->path().filename()))
            && it->symlink_status(typeError).type() != fs::file_type::directory)
            found.push_back(it->path());
    }
    return found;
}

// Undoes, or when `whole` finishes, the replacement in `folder`, whose
// staging names are `found`. Returns the targets put back or removed.
QStringList recoverFolder(const fs::path &root, const std::vector<fs::path> &found, bool whole)
{
    std::error_code error;
    QStringList putBack;
    // The new targets first: a kept file beside one means that the target
    // was there after all, and its old file is put back below.
    const fs::path list = root / toPath(Replacement::newList);
    if (std::find(found.cbegin(), found.cend(), list) != found.cend()) {
        if (!whole) {
            for (const fs::path &target : listedNew(list)) {
                if (fs::exists(hiddenBeside(target, Replacement::keptSuffix), error))
                    continue;
                if (::unlink(target.c_str()) == 0)
                    putBack.append(toQString(target));
                else if (errno != ENOENT)
                    raise(errno, target);
            }
        }
        if (::unlink(list.c_str()) != 0 && errno != ENOENT)
            raise(errno, list);
    }
    for (const fs::path &path : found) {
        const std::string name = path.filename().native();
        if (hasSuffix(path, Replacement::keptSuffix)) {
            // A bare ".updating-old" names no target: never one of ours.
            if (name.size() <= 1 + std::size_t(Replacement::keptSuffix.size()))
                continue;
            const fs::path target = root / name.substr(1, name.size() - 1 - std::size_t(Replacement::keptSuffix.size()));
            if (whole) {
                if (::unlink(path.c_str()) != 0 && errno != ENOENT)
                    raise(errno, path);
                continue;
            }
            if (::rename(path.c_str(), target.c_str()) != 0)
                raise(errno, target);
            putBack.append(toQString(target));
        } else if (hasSuffix(path, Replacement::stagedSuffix) && ::unlink(path.c_str()) != 0 && errno != ENOENT) {
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
    add(Entry{toPath(source), toPath(target), FileDescriptor(), std::move(check), std::nullopt});
}

void Replacement::add(FileDescriptor file, const QString &source, const QString &target, Check check)
{
    add(Entry{toPath(source), toPath(target), std::move(file), std::move(check), std::nullopt});
}

void Replacement::add(Entry entry)
{
    const auto [position, isNew] = m_positions.try_emplace(entry.target.native(), m_entries.size());
    if (isNew)
        m_entries.push_back(std::move(entry));
    else
        m_entries[position->second] = std::move(entry);
}

void Replacement::prepare()
{
    try {
        makeFolders();
        prepareFiles();
    } catch (...) {
        undoFolders();
        throw;
    }
}

// The subfolders are listed before any is created: a kill at any point
// leaves recover() the folders to look in and those to remove.
void Replacement::makeFolders()
{
    if (!m_root)
        return;
    std::set<fs::path> below;
    for (const Entry &entry : m_entries) {
        const fs::path folder = entry.target.parent_path().lexically_relative(*m_root);
        if (!folder.empty() && folder != "." && *folder.begin() != "..")
            below.insert(folder);
    }
    if (below.empty())
        return;
    m_folders.emplace(*m_root, FolderWalk::Found::Kept);
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
    const FileDescriptor file = createList(list);
    m_folderList = list;
    fillList(file, list, folderListHead, listed);
    for (const fs::path &folder : below)
        m_folders->open(folder);
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
    std::map<fs::path, std::size_t> longestNames;
    for (Entry &entry : m_entries) {
        struct stat info {};
        if ((entry.file.isOpen() ? ::fstat(entry.file.get(), &info) : ::lstat(entry.source.c_str(), &info)) != 0)
            raise(errno, entry.source);
        if (!S_ISREG(info.st_mode))
            throw Error(Error::Code::FileAccess, toQString(entry.source));
        entry.targetMode.reset();
        entry.targetIsNew = false;
        if (::lstat(entry.target.c_str(), &info) == 0) {
            if (S_ISDIR(info.st_mode))
                raise(EISDIR, entry.target);
            // Read-only is checked, not left to the OS, which lets root write anyway.
            if (isReadOnlyFile(info))
                throw Error(Error::Code::PermissionDenied, toQString(entry.target));
            if (S_ISREG(info.st_mode))
                entry.targetMode = info.st_mode & 07777;
        } else if (errno == ENOENT) {
            entry.targetIsNew = true;
        } else {
            raise(errno, entry.target);
        }
        const fs::path folder = entry.target.parent_path();
        auto longest = longestNames.find(folder);
        if (longest == longestNames.end())
            longest = longestNames.emplace(folder, longestName(folder)).first;
        if (hiddenBeside(entry.target, keptSuffix).filename().native().size() > longest->second)
            raise(ENAMETOOLONG, entry.target);
    }
    std::set<fs::path> folders;
    const mode_t umask = processUmask();
    const uid_t owner = ::geteuid();
    try {
        for (const Entry &entry : m_entries) {
            stage(entry, umask, owner);
            folders.insert(entry.target.parent_path());
            yield();
        }
        syncFolders(folders);
        listNew();
    } catch (...) {
        m_staged.rollBack();
        dropLists();
        throw;
    }
}

void Replacement::stage(const Entry &entry, mode_t umask, uid_t owner)
{
    const fs::path staged = hiddenBeside(entry.target, stagedSuffix);
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
    bool linked = linkOpenFile(source, staged);
    if (!linked && errno == EEXIST) {
        ::unlink(staged.c_str());
        linked = linkOpenFile(source, staged);
    }
    if (!linked) {
        ::unlink(staged.c_str());
        copyFile(source, entry.source, staged, entry.target);
    }
    m_staged.add(staged, entry.target, hiddenBeside(entry.target, keptSuffix));
    // A linked file is the source itself, already looked at; a copy is
    // looked at through its own name.
    FileDescriptor copy;
    if (!linked) {
        copy = FileDescriptor(::open(staged.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        if (!copy.isOpen() || ::fstat(copy.get(), &info) != 0)
            raise(errno, entry.target);
        if (!S_ISREG(info.st_mode))
            throw Error(Error::Code::FileAccess, toQString(entry.source));
    }
    const int fd = linked ? source : copy.get();
    // A replaced program stays executable: the new file takes the old one's
    // mode, given through the descriptor, never through a name.
    const mode_t mode = entry.targetMode ? *entry.targetMode : ((looksExecutable(fd) ? 0755 : 0644) & ~umask);
    if ((info.st_mode & 07777) != mode && ::fchmod(fd, mode) != 0)
        raise(errno, entry.target);
    // Last: whatever was written through any name before now is seen.
    if (entry.check)
        entry.check(fd);
}

Replacement::~Replacement()
{
    m_staged.rollBack();
    dropLists();
    undoFolders();
}

// The list goes with the staged files: a run killed once a new target is in
// place leaves the next start the names to remove. Only a kill needs it, not
// a power cut, which can lose the renames as well: it is not made durable.
void Replacement::listNew()
{
    std::map<fs::path, std::string> names;
    for (const Entry &entry : m_entries) {
        if (entry.targetIsNew)
            names[entry.target.parent_path()] += entry.target.filename().native() + '\0';
    }
    for (const auto &[folder, listed] : names) {
        const fs::path list = folder / toPath(newList);
        const FileDescriptor file = createList(list);
        m_lists.push_back(list);
        fillList(file, list, newListHead, listed);
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
    // The lists go after the targets are put back: a kill between leaves
    // them for recover().
    try {
        m_staged.commit();
    } catch (...) {
        dropLists();
        undoFolders();
        throw;
    }
    if (m_folders)
        m_folders->keepCreated();
    // Every target is replaced: an old file or a list that cannot go now is
    // left to recover(), which finds no staged file beside it and drops it.
    try {
        m_staged.dropKept();
    } catch (const Error &) {
    }
    dropLists();
    undoFolders();
}

bool Replacement::isStagingName(QStringView name)
{
    return name == newList || name == folderList
           || (name.startsWith(QLatin1Char('.')) && (name.endsWith(stagedSuffix) || name.endsWith(keptSuffix)));
}

QStringList Replacement::targets() const
{
    QStringList names;
    for (const Entry &entry : m_entries)
        names.append(toQString(entry.target));
    return names;
}

QStringList Replacement::recover(const QString &folder)
{
    const fs::path root = toPath(folder);
    const fs::path list = root / toPath(folderList);
    const ListedFolders listed = listedFolders(list);
    // Only a subfolder reached without a link is looked into.
    std::vector<fs::path> folders{root};
    const FolderWalk walk(root, FolderWalk::Found::Kept);
    for (const fs::path &below : listed.all) {
        try {
            if (walk.missing(below).empty())
                folders.push_back(root / below);
        } catch (const Error &) {
        }
    }
    std::vector<std::vector<fs::path>> found;
    for (const fs::path &at : folders)
        found.push_back(stagingFiles(at));
    // Staged files go only once every target is replaced or put back: with
    // none left in any folder, the replacement was whole.
    const bool whole = std::none_of(found.cbegin(), found.cend(), [](const std::vector<fs::path> &names) {
        return std::any_of(names.cbegin(), names.cend(), [](const fs::path &path) { return hasSuffix(path, stagedSuffix); });
    });
    QStringList putBack;
    for (std::size_t i = 0; i < folders.size(); ++i)
        putBack += recoverFolder(folders[i], found[i], whole);
    // A created folder that holds installed files is not empty: it stays.
    FolderWalk::removeEmpty(root, listed.created);
    if (::unlink(list.c_str()) != 0 && errno != ENOENT)
        raise(errno, list);
    return putBack;
}

} // namespace platform::filesystem

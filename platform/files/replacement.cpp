#include "replacement.h"

#include "release/sitelayout.h"

#include "platform/core/error.h"
#include "platform/core/eventloop.h"
#include "filedescriptor.h"

#include <QFile>

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <future>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace platform::filesystem {

namespace {

using sitelayout::keptSuffix;
using sitelayout::stagedSuffix;
constexpr std::size_t copyBlock = 1024 * 1024;

fs::path toPath(const QString &path)
{
    return fs::path(QFile::encodeName(path).toStdString());
}

QString toQString(const fs::path &path)
{
    return QFile::decodeName(QByteArray::fromStdString(path.string()));
}

[[noreturn]] void raise(int errnum, const fs::path &path)
{
    throw Error::fromErrno(errnum, toQString(path));
}

fs::path besideTarget(const fs::path &target, const QString &suffix)
{
    // Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict for
    // the same name built with operator+.
    std::string name(1, '.');
    name.append(target.filename().string()).append(QFile::encodeName(suffix).toStdString());
    return target.parent_path() / name;
}

std::size_t longestName(const fs::path &folder)
{
    const long max = ::pathconf(folder.c_str(), _PC_NAME_MAX);
    return max > 0 ? std::size_t(max) : NAME_MAX;
}

// Copies `source` into the new file `copy`; a write error names `target`,
// the file the copy stands for, so that a full disk is reported where it is.
void copyFile(const fs::path &source, const fs::path &copy, const fs::path &target)
{
    FileDescriptor in(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!in.isOpen())
        raise(errno, source);
    FileDescriptor out(::open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!out.isOpen())
        raise(errno, target);
    std::vector<char> buffer(copyBlock);
    for (;;) {
        const ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            raise(errno, source);
        }
        if (!writeAll(out.get(), buffer.data(), std::size_t(n)))
            raise(errno, target);
        yield();
    }
    if (out.close() != 0)
        raise(errno, target);
}

// Makes what is staged durable before it becomes visible under the targets'
// names, without keeping the window from answering meanwhile.
void syncFolders(const std::set<fs::path> &folders)
{
    for (const fs::path &folder : folders) {
        FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!fd.isOpen())
            continue;
        std::future<int> done = std::async(std::launch::async, [&fd] { return ::syncfs(fd.get()); });
        waitUntil([&] { return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
                  QDeadlineTimer(QDeadlineTimer::Forever));
    }
}

} // namespace

Replacement::~Replacement()
{
    removeStaged();
}

void Replacement::add(const QString &source, const QString &target)
{
    Entry entry;
    entry.source = toPath(source);
    entry.target = toPath(target);
    entry.staged = besideTarget(entry.target, stagedSuffix);
    entry.kept = besideTarget(entry.target, keptSuffix);
    const auto [position, isNew] = m_positions.try_emplace(entry.target.native(), m_entries.size());
    if (isNew)
        m_entries.push_back(std::move(entry));
    else
        m_entries[position->second] = std::move(entry);
}

void Replacement::prepare()
{
    for (const Entry &entry : m_entries) {
        struct stat info {};
        if (::lstat(entry.source.c_str(), &info) != 0)
            raise(errno, entry.source);
        if (!S_ISREG(info.st_mode))
            throw Error(Error::Code::FileAccess, toQString(entry.source));
        if (::lstat(entry.target.c_str(), &info) == 0) {
            if (S_ISDIR(info.st_mode))
                raise(EISDIR, entry.target);
            // Read-only is checked, not left to the OS, which lets root write anyway.
            if (S_ISREG(info.st_mode) && (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
                throw Error(Error::Code::PermissionDenied, toQString(entry.target));
        } else if (errno != ENOENT) {
            raise(errno, entry.target);
        }
        if (entry.kept.filename().string().size() > longestName(entry.target.parent_path()))
            raise(ENAMETOOLONG, entry.target);
    }
    std::set<fs::path> folders;
    try {
        for (Entry &entry : m_entries) {
            stage(entry);
            folders.insert(entry.target.parent_path());
            yield();
        }
    } catch (...) {
        removeStaged();
        throw;
    }
    syncFolders(folders);
}

void Replacement::stage(Entry &entry)
{
    ::unlink(entry.staged.c_str());
    // A source that is deleted after the installation can lend its content
    // without a copy; across file systems it is copied.
    if (::link(entry.source.c_str(), entry.staged.c_str()) != 0) {
        entry.isStaged = true; // a partial copy goes with the rest
        copyFile(entry.source, entry.staged, entry.target);
    }
    entry.isStaged = true;
    struct stat staged {};
    if (::lstat(entry.staged.c_str(), &staged) != 0)
        raise(errno, entry.target);
    if (!S_ISREG(staged.st_mode))
        throw Error(Error::Code::FileAccess, toQString(entry.source));
    // A replaced program stays executable: the new file takes the old one's mode.
    struct stat old {};
    const mode_t mode = ::lstat(entry.target.c_str(), &old) == 0 && S_ISREG(old.st_mode)
                            ? (old.st_mode & 07777)
                            : ((staged.st_mode & 07777) | S_IWUSR);
    if (::chmod(entry.staged.c_str(), mode) != 0)
        raise(errno, entry.target);
}

void Replacement::commit()
{
    for (Entry &entry : m_entries) {
        struct stat old {};
        if (::lstat(entry.target.c_str(), &old) == 0 && !S_ISDIR(old.st_mode)) {
            ::unlink(entry.kept.c_str());
            if (::link(entry.target.c_str(), entry.kept.c_str()) != 0) {
                const int failure = errno;
                rollBack();
                raise(failure, entry.target);
            }
            entry.isKept = true;
        }
        if (::rename(entry.staged.c_str(), entry.target.c_str()) != 0) {
            const int failure = errno;
            rollBack();
            raise(failure, entry.target);
        }
        entry.isStaged = false;
        entry.isCommitted = true;
        yield();
    }
    // In the order replaced: as long as the last target's old file is kept,
    // recover() can still undo the whole replacement.
    for (Entry &entry : m_entries) {
        if (entry.isKept && ::unlink(entry.kept.c_str()) != 0 && errno != ENOENT)
            raise(errno, entry.target);
        entry.isKept = false;
    }
}

void Replacement::rollBack() noexcept
{
    for (auto it = m_entries.rbegin(); it != m_entries.rend(); ++it) {
        if (it->isCommitted) {
            if (it->isKept)
                ::rename(it->kept.c_str(), it->target.c_str());
            else
                ::unlink(it->target.c_str());
            it->isCommitted = false;
        } else if (it->isKept) {
            ::unlink(it->kept.c_str());
        }
        it->isKept = false;
    }
    removeStaged();
}

void Replacement::removeStaged() noexcept
{
    for (Entry &entry : m_entries) {
        if (entry.isStaged)
            ::unlink(entry.staged.c_str());
        entry.isStaged = false;
    }
}

bool Replacement::isStagingName(QStringView name)
{
    return name.startsWith(QLatin1Char('.')) && (name.endsWith(stagedSuffix) || name.endsWith(keptSuffix));
}

void Replacement::recover(const QString &folder)
{
    const fs::path root = toPath(folder);
    const std::string kept = QFile::encodeName(keptSuffix).toStdString();
    std::error_code error;
    fs::directory_iterator it(root, error);
    if (error)
        raise(error.value(), root);
    std::vector<fs::path> found;
    for (const fs::directory_iterator end; it != end; it.increment(error)) {
        if (error)
            raise(error.value(), root);
        std::error_code typeError;
        if (isStagingName(toQString(it->path().filename()))
            && it->symlink_status(typeError).type() != fs::file_type::directory)
            found.push_back(it->path());
    }
    for (const fs::path &path : found) {
        const std::string name = path.filename().string();
        if (name.ends_with(kept)) {
            // A bare ".updating-old" names no target: never one of ours.
            if (name.size() <= 1 + kept.size())
                continue;
            const fs::path target = root / name.substr(1, name.size() - 1 - kept.size());
            if (::rename(path.c_str(), target.c_str()) != 0)
                raise(errno, target);
        } else if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            raise(errno, path);
        }
    }
}

} // namespace platform::filesystem

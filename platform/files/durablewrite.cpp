#include "durablewrite.h"

#include "platform/core/error.h"
#include "platform/core/eventloop.h"
#include "paths.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace platform {

DurableFile::DurableFile(fs::path temporary, fs::path target, mode_t mode)
    : DurableFile(AT_FDCWD, std::move(temporary), std::move(target), mode)
{
}

DurableFile::DurableFile(int folder, fs::path temporary, fs::path target, mode_t mode)
    : m_folder(folder), m_temporary(std::move(temporary)), m_target(std::move(target)),
      m_fd(::openat(m_folder, m_temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode))
{
    if (!m_fd.isOpen())
        fail(errno);
    m_owned = true;
}

DurableFile::~DurableFile()
{
    if (m_owned)
        ::unlinkat(m_folder, m_temporary.c_str(), 0);
}

void DurableFile::write(QByteArrayView bytes)
{
    if (!writeAll(m_fd.get(), bytes.data(), std::size_t(bytes.size())))
        fail(errno);
}

void DurableFile::flush()
{
    if (m_fd.isOpen() && (::fsync(m_fd.get()) != 0 || m_fd.close() != 0))
        fail(errno);
}

void DurableFile::renameOver()
{
    flush();
    if (::rename(m_temporary.c_str(), m_target.c_str()) != 0)
        fail(errno);
    m_owned = false;
}

bool DurableFile::linkAsNew()
{
    flush();
    // A link, unlike a rename, fails when the name is taken.
    const int linked = ::link(m_temporary.c_str(), m_target.c_str());
    const int failure = errno;
    ::unlink(m_temporary.c_str());
    m_owned = false;
    if (linked == 0)
        return true;
    if (failure == EEXIST)
        return false;
    fail(failure);
}

fs::path DurableFile::release()
{
    flush();
    m_owned = false;
    return m_temporary;
}

void DurableFile::fail(int errnum) const
{
    throw Error::fromErrno(errnum, paths::toQString(m_target));
}

void AllOrNothing::add(fs::path staged, fs::path target, fs::path kept)
{
    fs::path shown = target;
    add(AT_FDCWD, std::move(staged), std::move(target), std::move(kept), std::move(shown));
}

void AllOrNothing::add(int folder, fs::path staged, fs::path target, fs::path kept, fs::path shown)
{
    m_entries.push_back({folder, std::move(staged), std::move(target), std::move(kept), std::move(shown)});
}

void AllOrNothing::failAt(const Entry &entry)
{
    const int failure = errno;
    const QString target = paths::toQString(entry.shown);
    rollBack();
    throw Error::fromErrno(failure, target);
}

void AllOrNothing::commit()
{
    for (Entry &entry : m_entries) {
        // Most targets are new: the staged file takes a free name in one
        // call. Where the name is taken (or the file system cannot tell),
        // the old file is kept first.
        const int at = entry.folder;
        if (::renameat2(at, entry.staged.c_str(), at, entry.target.c_str(), RENAME_NOREPLACE) != 0) {
            struct stat old {};
            if (::fstatat(at, entry.target.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(old.st_mode)) {
                ::unlinkat(at, entry.kept.c_str(), 0);
                if (::linkat(at, entry.target.c_str(), at, entry.kept.c_str(), 0) != 0)
                    failAt(entry);
                entry.isKept = true;
            }
            if (::renameat(at, entry.staged.c_str(), at, entry.target.c_str()) != 0)
                failAt(entry);
        }
        entry.isCommitted = true;
        yield();
    }
}

void AllOrNothing::dropKept()
{
    const std::vector<Entry> entries = std::exchange(m_entries, {});
    for (const Entry &entry : entries) {
        if (entry.isKept && ::unlinkat(entry.folder, entry.kept.c_str(), 0) != 0 && errno != ENOENT)
            throw Error::fromErrno(errno, paths::toQString(entry.shown));
    }
}

void AllOrNothing::rollBack() noexcept
{
    // The newest first, each target back to what it was; the staged files
    // go last, so that a process killed meanwhile leaves one for the next
    // start to see that the replacement was cut off.
    for (auto it = m_entries.rbegin(); it != m_entries.rend(); ++it) {
        if (!it->isCommitted)
            continue;
        if (it->isKept)
            ::renameat(it->folder, it->kept.c_str(), it->folder, it->target.c_str());
        else
            ::unlinkat(it->folder, it->target.c_str(), 0);
    }
    for (auto it = m_entries.rbegin(); it != m_entries.rend(); ++it) {
        if (it->isCommitted)
            continue;
        if (it->isKept)
            ::unlinkat(it->folder, it->kept.c_str(), 0);
        ::unlinkat(it->folder, it->staged.c_str(), 0);
    }
    m_entries.clear();
}

} // namespace platform

#pragma once

#include "filedescriptor.h"

#include <QByteArrayView>

#include <fcntl.h>
#include <filesystem>
#include <sys/types.h>
#include <vector>

namespace platform {

// A new file written beside the file it is to become, and given that file's
// name only once it is whole and on disk, so that nobody ever sees it
// half-written. It is created exclusively: whatever stands at its name, a
// link above all, is never opened. Every error names the target, the file the
// new one stands for, so that a full disk is reported where it matters. Until
// it is in place or handed over, the destructor removes it.
class DurableFile
{
public:
    // `mode` is given to the new file, less the umask.
    DurableFile(std::filesystem::path temporary, std::filesystem::path target, mode_t mode = 0644);
    // The same with `temporary` a name in the open folder `folder`.
    DurableFile(int folder, std::filesystem::path temporary, std::filesystem::path target, mode_t mode = 0644);
    ~DurableFile();
    DurableFile(const DurableFile &) = delete;
    DurableFile &operator=(const DurableFile &) = delete;

    // Writes all of it, on after a short write.
    void write(QByteArrayView bytes);
    // Flushes to disk and renames the new file over the target (a file made
    // by path, as the next one).
    void renameOver();
    // Flushes to disk and gives the new file the target's name, unless a file
    // has that name already: false then, and the new file is gone.
    bool linkAsNew();
    // Flushes to disk and hands the finished file over to the caller, who
    // puts it in place or removes it.
    std::filesystem::path release();

private:
    void flush();
    [[noreturn]] void fail(int errnum) const;

    int m_folder = AT_FDCWD;
    std::filesystem::path m_temporary;
    std::filesystem::path m_target;
    FileDescriptor m_fd;
    bool m_owned = false;
};

// Puts finished new files in their targets' places all or nothing. Each file
// that is replaced keeps a second name until every target is replaced, so
// that a failure puts back what was already replaced; whatever is not a
// folder at a target (a link too) is kept and put back as itself. Until
// commit() has replaced the last target, the destructor undoes everything.
class AllOrNothing
{
public:
    AllOrNothing() = default;
    ~AllOrNothing() { rollBack(); }
    AllOrNothing(const AllOrNothing &) = delete;
    AllOrNothing &operator=(const AllOrNothing &) = delete;

    // Takes over `staged`, a finished new file for `target`; the replaced
    // file is kept as `kept` meanwhile.
    void add(std::filesystem::path staged, std::filesystem::path target, std::filesystem::path kept);
    // The same with the three as names in the open folder `folder`, which
    // the caller holds open until the list is done with: no rename goes
    // through a link swapped in for a folder on the way. Errors name `shown`.
    void add(int folder, std::filesystem::path staged, std::filesystem::path target, std::filesystem::path kept,
             std::filesystem::path shown);

    // Renames the staged files over their targets in the order added, and
    // lets the event loop answer between them. A failure undoes everything
    // (rollBack()) and raises the error, naming the target.
    void commit();
    // After commit(): removes the kept files in the order replaced and
    // forgets the list. Stops at the first that cannot go and raises its
    // error, naming its target; the kept files after it stay.
    void dropKept();
    // Puts back every target already replaced, removes every staged file and
    // forgets the list.
    void rollBack() noexcept;

private:
    struct Entry
    {
        int folder = -1;
        std::filesystem::path staged, target, kept, shown;
        bool isKept = false;
        bool isCommitted = false;
    };

    // Undoes everything and raises errno's error, naming the entry's target.
    [[noreturn]] void failAt(const Entry &entry);

    std::vector<Entry> m_entries;
};

} // namespace platform

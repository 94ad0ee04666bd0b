#pragma once

#include "filedescriptor.h"

#include <filesystem>
#include <map>
#include <vector>

namespace platform::filesystem {

// Folders below a root, reached one part at a time by descriptor (openat with
// O_NOFOLLOW | O_DIRECTORY), so that no part is ever a link to elsewhere.
// Missing parts are created, 0755 less the umask, and remembered, so that
// they can go again.
class FolderWalk
{
public:
    // What stands at a part that this walk did not create.
    enum class Found {
        Kept,     // a folder is the root's own; a link or anything else is refused (LinkedFolder)
        Replaced, // nothing is trusted: whatever stands there is removed and the folder created anew
    };

    FolderWalk(std::filesystem::path root, Found found);

    // The folder `relative` (parts joined by '/'; empty for the root itself),
    // open, its missing parts created.
    FileDescriptor open(const std::filesystem::path &relative);
    // The same folder held open by the walk until it goes, or until
    // forgotten: the descriptor through which every name in it is renamed.
    int held(const std::filesystem::path &relative);
    // Closes the held descriptor of `relative`, a folder removed or made anew.
    void forget(const std::filesystem::path &relative) { m_held.erase(relative); }
    // The parts of `relative` missing now, shallowest first; what stands in
    // the way is refused as open() would.
    std::vector<std::filesystem::path> missing(const std::filesystem::path &relative) const;
    // The folders this walk created, shallowest first.
    const std::vector<std::filesystem::path> &created() const { return m_created; }
    // Forgets the created folders: they are kept.
    void keepCreated() { m_created.clear(); }
    // Removes the created folders, deepest first, each only while empty.
    void removeCreated() noexcept;
    // Removes the created folders that lie directly in the root, with
    // whatever they hold.
    void removeCreatedTrees() noexcept;

    // Removes the empty folders `relative` names below `root`, deepest
    // first, never through a link.
    static void removeEmpty(const std::filesystem::path &root, const std::vector<std::filesystem::path> &relative) noexcept;

private:
    FileDescriptor openRoot() const;
    // The part `name` in the open folder `parent`, open; none when nothing
    // stands there. Anything but a folder is refused.
    FileDescriptor existing(int parent, const std::filesystem::path &name, const std::filesystem::path &relative) const;
    // The same part, created when missing.
    FileDescriptor step(int parent, const std::filesystem::path &name, const std::filesystem::path &relative);

    std::filesystem::path m_root;
    Found m_found;
    std::vector<std::filesystem::path> m_created;
    std::map<std::filesystem::path, FileDescriptor> m_held;
};

} // namespace platform::filesystem

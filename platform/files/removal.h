#pragma once

#include "folderwalk.h"

#include <QLatin1StringView>

#include <filesystem>
#include <optional>
#include <set>
#include <vector>

namespace platform::filesystem {

// Files, links and folders below a root that an installation removes, all
// or nothing. A file or link goes aside into the root as
// ".updating-removed-N" until the installation is whole, and comes back on
// any failure; a folder goes once empty (deepest first) and is made again on
// a failure; one that still holds something stays. Every name is reached
// through the folders the walk holds, never through a link. The list
// ".updating-removed" names what goes, for recover() after a kill, and a
// staged guard ".updating-removed.updating" stands until the installation is
// whole, so that a kill before then is undone. The running program's own
// file never goes.
class Removal
{
public:
    static constexpr QLatin1StringView list{".updating-removed"};

    Removal(std::filesystem::path root, FolderWalk &walk);
    ~Removal() { rollBack(); }
    Removal(const Removal &) = delete;
    Removal &operator=(const Removal &) = delete;

    // Paths below the root, parts joined by '/'.
    void addFile(const std::filesystem::path &relative);
    void addFolder(const std::filesystem::path &relative);
    bool isEmpty() const { return m_files.empty() && m_folders.empty(); }
    bool removesFolder(const std::filesystem::path &relative) const;
    bool removesFile(const std::filesystem::path &relative) const;

    // Looks at what stands at each path (what is not there, or not of its
    // kind, is left alone) and writes the list and the guard.
    void prepare();
    // Moves the file at `relative` aside now: it stands where a new folder goes.
    void moveAside(const std::filesystem::path &relative);
    // Moves the other files aside, then removes the folders that are empty by then.
    void commit();
    // The installation is whole: the guard goes.
    void whole() noexcept;
    // Puts back every folder and file that went.
    void rollBack() noexcept;
    // After the installation: the files set aside and the list go.
    void drop() noexcept;

    // What went, and the folders that stayed as they still held something.
    std::vector<std::filesystem::path> removed() const;
    const std::vector<std::filesystem::path> &stayed() const { return m_stayed; }

    static bool isOwnName(std::string_view name);
    // Undoes, or where `whole` finishes, a removal that was cut off below `root`.
    static void recover(const std::filesystem::path &root, bool whole);

private:
    struct File
    {
        std::filesystem::path relative;
        std::size_t number = 0; // of its name aside
        bool isAside = false;
    };
    struct Folder
    {
        std::filesystem::path relative;
        bool isRemoved = false;
    };

    void moveAside(File &file);
    bool isFolder(const std::filesystem::path &relative) const;
    void dropList() noexcept;

    std::filesystem::path m_root;
    FolderWalk &m_walk;
    std::vector<File> m_files;
    std::vector<Folder> m_folders; // deepest first once prepared
    std::vector<std::filesystem::path> m_stayed;
    bool m_listed = false;
};

} // namespace platform::filesystem

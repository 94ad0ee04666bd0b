#pragma once

#include "durablewrite.h"
#include "folderwalk.h"
#include "removal.h"

#include <QLatin1StringView>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include <sys/types.h>

namespace platform::filesystem {

// Replaces a list of files all or nothing. Each new file is first staged
// beside its target as ".NAME.updating"; the old file is kept as
// ".NAME.updating-old", and the targets new to the folder are listed in
// ".updating-new", until every target is replaced; targets in subfolders of
// a folder given to beneath() are reached from it by descriptor, and the
// folders involved listed in its ".updating-folders", marking those that the
// replacement creates, which go again when it is undone, so that a failure
// puts back what was already replaced, and a run killed in the middle can be
// undone by the next one (recover()). Links and other non-regular files at a
// target are replaced, never written through. Every installed file is this
// process's own: a replaced file keeps the mode of the file it replaces; a
// new one is 0755 less the umask when it begins as a program does (an ELF
// header or "#!"), 0644 less the umask otherwise, unless a mode is given.
// Every name is renamed, linked or removed through the open folder that
// holds it (held from the walk), never through a path that a link swapped in
// since could lead elsewhere. Below a folder given to beneath(), files,
// links and folders may also be removed (Removal), links made, modes set and
// empty folders made, all part of the same all or nothing.
class Replacement
{
public:
    static constexpr QLatin1StringView stagedSuffix{".updating"};
    static constexpr QLatin1StringView keptSuffix{".updating-old"};
    static constexpr QLatin1StringView newList{".updating-new"};
    static constexpr QLatin1StringView folderList{".updating-folders"};

    // A check of a staged file, given the descriptor through which its bytes
    // are read: the very file that is renamed over the target. It raises
    // what refuses the file.
    using Check = std::function<void(int fd)>;

    Replacement() = default;
    ~Replacement();
    Replacement(const Replacement &) = delete;
    Replacement &operator=(const Replacement &) = delete;

    // Adds a file to the list; a later file for the same target takes the
    // place of the earlier one. Targets are replaced in the order added.
    // `check`, if any, is made once the file is staged under its last name.
    void add(const QString &source, const QString &target, Check check = {});
    // The same for a file already open, which `source` names: the very file
    // behind the descriptor is installed, whatever the name holds by then.
    void add(FileDescriptor file, const QString &source, const QString &target, Check check = {});

    // Targets in subfolders of `folder` are reached from it one folder at a
    // time, never through a link; missing folders are created.
    void beneath(const QString &folder);

    // The rest needs beneath(): paths below its folder.
    // A symbolic link at `target` to `linkTarget`, staged beside it and
    // renamed over; one already there with that target is left as it is.
    void addLink(const QString &target, const QString &linkTarget);
    // The mode that the file at `target` is to have, less the umask, never
    // with group or other write: given to it when it is installed, or set on
    // the file already there, and put back on a failure.
    void giveMode(const QString &target, mode_t mode);
    // A folder, made when missing, even empty.
    void addFolder(const QString &folder);
    // A file or link removed (a folder or nothing there: left alone), and a
    // folder removed once empty.
    void remove(const QString &target);
    void removeFolder(const QString &folder);
    // After commit(): what was removed, and the folders that stayed as they
    // still held something.
    const QStringList &removed() const { return m_removed; }
    const QStringList &keptFolders() const { return m_keptFolders; }

    // Checks that every target can be replaced (no folder in the way, not
    // read-only, a staging name the file system can hold), stages every
    // new file, checks it and makes it durable (syncfs). Nothing visible
    // changes; a failure removes what was staged.
    void prepare();
    // Renames the staged files over their targets. A failure puts back every
    // target already replaced and raises the error.
    void commit();
    void run()
    {
        prepare();
        commit();
    }

    // The targets, in the order they are replaced.
    QStringList targets() const;

    // Whether a name is one that the replacement uses for its own files.
    static bool isStagingName(QStringView name);
    // Undoes a replacement that was cut off in `folder` and the subfolders
    // it lists: kept old files are put back, listed new targets and staged
    // files removed, and the folders it created removed once empty. Where no
    // staged file is left, the replacement was whole: only its kept old files
    // and lists are removed. Returns the targets put back or removed.
    static QStringList recover(const QString &folder);

private:
    struct Entry
    {
        std::filesystem::path source, target;
        FileDescriptor file;
        Check check;
        // The mode of the regular file that prepare() found at the target.
        std::optional<mode_t> targetMode;
        // Whether prepare() found nothing at the target.
        bool targetIsNew = false;
        // A link's target, for a link.
        std::optional<std::filesystem::path> linkTarget;
        // Whether the target is right already: a link to the same target.
        bool isInPlace = false;
    };
    struct ModeChange
    {
        std::filesystem::path target;
        mode_t from = 0, to = 0;
        bool isDone = false;
    };

    void add(Entry entry);
    void prepareFiles();
    void makeFolders();
    void undoFolders() noexcept;
    void stage(const Entry &entry, mode_t umask, uid_t owner);
    void stageLink(const Entry &entry);
    void listNew();
    void dropLists() noexcept;
    void prepareModes(mode_t umask);
    void setModes(bool back);
    void undo() noexcept;
    // The open folder that holds `target`.
    int folderOf(const std::filesystem::path &target);
    // `path` below the folder given to beneath().
    std::filesystem::path below(const std::filesystem::path &path) const;

    std::vector<Entry> m_entries;
    // What prepare() staged, replaced by commit(); undone when the object
    // goes before then.
    AllOrNothing m_staged;
    // The lists of new targets that prepare() wrote, one a folder.
    std::vector<std::filesystem::path> m_lists;
    // Where each target stands in m_entries, so that adding stays cheap for
    // ten thousand files.
    std::unordered_map<std::string, std::size_t> m_positions;
    // The folder given to beneath(), the walk that reached its subfolders,
    // and the list of them once written.
    std::optional<std::filesystem::path> m_root;
    std::optional<FolderWalk> m_folders;
    std::optional<std::filesystem::path> m_folderList;
    // The folders of targets outside beneath()'s, opened by path.
    std::map<std::filesystem::path, FileDescriptor> m_plainFolders;
    // Below beneath()'s folder: the modes to give, by target, the folders to
    // make, and what goes.
    std::map<std::filesystem::path, mode_t> m_modes;
    std::vector<ModeChange> m_modeChanges;
    std::set<std::filesystem::path> m_newFolders;
    std::vector<std::filesystem::path> m_removedFiles, m_removedFolders;
    std::optional<Removal> m_removal;
    QStringList m_removed, m_keptFolders;
};

} // namespace platform::filesystem

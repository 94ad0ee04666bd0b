#include "treechange.h"

#include "platform/core/error.h"
#include "platform/files/replacement.h"
#include "release/sitelayout.h"

#include <algorithm>

namespace update {

using release::TreeEntry;

namespace {

// The updater's own names are never touched, whatever a tree says.
bool isOwnName(const QString &path)
{
    return sitelayout::ownNames().contains(path.section(QLatin1Char('/'), 0, 0));
}

} // namespace

TreeChange::TreeChange(const release::ReleaseTree *kept, const release::ReleaseTree &next)
{
    const QSet<QString> nextFolders = next.folders();
    if (kept) {
        for (const TreeEntry &entry : kept->entries()) {
            if (entry.kind == TreeEntry::Kind::Folder || isOwnName(entry.path))
                continue;
            // A file that becomes a link or the reverse is replaced; one
            // that becomes a folder goes first.
            const TreeEntry *now = next.find(entry.path);
            if (!now || now->kind == TreeEntry::Kind::Folder) {
                m_removedFiles.append(entry.path);
                m_removing.insert(entry.path);
            }
        }
        // A folder where a file or link now comes goes as well.
        for (const QString &folder : kept->folders()) {
            if (!nextFolders.contains(folder) && !isOwnName(folder))
                m_removedFolders.append(folder);
        }
        std::sort(m_removedFolders.begin(), m_removedFolders.end(), [](const QString &a, const QString &b) {
            const qsizetype depthA = a.count(QLatin1Char('/')), depthB = b.count(QLatin1Char('/'));
            return depthA != depthB ? depthA > depthB : a < b;
        });
    }
    for (const TreeEntry &entry : next.entries()) {
        if (entry.kind == TreeEntry::Kind::Link) {
            if (!release::ReleaseTree::targetStaysInside(entry.path, entry.target))
                throw platform::Error(platform::Error::Code::MalformedTree, entry.path,
                                      QStringLiteral("-> ") + entry.target);
            m_links.append({entry.path, entry.target});
        } else if (entry.kind == TreeEntry::Kind::File) {
            m_modes.append({entry.path, entry.mode});
        }
    }
    m_folders = QStringList(nextFolders.cbegin(), nextFolders.cend());
    m_folders.sort();
}

void TreeChange::addTo(platform::filesystem::Replacement &installation, const QString &root) const
{
    const auto inRoot = [&root](const QString &path) { return root + QLatin1Char('/') + path; };
    for (const QString &path : m_removedFiles)
        installation.remove(inRoot(path));
    for (const QString &path : m_removedFolders)
        installation.removeFolder(inRoot(path));
    for (const QString &path : m_folders)
        installation.addFolder(inRoot(path));
    for (const auto &[path, target] : m_links)
        installation.addLink(inRoot(path), target);
    for (const auto &[path, mode] : m_modes)
        installation.giveMode(inRoot(path), mode);
}

} // namespace update

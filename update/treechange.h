#pragma once

#include "release/releasetree.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <utility>

namespace platform::filesystem {
class Replacement;
}

namespace update {

// What installing a signed release's tree does besides replacing its
// files, decided from the trees alone: the files and links of the kept
// release that the new one no longer has, and its folders that the new one
// no longer has (only with a kept tree that counts: a file that no signed
// tree listed is never removed), the new release's links, the modes of its
// files and its folders. What stands on disk is judged by the installation
// when it acts, by descriptor: a link or mode already right, a folder that
// still holds a file of the user's, the running program's own file.
class TreeChange
{
public:
    // A link whose target leaves the tree, whatever else let it through,
    // raises MalformedTree naming it.
    TreeChange(const release::ReleaseTree *kept, const release::ReleaseTree &next);

    const QStringList &removedFiles() const { return m_removedFiles; }
    bool removesFile(const QString &path) const { return m_removing.contains(path); }
    // Deepest first.
    const QStringList &removedFolders() const { return m_removedFolders; }
    const QList<std::pair<QString, QString>> &links() const { return m_links; } // path, target
    const QList<std::pair<QString, unsigned>> &modes() const { return m_modes; } // path, mode
    const QStringList &folders() const { return m_folders; }

    // Adds all of it to the installation of the client folder `root`.
    void addTo(platform::filesystem::Replacement &installation, const QString &root) const;

private:
    QStringList m_removedFiles, m_removedFolders, m_folders;
    QSet<QString> m_removing;
    QList<std::pair<QString, QString>> m_links;
    QList<std::pair<QString, unsigned>> m_modes;
};

} // namespace update

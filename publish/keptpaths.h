#pragma once

#include "sitereleases.h"

#include <QByteArray>
#include <QList>
#include <QSet>

#include <optional>

namespace publish {

// What a prune must leave: every path a kept release lists, the older file
// of each patch it lists (so that check can rebuild the patch), the kept
// release folders, and whatever the fixed index and manifest name. A site on
// disk and one in a store are pruned by the same rules.
class KeptPaths
{
public:
    // Keeps the `keepReleases` newest of `releases` (newest first) and the one
    // whose index is `currentIndex`, with what the site's fixed `manifest`
    // and `currentIndex` name; `indexName` names the index in its errors.
    KeptPaths(const QByteArray &manifest, const std::optional<QByteArray> &currentIndex, const QString &indexName,
              const QList<SiteRelease> &releases, qsizetype keepReleases, const platform::CodePage &codePage);

    // Whether prune leaves the site path: anything outside the stored files,
    // smaller forms and release folders, and what a kept release needs.
    bool keeps(const QByteArray &path) const;
    qsizetype keptReleases() const { return m_kept; }

private:
    void listRelease(const SiteRelease &release);
    void listPath(const QByteArray &path);

    QSet<QByteArray> m_paths;
    QSet<QByteArray> m_folders;
    qsizetype m_kept = 0;
};

} // namespace publish

#include "keptpaths.h"

#include "release/releaseindex.h"
#include "release/sha256.h"
#include "release/sitelayout.h"

namespace publish {

namespace {

QByteArray folderOf(QLatin1StringView folder)
{
    return folder.latin1() + QByteArray("/");
}

} // namespace

KeptPaths::KeptPaths(const QByteArray &manifest, const std::optional<QByteArray> &currentIndex,
                     const QString &indexName, const QList<SiteRelease> &releases, qsizetype keepReleases, const platform::CodePage &codePage)
{
    for (const ManifestEntry &entry : manifestEntries(manifest, codePage))
        listPath(codePage.encode(entry.remotePath()));
    QByteArray currentDigest;
    if (currentIndex) {
        const release::ReleaseIndex parsed = release::ReleaseIndex::parse(*currentIndex, indexName);
        for (const release::ReleaseIndex::Entry &entry : parsed.entries())
            listPath(entry.path);
        currentDigest = release::Sha256::hexOf(*currentIndex);
    }
    for (qsizetype i = 0; i < releases.size(); ++i) {
        if (i < keepReleases || releases[i].indexDigest == currentDigest) {
            listRelease(releases[i]);
            ++m_kept;
        }
    }
}

void KeptPaths::listRelease(const SiteRelease &release)
{
    m_folders.insert(release.indexDigest);
    for (const QByteArray &path : release.listed)
        listPath(path);
}

void KeptPaths::listPath(const QByteArray &path)
{
    m_paths.insert(path);
    const QByteArray forms = folderOf(sitelayout::compressedFolder);
    if (path.startsWith(forms) && path.contains('-'))
        m_paths.insert(sitelayout::storedFile(path.sliced(forms.size()).split('-').constFirst()));
}

bool KeptPaths::keeps(const QByteArray &path) const
{
    const QByteArray releases = folderOf(sitelayout::releasesFolder);
    if (path.startsWith(releases))
        return m_folders.contains(path.sliced(releases.size()).split('/').constFirst());
    if (!path.startsWith("KVTA/ZE/files/") && !path.startsWith(folderOf(sitelayout::compressedFolder)))
        return true;
    return m_paths.contains(path);
}

} // namespace publish

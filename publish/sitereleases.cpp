#include "sitereleases.h"

#include "platform/core/error.h"
#include "platform/text/numbers.h"
#include "release/releaseindex.h"
#include "release/sha256.h"
#include "release/sitelayout.h"

#include <QDir>
#include <QFile>

#include <optional>

using platform::Error;

namespace publish {

namespace {

std::optional<QByteArray> readSmall(const QString &path, qint64 limit)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray bytes = file.read(limit + 1);
    if (bytes.size() > limit)
        return std::nullopt;
    return bytes;
}

std::optional<SiteRelease> readRelease(const QString &root, const QByteArray &indexDigest,
                                       const platform::CodePage &codePage)
{
    const auto piece = [&](QLatin1StringView fixedPath, qint64 limit) {
        return readSmall(root + QLatin1Char('/') + QString::fromLatin1(sitelayout::releaseCopy(indexDigest, fixedPath)),
                         limit);
    };
    const auto index = piece(sitelayout::indexPath, sitelayout::largestIndex);
    const auto manifest = piece(sitelayout::manifestPath, sitelayout::largestManifest);
    const auto stamp = piece(sitelayout::stampPath, sitelayout::largestStamp);
    if (!index || !manifest || !stamp)
        return std::nullopt;
    return siteRelease(indexDigest, *index, *manifest, *stamp, codePage);
}

} // namespace

std::optional<SiteRelease> siteRelease(const QByteArray &indexDigest, const QByteArray &index,
                                       const QByteArray &manifest, const QByteArray &stamp,
                                       const platform::CodePage &codePage)
{
    if (release::Sha256::hexOf(index) != indexDigest)
        return std::nullopt;

    SiteRelease found;
    found.indexDigest = indexDigest;
    found.number = platform::numbers::valueOf(codePage.decode(stamp));
    try {
        const release::ReleaseIndex parsed = release::ReleaseIndex::parse(index, QString::fromLatin1(indexDigest));
        for (const release::ReleaseIndex::Entry &entry : parsed.entries())
            found.listed.append(entry.path);
        for (const ManifestEntry &entry : manifestEntries(manifest, codePage)) {
            if (const auto digest = parsed.digestOf(codePage.encode(entry.remotePath())))
                found.digests.insert(entry.localName(), *digest);
        }
    } catch (const Error &) {
        return std::nullopt; // not a release this publisher wrote
    }
    return found;
}

void sortNewestFirst(QList<SiteRelease> &releases)
{
    std::sort(releases.begin(), releases.end(), [](const SiteRelease &a, const SiteRelease &b) {
        return a.number != b.number ? a.number > b.number : a.indexDigest < b.indexDigest;
    });
}

QList<ManifestEntry> manifestEntries(const QByteArray &manifest, const platform::CodePage &codePage)
{
    QList<ManifestEntry> entries;
    for (const QByteArray &line : manifest.split('\n')) {
        try {
            entries.append(splitManifestLine(codePage.decode(line.endsWith('\r') ? line.chopped(1) : line)));
        } catch (const Error &) {
            // Not a line the updater reads: it names no file.
        }
    }
    return entries;
}

QList<SiteRelease> siteReleases(const QString &root, const platform::CodePage &codePage)
{
    QList<SiteRelease> releases;
    const QDir folder(root + QLatin1Char('/') + sitelayout::releasesFolder);
    for (const QString &name : folder.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks)) {
        const QByteArray digest = name.toLatin1();
        if (!release::isSha256Hex(digest))
            continue;
        if (auto found = readRelease(root, digest, codePage))
            releases.append(std::move(*found));
    }
    sortNewestFirst(releases);
    return releases;
}

} // namespace publish

#pragma once

#include "platform/text/codepage.h"
#include "release/manifestline.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include <optional>

namespace publish {

// A signed release as the site keeps it for good, in its folder
// "KVTA/ZE/releases/<index digest>/".
struct SiteRelease
{
    QByteArray indexDigest;
    double number = 0;                  // the value of its stamp
    QHash<QString, QByteArray> digests; // each local name's file digest
    QList<QByteArray> listed;           // every path its index lists
};

// The lines of a manifest that the updater reads, split as it splits them.
QList<ManifestEntry> manifestEntries(const QByteArray &manifest, const platform::CodePage &codePage);

// The release whose index has the digest `indexDigest`, from its folder's
// three files; none when they are not a whole release (an index of another
// digest, one this publisher did not write).
std::optional<SiteRelease> siteRelease(const QByteArray &indexDigest, const QByteArray &index,
                                       const QByteArray &manifest, const QByteArray &stamp,
                                       const platform::CodePage &codePage);

// Newest stamp first; the same stamp: by index digest.
void sortNewestFirst(QList<SiteRelease> &releases);

// The releases kept in the site at `root`, the newest stamp first (the same
// stamp: by index digest). A folder that is not a whole release (a name that
// is no digest, a piece missing, an index whose digest is not its name) is
// no release and is left out.
QList<SiteRelease> siteReleases(const QString &root, const platform::CodePage &codePage);

} // namespace publish

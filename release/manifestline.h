#pragma once

#include <QString>

// One line of the update manifest: four characters of lead, the remote path,
// one separator, the word "name", one separator, the local file name.
struct ManifestEntry
{
    QString sRemotePath;
    QString sFileName;

    // The same two parts by the publisher's names.
    const QString &remotePath() const { return sRemotePath; }
    const QString &localName() const { return sFileName; }
};

// Splits a manifest line at its first "name". A line that is not well-formed,
// or whose local name the installation cannot take (localname::normalised()),
// raises the invalid-argument error. The local name is kept as normalised.
ManifestEntry splitManifestLine(const QString &sManifestLine);

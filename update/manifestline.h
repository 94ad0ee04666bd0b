#pragma once

#include <QString>

// One line of the update manifest: four characters of lead, the remote path,
// one separator, the word "name", one separator, the local file name.
struct ManifestEntry
{
    QString sRemotePath;
    QString sFileName;
};

// Splits a manifest line at its first "name". A line that is not well-formed,
// or whose local name is absolute or climbs out of the working folder with
// "..", raises the invalid-argument error.
ManifestEntry splitManifestLine(const QString &sManifestLine);

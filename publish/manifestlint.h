#pragma once

#include "platform/text/codepage.h"

#include <QByteArray>
#include <QStringList>

namespace publish {

// A manifest as the updater would read it, judged line by line.
struct ManifestLint
{
    QStringList problems;    // one line each: "where: rule"
    QStringList remotePaths; // of the lines the updater reads as meant, in order
};

// Reads `manifest` exactly as the updater does, in `codePage`, and names
// what it would refuse or read otherwise than meant.
ManifestLint lintManifest(const QByteArray &manifest, const platform::CodePage &codePage);

} // namespace publish

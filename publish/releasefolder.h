#pragma once

#include "releaseplan.h"
#include "release/releasetree.h"

#include <QByteArray>
#include <QList>
#include <QString>

// What the release plan reads from disk: the release folder's files, their
// digests, and what stands in the site where the release will write.
namespace publish {

class Progress;

// What a release folder holds, as a release publishes it.
struct ScannedRelease
{
    QList<ReleaseFile> files; // in name order
    release::ReleaseTree tree; // a signed release's: every folder, file with its mode, and link
};

// What of a release folder is published: its regular files only (an
// unsigned release, whose clients read no tree), or its whole tree.
enum class TreeScope { Files, Whole };

// The regular files in `folder` and its subfolders, named by their paths
// below it ('/' between the parts), each checked against what the updater
// can install, and with TreeScope::Whole the release's tree. A FIFO or a
// device is refused; so are a link and an empty folder, except in a whole
// tree, which keeps a link whose target stays inside the folder and an empty
// folder, but refuses a link to anything else and a setuid, setgid or sticky
// bit. Raises platform::Error naming the file and the rule (in English) at
// the first refusal; nothing is read beyond names, modes, sizes and link targets.
ScannedRelease scanReleaseFolder(const QString &folder, const platform::CodePage &codePage, TreeScope scope);

// Fills in each file's digest, with progress.
void hashReleaseFiles(QList<ReleaseFile> &files, Progress &progress);

// Refuses what the publisher would write through: a symbolic link, or
// anything but a folder, on the way from the site `root` to `relativePath`,
// and anything but a regular file at it. A site is written only into its own
// folders and files, never where a link planted in it points.
void checkSitePath(const QString &root, const QByteArray &relativePath);

} // namespace publish

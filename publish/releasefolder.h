#pragma once

#include "releaseplan.h"

#include <QByteArray>
#include <QList>
#include <QString>

// What the release plan reads from disk: the release folder's files, their
// digests, and what stands in the site where the release will write.
namespace publish {

class Progress;

// The regular files in `folder` and its subfolders, named by their paths
// below it ('/' between the parts), in name order, each checked against
// what the updater can install; a link, a FIFO, a device or an empty folder
// is refused. Raises platform::Error naming the file and the rule (in
// English) at the first refusal; nothing is read beyond names and sizes.
QList<ReleaseFile> scanReleaseFolder(const QString &folder, const platform::CodePage &codePage);

// Fills in each file's digest, with progress.
void hashReleaseFiles(QList<ReleaseFile> &files, Progress &progress);

// Refuses what the publisher would write through: a symbolic link, or
// anything but a folder, on the way from the site `root` to `relativePath`,
// and anything but a regular file at it. A site is written only into its own
// folders and files, never where a link planted in it points.
void checkSitePath(const QString &root, const QByteArray &relativePath);

} // namespace publish

#pragma once

#include "platform/text/codepage.h"
#include "release/sitelayout.h"

#include <QByteArray>
#include <QList>
#include <QString>

class Progress;

// The updater's own file that a local name would overwrite (compared without
// regard to case); empty when there is none.
QString collidingUpdaterFile(const QString &name);

// One file of the release folder.
struct ReleaseFile
{
    QString name;            // local name, as in the folder
    QString sourcePath;      // where it is read from
    QByteArray encodedName;  // the name in the deployment code page
    qint64 size = 0;
    QByteArray digest;       // SHA-256, 64 lowercase hex digits
    QByteArray remotePath() const { return sitelayout::storedFile(digest); }
};

// The regular files directly in `folder`, in name order, each checked
// against what the updater can install; a link, a subfolder, a FIFO or a
// device is refused. Raises platform::Error naming the file and the rule (in
// English) at the first refusal; nothing is read beyond names and sizes.
QList<ReleaseFile> scanReleaseFolder(const QString &folder, const platform::CodePage &codePage);

// Refuses what the publisher would write through: a symbolic link, or
// anything but a folder, on the way from the site `root` to `relativePath`,
// and anything but a regular file at it. A site is written only into its own
// folders and files, never where a link planted in it points.
void checkSitePath(const QString &root, const QByteArray &relativePath);

// Refuses a release that every client would refuse for the size of its
// manifest, stamp or index (empty when unsigned).
void checkClientLimits(const QByteArray &manifest, const QByteArray &stamp, const QByteArray &index);

// Fills in each file's digest, with progress.
void hashReleaseFiles(QList<ReleaseFile> &files, Progress &progress);

// The manifest: one line per file in name order, four characters of lead, the
// remote path, a blank, "name", a blank, the local name, CRLF after every
// line, in the code page. Every line is split back with the updater's own
// code and must give what was meant.
QByteArray manifestText(const QList<ReleaseFile> &files, const platform::CodePage &codePage);

// Refuses a version that is not a plain decimal number ("2", "2.5") by the
// updater's text-to-number rule, is 0, or has the value of `currentStamp`
// (the stamp it replaces; empty when there is none).
void checkVersion(const QString &version, const QByteArray &currentStamp, const platform::CodePage &codePage);

// The stamp: the version text and CRLF.
QByteArray stampText(const QString &version, const platform::CodePage &codePage);

#pragma once

#include "platform/text/codepage.h"
#include "release/sitelayout.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <sys/types.h>

// The rules a release's files must meet before anything is written: given
// names, kinds and digests, they read no disk.
namespace publish {

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

// Why a folder entry of this kind (its lstat mode) is not published; empty
// for a regular file.
QString kindRefusal(mode_t mode);

// Why a file of this name is not published (in `codePage`, the deployment's);
// empty when it is.
QString nameRefusal(const QString &name, const platform::CodePage &codePage);

// The manifest: one line per file in name order, four characters of lead, the
// remote path, a blank, "name", a blank, the local name, CRLF after every
// line, in the code page. Every line is split back with the updater's own
// code and must give what was meant.
QByteArray manifestText(const QList<ReleaseFile> &files, const platform::CodePage &codePage);

} // namespace publish

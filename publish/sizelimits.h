#pragma once

#include <QByteArray>
#include <QString>

// The sizes every client refuses, checked before a release is written.
namespace publish {

// Why a client refuses a file of 2 GiB or more.
QString fileTooLargeRule();

// Refuses a file at `path` of `size` bytes that no client can install.
void checkFileSize(const QString &path, qint64 size);

// Refuses a release that every client would refuse for the size of its
// manifest, stamp, index or tree (the last two empty when unsigned).
void checkClientLimits(const QByteArray &manifest, const QByteArray &stamp, const QByteArray &index,
                       const QByteArray &tree = {});

} // namespace publish

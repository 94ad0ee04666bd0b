#pragma once

#include "platform/files/durablewrite.h"

#include <QByteArray>
#include <QList>
#include <QLockFile>
#include <QString>

#include <memory>

namespace publish {

class Progress;

// Writes one release into a site root so that a client never sees a file
// half-written: each file is written beside its target, flushed to disk and
// renamed over it. Until commit() has renamed the last file, the destructor
// undoes everything: staged files and newly stored files are removed and the
// files that were replaced come back. One publication at a time: a lock file
// in the root keeps a second one out.
class SiteWriter
{
public:
    explicit SiteWriter(const QString &root);
    ~SiteWriter();
    SiteWriter(const SiteWriter &) = delete;
    SiteWriter &operator=(const SiteWriter &) = delete;

    // Stores a copy of `source` at `relativePath` unless a file with the
    // digest is there already; the copy is hashed again on the way and must
    // have `digest` (so a file changed after hashing is caught). Returns
    // whether it was stored anew.
    bool storeFile(const QString &source, const QByteArray &relativePath, const QByteArray &digest,
                   Progress &progress);

    // Stores `bytes` at `relativePath` at once, as storeFile() does: a file
    // that is not there yet goes again in a roll-back.
    void storeBytes(const QByteArray &relativePath, const QByteArray &bytes);

    // Removes the file at `relativePath` for good, and its folder when that
    // is left empty. Returns whether there was a file.
    bool removeFile(const QByteArray &relativePath);

    // Writes `bytes` at `relativePath` once, for good: clients may hold the
    // file, so it never changes. An identical copy there already is kept; a
    // different one is an error. Returns whether it was written anew.
    bool storeOnce(const QByteArray &relativePath, const QByteArray &bytes);

    // Writes `bytes` beside `relativePath`; commit() renames it in place.
    void stage(const QByteArray &relativePath, const QByteArray &bytes);

    // Renames the staged files over their targets, in the order staged.
    void commit();

private:
    QString absolute(const QByteArray &relativePath);
    void removeLeftovers();
    void rollBack() noexcept;

    QString m_root;
    std::unique_ptr<QLockFile> m_lock;
    QList<QString> m_storedFiles;
    QList<QString> m_createdFolders;
    platform::AllOrNothing m_staged;
    bool m_committed = false;
};

} // namespace publish

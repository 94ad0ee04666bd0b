#pragma once

#include "release/keyring.h"
#include "release/releaseindex.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace update {

// A release that the publisher signed: the index of every file's digest,
// verified with the publisher's key. It answers questions from bytes alone;
// every refusal raises the error that names the file.
class SignedRelease
{
public:
    // Verifies the signature of the index with the accepted key it names:
    // key id, signature, trusted comment, and a timestamp in it no more than
    // a day ahead of `now` (Unix seconds).
    SignedRelease(const release::KeyRing &keys, QByteArray indexText, QByteArray signatureText, qint64 now);

    qint64 timestamp() const { return m_timestamp; }
    // Until when the publisher vouches for the release, if it said.
    std::optional<qint64> expiry() const { return m_expiry; }
    // Whether that time had come when it was verified.
    bool isExpired() const { return m_expired; }
    const release::ReleaseIndex &index() const { return m_index; }
    const QByteArray &indexText() const { return m_indexText; }
    const QByteArray &signatureText() const { return m_signatureText; }

    // The listed digest of the remote path; NotInIndex unless it is listed.
    QByteArray requireListed(const QString &remotePath) const;
    // DigestMismatch unless `sha256` is the listed digest of the remote path.
    void checkDigest(const QString &remotePath, const QByteArray &sha256) const;
    // Whether the remote path is the stored file named by its listed digest:
    // no cache can hold other bytes under that name.
    bool isContentAddressed(const QString &remotePath) const;
    // Whether `sha256` is the listed digest of the remote path.
    bool provesDigest(const QString &remotePath, const std::optional<QByteArray> &sha256) const;

private:
    QByteArray m_indexText;
    QByteArray m_signatureText;
    release::ReleaseIndex m_index;
    qint64 m_timestamp = 0;
    std::optional<qint64> m_expiry;
    bool m_expired = false;
};

} // namespace update

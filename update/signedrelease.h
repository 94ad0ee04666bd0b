#pragma once

#include "apppaths.h"
#include "releasegeneration.h"
#include "smallfetch.h"

#include "platform/files/filedescriptor.h"
#include "platform/net/httpclient.h"
#include "release/keyring.h"
#include "release/releaseindex.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace platform::filesystem {
class Replacement;
}

namespace update {

// A release that the publisher signed: the index of every file's digest,
// verified with the publisher's key. The run only asks it questions; every
// refusal raises the error that names the file.
class SignedRelease
{
public:
    // Verifies the signature of the index with the accepted key it names:
    // key id, signature, trusted comment, and a timestamp in it no more than
    // a day ahead of the clock.
    SignedRelease(const release::KeyRing &keys, QByteArray indexText, QByteArray signatureText);

    // Takes the signature already requested from the server (into memory),
    // then fetches the index and the stamp of the generation it names
    // together, and verifies them; a release
    // signed before `installed`, the one kept in the application folder, raises
    // OlderRelease, one whose expiry has passed ExpiredRelease. At the fixed
    // paths of a site signed by hand, a stamp that the index lists with
    // another digest is of another generation: BeingPublished. The manifest's
    // request leaves with the index's where the generation allows
    // (ReleaseGeneration::sendEarly), into `manifest`.
    static SignedRelease fetch(SmallFetch &signature, platform::HttpClient &client, const QString &baseUrl,
                               const release::KeyRing &keys, const std::optional<SignedRelease> &installed,
                               std::optional<platform::PendingUrl> &manifest);
    // The request for the signature, made early so that its round trip
    // passes beside the stamp's.
    static SmallFetch requestSignature(platform::HttpClient &client, const QString &baseUrl);
    // The release that the last signed installation kept, if there is one
    // that an accepted key verifies (expired or not).
    static std::optional<SignedRelease> kept(const AppPaths &paths, const release::KeyRing &keys);

    qint64 timestamp() const { return m_timestamp; }
    // Until when the publisher vouches for the release, if it said.
    std::optional<qint64> expiry() const { return m_expiry; }
    const release::ReleaseIndex &index() const { return m_index; }
    const ReleaseGeneration &generation() const { return m_generation; }
    // The release's stamp, as the index lists it.
    const QByteArray &stamp() const { return m_stamp; }

    // The listed digest of the remote path; NotInIndex unless it is listed.
    QByteArray requireListed(const QString &remotePath) const;
    // DigestMismatch unless `sha256` is the listed digest of the remote path.
    void checkDigest(const QString &remotePath, const QByteArray &sha256) const;
    // Whether the remote path is the stored file named by its listed digest:
    // no cache can hold other bytes under that name.
    bool isContentAddressed(const QString &remotePath) const;
    // Whether `sha256` is the listed digest of the remote path.
    bool provesDigest(const QString &remotePath, const std::optional<QByteArray> &sha256) const;
    // Whether the open file (at `localPath`, read from its start) has the
    // listed digest; a closed descriptor proves nothing.
    bool provesFile(const QString &remotePath, const platform::FileDescriptor &file, const QString &localPath) const;

    // Writes the index and the signature into the working folder and adds
    // them to the installation, which keeps them in the application folder:
    // the reference against which a later release may not be older.
    void keep(const AppPaths &paths, platform::filesystem::Replacement &installation) const;

private:
    QByteArray m_indexText;
    QByteArray m_signatureText;
    release::ReleaseIndex m_index;
    qint64 m_timestamp = 0;
    std::optional<qint64> m_expiry;
    bool m_expired = false; // when it was verified
    ReleaseGeneration m_generation;
    QByteArray m_stamp;
};

} // namespace update

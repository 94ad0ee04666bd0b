#include "signedrelease.h"

#include "filedigest.h"
#include "smallfetch.h"

#include "platform/files/bytestream.h"
#include "platform/text/codepage.h"
#include "platform/core/error.h"
#include "platform/files/replacement.h"
#include "platform/files/textinput.h"
#include "release/minisignature.h"
#include "release/sha256.h"
#include "release/sitelayout.h"

#include <QDateTime>

namespace update {

using platform::Error;

using sitelayout::indexPath;
using sitelayout::signaturePath;

namespace {

QByteArray pathBytes(const QString &remotePath)
{
    return platform::CodePage::deployment().encode(remotePath);
}

} // namespace

SignedRelease::SignedRelease(const release::KeyRing &keys, QByteArray indexText, QByteArray signatureText)
    : m_indexText(std::move(indexText)), m_signatureText(std::move(signatureText))
{
    const release::Signature signature = release::Signature::parse(m_signatureText, signaturePath);
    keys.verify(m_indexText, signature, signaturePath);
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    m_timestamp = signature.acceptedTimestamp(now, signaturePath);
    m_expiry = signature.expiry(signaturePath);
    m_expired = signature.expiredAt(now, signaturePath);
    m_index = release::ReleaseIndex::parse(m_indexText, indexPath);
}

SmallFetch SignedRelease::requestSignature(platform::HttpClient &client, const QString &baseUrl)
{
    // Nothing is fetched beyond the size its parser takes.
    return SmallFetch(client, baseUrl + signaturePath, sitelayout::largestSignature);
}

SignedRelease SignedRelease::fetch(SmallFetch &signatureFetch, platform::HttpClient &client, const QString &baseUrl,
                                   const release::KeyRing &keys, const std::optional<SignedRelease> &installed,
                                   std::optional<platform::PendingUrl> &manifest)
{
    QByteArray signatureText = signatureFetch.take();
    // The release folder that the trusted comment names is the publisher's
    // word once the comment verifies; the index there is checked in full.
    const release::Signature signature = release::Signature::parse(signatureText, signaturePath);
    keys.verifyComment(signature, signaturePath);
    const ReleaseGeneration generation = ReleaseGeneration::of(signature);
    // The stamp travels beside the index; it is looked at only once the
    // index has verified.
    SmallFetch indexFetch = generation.start(client, baseUrl, indexPath, sitelayout::largestIndex);
    SmallFetch stampFetch = generation.start(client, baseUrl, sitelayout::stampPath, sitelayout::largestStamp);
    manifest = generation.sendEarly(client, baseUrl, sitelayout::manifestPath);
    QByteArray indexText = generation.take(indexFetch, indexPath);
    generation.checkIndex(indexText);
    SignedRelease release(keys, std::move(indexText), std::move(signatureText));
    release.m_generation = generation;
    // A replay of an older release would put back files the publisher has
    // replaced; the same release again is harmless.
    if (installed && release.timestamp() < installed->timestamp())
        throw Error(Error::Code::OlderRelease, signaturePath);
    // One that the publisher no longer vouches for may be a replay that
    // keeps a newer release from the client.
    if (release.m_expired)
        throw Error(Error::Code::ExpiredRelease, signaturePath);
    release.m_stamp = generation.take(stampFetch, sitelayout::stampPath);
    const QByteArray stampDigest = release::Sha256::hexOf(release.m_stamp);
    if (!generation.isNamed() && release.m_index.requireDigestOf(sitelayout::stampPath.latin1()) != stampDigest)
        throw Error(Error::Code::BeingPublished, sitelayout::stampPath);
    release.checkDigest(sitelayout::stampPath, stampDigest);
    return release;
}

std::optional<SignedRelease> SignedRelease::kept(const AppPaths &paths, const release::KeyRing &keys)
{
    // Nothing kept is a first signed installation. A kept pair that no
    // accepted key verifies can only come from a key the deployment dropped
    // or from someone who can write the folder anyway: it is no reference.
    // Nor is one signed more than a day ahead, which would hold back every
    // later release.
    try {
        return SignedRelease(keys, platform::readFileBytes(paths.file(sitelayout::keptIndex), sitelayout::largestIndex),
                             platform::readFileBytes(paths.file(sitelayout::keptSignature),
                                                     sitelayout::largestSignature));
    } catch (const Error &) {
        return std::nullopt;
    }
}

QByteArray SignedRelease::requireListed(const QString &remotePath) const
{
    return m_index.requireDigestOf(pathBytes(remotePath));
}

void SignedRelease::checkDigest(const QString &remotePath, const QByteArray &sha256) const
{
    m_index.checkDigest(pathBytes(remotePath), sha256);
}

bool SignedRelease::isContentAddressed(const QString &remotePath) const
{
    const QByteArray path = pathBytes(remotePath);
    const auto listed = m_index.digestOf(path);
    return listed && sitelayout::storedFile(*listed) == path;
}

bool SignedRelease::provesDigest(const QString &remotePath, const std::optional<QByteArray> &sha256) const
{
    const auto listed = m_index.digestOf(pathBytes(remotePath));
    return listed && sha256 == listed;
}

bool SignedRelease::provesFile(const QString &remotePath, const platform::FileDescriptor &file,
                               const QString &localPath) const
{
    const auto listed = m_index.digestOf(pathBytes(remotePath));
    return listed && file.isOpen() && sha256OfOpenFile(file.get(), localPath) == listed;
}

void SignedRelease::keep(const AppPaths &paths, platform::filesystem::Replacement &installation) const
{
    const std::pair<QLatin1StringView, const QByteArray *> files[] = {{sitelayout::keptIndex, &m_indexText},
                                                                       {sitelayout::keptSignature, &m_signatureText}};
    for (const auto &[name, text] : files) {
        const QString staged = paths.workingFile(name);
        platform::ByteStream file(staged);
        file.write(text->constData(), std::size_t(text->size()));
        file.close();
        installation.add(staged, paths.file(name));
    }
}

} // namespace update

#include "signedrelease.h"

#include "platform/text/codepage.h"
#include "release/minisignature.h"
#include "release/sitelayout.h"

namespace update {

using sitelayout::indexPath;
using sitelayout::signaturePath;

namespace {

QByteArray pathBytes(const QString &remotePath)
{
    return platform::CodePage::deployment().encode(remotePath);
}

} // namespace

SignedRelease::SignedRelease(const release::KeyRing &keys, QByteArray indexText, QByteArray signatureText, qint64 now)
    : m_indexText(std::move(indexText)), m_signatureText(std::move(signatureText))
{
    const release::Signature signature = release::Signature::parse(m_signatureText, signaturePath);
    keys.verify(m_indexText, signature, signaturePath);
    m_timestamp = signature.acceptedTimestamp(now, signaturePath);
    m_expiry = signature.expiry(signaturePath);
    m_expired = signature.expiredAt(now, signaturePath);
    m_index = release::ReleaseIndex::parse(m_indexText, indexPath);
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

} // namespace update

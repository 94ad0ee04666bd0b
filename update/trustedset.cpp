#include "trustedset.h"

#include "platform/core/error.h"
#include "release/minisignature.h"
#include "release/sha256.h"
#include "release/sitelayout.h"

namespace update {

using platform::Error;
using sitelayout::signaturePath;
using sitelayout::stampPath;

TrustedSet::TrustedSet(release::KeyRing keys, Clock clock) : m_keys(std::move(keys)), m_clock(std::move(clock)) {}

void TrustedSet::inOrder(bool taken, QLatin1StringView given)
{
    if (!taken)
        throw Error(Error::Code::InvalidArgument, given, QStringLiteral("次序错误"));
}

bool TrustedSet::loadKept(const QByteArray &indexText, const QByteArray &signatureText)
{
    inOrder(m_step == Step::Start, sitelayout::keptSignature);
    try {
        m_kept.emplace(m_keys, indexText, signatureText, m_clock());
    } catch (const Error &) {
        return false;
    }
    return true;
}

bool TrustedSet::loadKeptTree(const QByteArray &text)
{
    inOrder(m_step == Step::Start, sitelayout::keptTree);
    try {
        if (m_kept && m_kept->provesDigest(sitelayout::treePath, release::Sha256::hexOf(text)))
            m_keptTree = release::ReleaseTree::parse(text, sitelayout::keptTree);
    } catch (const Error &) {
    }
    return m_keptTree.has_value();
}

bool TrustedSet::keptListsTree() const
{
    return m_kept && m_kept->index().digestOf(sitelayout::treePath.latin1()).has_value();
}

bool TrustedSet::keptExpires() const
{
    return m_kept && m_kept->expiry();
}

void TrustedSet::confirmFresh(const QByteArray &signatureText) const
{
    inOrder(m_step == Step::Start, signaturePath);
    const QString source = signaturePath;
    const release::Signature current = release::Signature::parse(signatureText, source);
    m_keys.verifyComment(current, source);
    const qint64 now = m_clock();
    const qint64 signedAt = current.acceptedTimestamp(now, source);
    // A signature older than the kept one, or one of its time that drops
    // its expiry, is a replay that would hold the client at the kept
    // release for ever: only a newer word of the publisher ends an expiry.
    const bool replayed = m_kept
        && (signedAt < m_kept->timestamp() || (signedAt == m_kept->timestamp() && !current.expiry(source)));
    if (replayed || current.expiredAt(now, source))
        throw Error(Error::Code::StaleRelease, source);
}

const ReleaseGeneration &TrustedSet::updateSignature(QByteArray signatureText)
{
    inOrder(m_step == Step::Start, signaturePath);
    const release::Signature signature = release::Signature::parse(signatureText, signaturePath);
    m_keys.verifyComment(signature, signaturePath);
    m_generation = ReleaseGeneration::of(signature);
    m_signatureText = std::move(signatureText);
    m_step = Step::Signature;
    return m_generation;
}

void TrustedSet::updateIndex(QByteArray indexText)
{
    inOrder(m_step == Step::Signature, sitelayout::indexPath);
    m_generation.checkIndex(indexText);
    SignedRelease release(m_keys, std::move(indexText), m_signatureText, m_clock());
    // Of the kept release's time, only the kept release itself is not older:
    // another one signed then cannot be told from a replay.
    if (m_kept
        && (release.timestamp() < m_kept->timestamp()
            || (release.timestamp() == m_kept->timestamp() && release.indexText() != m_kept->indexText())))
        throw Error(Error::Code::OlderRelease, signaturePath);
    // One that the publisher no longer vouches for may be a replay that
    // keeps a newer release from the client.
    if (release.isExpired())
        throw Error(Error::Code::ExpiredRelease, signaturePath);
    m_release.emplace(std::move(release));
    m_step = Step::Index;
}

void TrustedSet::updateStamp(QByteArray stamp)
{
    inOrder(m_step == Step::Index, stampPath);
    const QByteArray digest = release::Sha256::hexOf(stamp);
    if (!m_generation.isNamed() && m_release->index().requireDigestOf(stampPath.latin1()) != digest)
        throw Error(Error::Code::BeingPublished, stampPath);
    m_release->checkDigest(stampPath, digest);
    m_stamp = std::move(stamp);
    m_step = Step::Stamp;
}

void TrustedSet::updateManifest(const QByteArray &sha256)
{
    inOrder(m_step == Step::Stamp, sitelayout::manifestPath);
    m_release->checkDigest(sitelayout::manifestPath, sha256);
    m_step = Step::Manifest;
}

bool TrustedSet::listsTree() const
{
    inOrder(m_step >= Step::Index, sitelayout::indexPath);
    return m_release->index().digestOf(sitelayout::treePath.latin1()).has_value();
}

void TrustedSet::updateTree(const QByteArray &text)
{
    inOrder(m_step >= Step::Index, sitelayout::treePath);
    m_release->checkDigest(sitelayout::treePath, release::Sha256::hexOf(text));
    m_tree = release::ReleaseTree::parse(text, sitelayout::treePath);
    m_treeText = text;
}

void TrustedSet::checkTreeMatches(const QStringList &localNames) const
{
    if (m_tree)
        m_tree->checkMatchesManifest(localNames);
}

const ReleaseGeneration &TrustedSet::generation() const
{
    inOrder(m_step >= Step::Signature, signaturePath);
    return m_generation;
}

const QByteArray &TrustedSet::stamp() const
{
    inOrder(m_step >= Step::Stamp, stampPath);
    return m_stamp;
}

const SignedRelease &TrustedSet::release() const
{
    inOrder(m_step == Step::Manifest, sitelayout::manifestPath);
    return *m_release;
}

} // namespace update

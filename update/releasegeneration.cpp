#include "releasegeneration.h"

#include "platform/core/error.h"
#include "release/minisignature.h"
#include "release/releaseindex.h"
#include "release/sha256.h"
#include "release/sitelayout.h"

namespace update {

using platform::Error;

ReleaseGeneration ReleaseGeneration::of(const release::Signature &signature)
{
    ReleaseGeneration generation;
    if (const auto digest = signature.commentField("index")) {
        if (!release::isSha256Hex(*digest))
            throw Error(Error::Code::MalformedSignature, sitelayout::signaturePath, QStringLiteral("index:"));
        generation.m_indexDigest = *digest;
    }
    return generation;
}

QString ReleaseGeneration::sourceOf(QLatin1StringView fixedPath) const
{
    return isNamed() ? QString::fromLatin1(sitelayout::releaseCopy(m_indexDigest, fixedPath)) : QString(fixedPath);
}

void ReleaseGeneration::checkIndex(const QByteArray &indexText) const
{
    if (!isNamed())
        return;
    if (release::Sha256::hexOf(indexText) != m_indexDigest)
        throw Error(Error::Code::DigestMismatch, sourceOf(sitelayout::indexPath));
}

void ReleaseGeneration::requireFound(QLatin1StringView fixedPath, int httpStatus) const
{
    if (isNamed() && httpStatus == 404)
        throw Error(Error::Code::BeingPublished, sourceOf(fixedPath));
}

} // namespace update

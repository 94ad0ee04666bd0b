#include "freshness.h"

#include "signedrelease.h"
#include "smallfetch.h"

#include "platform/core/error.h"
#include "release/minisignature.h"
#include "release/sitelayout.h"

#include <QDateTime>

void confirmFreshness(platform::HttpClient &client, const QString &baseUrl, const release::KeyRing &keys,
                      const AppPaths &paths)
{
    const auto installed = SignedRelease::kept(paths, keys);
    if (!installed || !installed->expiry())
        return;
    const QString source = sitelayout::signaturePath;
    const release::Signature current = release::Signature::parse(
        fetchSmallFile(client, baseUrl + sitelayout::signaturePath, sitelayout::largestSignature), source);
    keys.verifyComment(current, source);
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    current.acceptedTimestamp(now, source);
    if (current.expiredAt(now, source))
        throw platform::Error(platform::Error::Code::StaleRelease, source);
}

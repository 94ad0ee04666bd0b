#include "freshness.h"

#include "smallfetch.h"

#include "platform/core/error.h"
#include "release/minisignature.h"
#include "release/sitelayout.h"

#include <QDateTime>

namespace update {

void confirmFreshness(SmallFetch &signature, const release::KeyRing &keys)
{
    const QString source = sitelayout::signaturePath;
    const release::Signature current = release::Signature::parse(signature.take(), source);
    keys.verifyComment(current, source);
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    current.acceptedTimestamp(now, source);
    if (current.expiredAt(now, source))
        throw platform::Error(platform::Error::Code::StaleRelease, source);
}

} // namespace update

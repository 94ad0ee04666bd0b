#include "sizelimits.h"

#include "platform/core/error.h"
#include "release/sitelayout.h"

using platform::Error;

namespace publish {

QString fileTooLargeRule()
{
    return QStringLiteral("2 GiB or larger; the updater counts sizes in signed 32 bits");
}

void checkFileSize(const QString &path, qint64 size)
{
    if (size >= sitelayout::fileSizeLimit)
        throw Error(Error::Code::InvalidArgument, path, fileTooLargeRule());
}

void checkClientLimits(const QByteArray &manifest, const QByteArray &stamp, const QByteArray &index,
                       const QByteArray &tree)
{
    const struct
    {
        QLatin1StringView path;
        qsizetype size;
        std::int64_t limit;
        const char *remedy;
    } pieces[] = {
        {sitelayout::manifestPath, manifest.size(), sitelayout::largestManifest, "fewer files or shorter names"},
        {sitelayout::stampPath, stamp.size(), sitelayout::largestStamp, "a shorter --version"},
        {sitelayout::indexPath, index.size(), sitelayout::largestIndex, "fewer files"},
        {sitelayout::treePath, tree.size(), sitelayout::largestTree, "fewer files and folders or shorter names"},
    };
    for (const auto &piece : pieces) {
        if (piece.size > piece.limit)
            throw Error(Error::Code::InvalidArgument, piece.path,
                        QStringLiteral("%1 bytes; every client refuses more than %2 bytes: publish %3")
                            .arg(piece.size)
                            .arg(piece.limit)
                            .arg(QLatin1String(piece.remedy)));
    }
}

} // namespace publish

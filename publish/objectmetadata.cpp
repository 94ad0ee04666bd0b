#include "objectmetadata.h"

#include "release/sitelayout.h"

namespace publish {

namespace {

// As the nginx configuration sends them.
constexpr char keptForever[] = "public, max-age=31536000, immutable";
constexpr char askAgain[] = "no-cache";
constexpr char binary[] = "application/octet-stream";
constexpr char text[] = "text/plain";

bool under(const QByteArray &path, QLatin1StringView folder)
{
    return path.startsWith(folder.latin1()) && path.size() > folder.size() && path.at(folder.size()) == '/';
}

} // namespace

ObjectMetadata objectMetadata(const QByteArray &sitePath)
{
    using Kind = ObjectMetadata::Kind;
    if (under(sitePath, QLatin1StringView("KVTA/ZE/files")))
        return {Kind::Immutable, binary, keptForever, 0};
    if (under(sitePath, sitelayout::compressedFolder))
        return {Kind::Immutable, "application/zstd", keptForever, 1};
    if (under(sitePath, sitelayout::releasesFolder))
        return {Kind::Immutable, text, keptForever, 2};
    // The signature, naming its release folder, is the entry point: the
    // index and the tree it lists go before it, the manifest and the stamp after.
    const QLatin1StringView fixed[] = {sitelayout::indexPath, sitelayout::treePath, sitelayout::signaturePath,
                                       sitelayout::manifestPath, sitelayout::stampPath};
    for (int i = 0; i < 5; ++i) {
        if (sitePath == fixed[i].latin1())
            return {Kind::Fixed, text, askAgain, 4 + i};
    }
    return {Kind::Plain, binary, askAgain, 3};
}

bool isPublishersOwn(const QByteArray &sitePath)
{
    for (const QByteArray &part : sitePath.split('/')) {
        if (part.startsWith('.'))
            return true;
    }
    return false;
}

} // namespace publish

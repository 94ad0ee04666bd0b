#include "manifestline.h"
#include "localname.h"

#include "platform/core/error.h"

namespace {

// The message names the line, cut to what a message box can show at once.
[[noreturn]] void refuse(const QString &line)
{
    constexpr qsizetype shown = 200;
    throw platform::Error(platform::Error::Code::InvalidArgument,
                          line.size() > shown ? line.left(shown) + QStringLiteral("…") : line);
}

// Characters `count` from the left or right; a negative count is refused.
QString left(const QString &text, qsizetype count, const QString &line)
{
    if (count < 0)
        refuse(line);
    return text.left(count);
}

QString right(const QString &text, qsizetype count, const QString &line)
{
    if (count < 0)
        refuse(line);
    return text.right(count);
}

} // namespace

ManifestEntry splitManifestLine(const QString &sManifestLine)
{
    const qsizetype n = sManifestLine.size();
    const qsizetype p = sManifestLine.indexOf(QLatin1String("name")) + 1;

    ManifestEntry entry;
    const QString fromWord = right(sManifestLine, n - p + 1, sManifestLine);
    entry.sFileName = right(fromWord, fromWord.size() - 5, sManifestLine);
    const QString upToPath = left(sManifestLine, p - 2, sManifestLine);
    entry.sRemotePath = right(upToPath, upToPath.size() - 4, sManifestLine);

    const std::optional<QString> local = localname::normalised(entry.sFileName);
    if (!local)
        refuse(sManifestLine);
    entry.sFileName = *local;
    return entry;
}

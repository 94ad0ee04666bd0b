#include "manifestline.h"

#include "platform/error.h"

#include <QRegularExpression>

namespace {

[[noreturn]] void refuse(const QString &line)
{
    throw platform::Error(platform::Error::Code::InvalidArgument, line);
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

// A name that would land outside the working folder.
bool escapesWorkingFolder(const QString &name)
{
    if (name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1Char('\\'))
        || (name.size() >= 2 && name[1] == QLatin1Char(':')))
        return true;
    static const QRegularExpression separators(QStringLiteral("[/\\\\]"));
    const QStringList parts = name.split(separators);
    return parts.contains(QStringLiteral(".."));
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

    if (escapesWorkingFolder(entry.sFileName))
        refuse(sManifestLine);
    return entry;
}

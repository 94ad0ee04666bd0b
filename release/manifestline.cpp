#include "manifestline.h"
#include "sitelayout.h"

#include "platform/core/error.h"
#include "platform/files/replacement.h"

#include <QFile>

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

// The longest name, in bytes of the file system's encoding, that a folder
// entry can have.
constexpr qsizetype longestName = 255;

// The updater's own files and its working folder, which no listed file may replace.
bool isUpdatersOwn(const QString &name)
{
    static const QStringList own = sitelayout::ownNames();
    return own.contains(name) || platform::filesystem::Replacement::isStagingName(name);
}

// A local name is one file directly in the working folder, which is what the
// installation copies: no folder part (so nothing lands outside it), no drive,
// nothing the file system cannot hold.
bool isFileName(const QString &name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")
        || (name.size() >= 2 && name[1] == QLatin1Char(':')))
        return false;
    // Measured before anything else looks at the characters, so that a huge
    // line is turned away at once.
    if (name.size() > longestName || QFile::encodeName(name).size() > longestName)
        return false;
    for (const QChar c : name) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F || c == QLatin1Char('/') || c == QLatin1Char('\\'))
            return false;
    }
    return !isUpdatersOwn(name);
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

    if (!isFileName(entry.sFileName))
        refuse(sManifestLine);
    return entry;
}

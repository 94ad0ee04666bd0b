#include "localname.h"
#include "sitelayout.h"

#include "platform/files/replacement.h"

#include <QFile>
#include <QStringList>

#include <climits>

namespace localname {

namespace {

// Bytes, in the file system's encoding, of one folder entry and of a whole
// relative path with its terminating NUL.
constexpr qsizetype longestPart = NAME_MAX;
constexpr qsizetype longestPath = PATH_MAX - 1;

bool isOwnAtTop(const QString &part)
{
    static const QStringList own = sitelayout::ownNames();
    return own.contains(part);
}

bool isPart(QStringView part)
{
    if (part.isEmpty() || part == u"." || part == u"..")
        return false;
    if (part.size() > longestPart || QFile::encodeName(part.toString()).size() > longestPart)
        return false;
    for (const QChar c : part) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            return false;
    }
    return !platform::filesystem::Replacement::isStagingName(part);
}

} // namespace

std::optional<QString> normalised(const QString &name)
{
    // Measured before anything else looks at the characters, so that a huge
    // line is turned away at once.
    if (name.size() > longestPath || (name.size() >= 2 && name[1] == QLatin1Char(':')))
        return std::nullopt;
    QString path = name;
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const QStringList parts = path.split(QLatin1Char('/'));
    if (isOwnAtTop(parts.first()))
        return std::nullopt;
    for (const QString &part : parts) {
        if (!isPart(part))
            return std::nullopt;
    }
    if (QFile::encodeName(path).size() > longestPath)
        return std::nullopt;
    return path;
}

} // namespace localname

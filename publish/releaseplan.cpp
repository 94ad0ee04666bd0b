#include "releaseplan.h"

#include "platform/core/error.h"
#include "release/localname.h"
#include "release/manifestline.h"

#include <sys/stat.h>

using platform::Error;

namespace publish {

namespace {

QString lead(qsizetype line)
{
    return QStringLiteral("%1").arg(line % 10000, 4, 10, QLatin1Char('0'));
}

QString manifestLine(qsizetype number, const ReleaseFile &file)
{
    return lead(number) + QString::fromLatin1(file.remotePath()) + QStringLiteral(" name ") + file.name;
}

} // namespace

QString collidingUpdaterFile(const QString &name)
{
    static const QStringList own = sitelayout::ownNames();
    for (const QString &reserved : own) {
        if (name.compare(reserved, Qt::CaseInsensitive) == 0)
            return reserved;
    }
    return {};
}

// Only the publisher's own bytes go on the server: never what a link points
// to, and nothing that could block or never end.
QString kindRefusal(mode_t mode)
{
    if (S_ISREG(mode))
        return {};
    if (S_ISLNK(mode))
        return QStringLiteral("a symbolic link; only regular files are published, never what a link points to");
    if (S_ISDIR(mode))
        return QStringLiteral("a subfolder; its files are published, never the folder itself");
    if (S_ISFIFO(mode))
        return QStringLiteral("a FIFO; only regular files are published");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("a device; only regular files are published");
    return QStringLiteral("not a regular file; only regular files are published");
}

QString nameRefusal(const QString &name, const platform::CodePage &codePage)
{
    if (name.contains(QChar::ReplacementCharacter))
        return QStringLiteral("the name is not valid UTF-8");
    for (const QChar c : name) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return QStringLiteral("the name holds a control character");
    }
    if (name.contains(QLatin1Char('\\')))
        return QStringLiteral("the name holds a backslash, which the updater reads as a folder separator");
    if (codePage.decode(codePage.encode(name)) != name)
        return QStringLiteral("the name cannot be written in the code page %1").arg(QString::fromLatin1(codePage.name()));
    if (const QString own = collidingUpdaterFile(name); !own.isEmpty())
        return QStringLiteral("the name collides with the updater's own file %1").arg(own);
    if (!localname::normalised(name))
        return QStringLiteral("the updater would refuse this name (a part of more than 255 bytes, a path of more "
                              "than 4095, or one of its staging names)");
    return {};
}

QByteArray manifestText(const QList<ReleaseFile> &files, const platform::CodePage &codePage)
{
    QByteArray text;
    for (qsizetype i = 0; i < files.size(); ++i) {
        const ReleaseFile &file = files[i];
        const QByteArray line = codePage.encode(manifestLine(i + 1, file));
        // Read back as the updater reads it.
        try {
            const ManifestEntry entry = splitManifestLine(codePage.decode(line));
            if (entry.remotePath() != QString::fromLatin1(file.remotePath()) || entry.localName() != file.name)
                throw Error(Error::Code::InvalidArgument);
        } catch (const Error &) {
            throw Error(Error::Code::InvalidArgument, file.sourcePath,
                        QStringLiteral("the updater would refuse this name or read it differently"));
        }
        text += line + "\r\n";
    }
    return text;
}

} // namespace publish

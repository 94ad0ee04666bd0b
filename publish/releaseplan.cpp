#include "releaseplan.h"

#include "progress.h"
#include "platform/core/error.h"
#include "platform/text/numbers.h"
#include "release/sha256.h"
#include "release/manifestline.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <cmath>
#include <optional>
#include <sys/stat.h>

using platform::Error;

namespace {


[[noreturn]] void refuse(const QString &path, const QString &rule)
{
    throw Error(Error::Code::InvalidArgument, path, rule);
}

QString lead(qsizetype line)
{
    return QStringLiteral("%1").arg(line % 10000, 4, 10, QLatin1Char('0'));
}

QString manifestLine(qsizetype number, const ReleaseFile &file)
{
    return lead(number) + QString::fromLatin1(file.remotePath()) + QStringLiteral(" name ") + file.name;
}

// What `path` is itself (a link is not followed): its lstat mode; none when
// nothing is there.
std::optional<mode_t> modeOf(const QString &path)
{
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) == 0)
        return info.st_mode;
    if (errno == ENOENT)
        return std::nullopt;
    throw Error::fromErrno(errno, path);
}

// Why a folder entry is not published; empty for a regular file. Only the
// publisher's own bytes go on the server: never what a link points to, and
// nothing that could block or never end.
QString kindRefusal(mode_t mode)
{
    if (S_ISREG(mode))
        return {};
    if (S_ISLNK(mode))
        return QStringLiteral("a symbolic link; only regular files are published, never what a link points to");
    if (S_ISDIR(mode))
        return QStringLiteral("a subfolder; the updater installs only files directly in the application folder");
    if (S_ISFIFO(mode))
        return QStringLiteral("a FIFO; only regular files are published");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("a device; only regular files are published");
    return QStringLiteral("not a regular file; only regular files are published");
}

void checkName(const QFileInfo &info, const platform::CodePage &codePage)
{
    const QString path = info.filePath();
    const QString name = info.fileName();
    if (name.contains(QChar::ReplacementCharacter))
        refuse(path, QStringLiteral("the name is not valid UTF-8"));
    for (const QChar c : name) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            refuse(path, QStringLiteral("the name holds a control character"));
    }
    if (name.contains(QLatin1Char('\\')))
        refuse(path, QStringLiteral("the name holds a backslash, which the updater reads as a folder separator"));
    if (codePage.decode(codePage.encode(name)) != name)
        refuse(path, QStringLiteral("the name cannot be written in the code page %1")
                         .arg(QString::fromLatin1(codePage.name())));
    if (const QString own = collidingUpdaterFile(name); !own.isEmpty())
        refuse(path, QStringLiteral("the name collides with the updater's own file %1").arg(own));
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

QList<ReleaseFile> scanReleaseFolder(const QString &folder, const platform::CodePage &codePage)
{
    const QFileInfo folderInfo(folder);
    if (!folderInfo.exists())
        throw Error(Error::Code::PathNotFound, folder, QStringLiteral("release folder not found"));
    if (!folderInfo.isDir())
        refuse(folder, QStringLiteral("not a folder"));
    if (!folderInfo.isReadable() || !folderInfo.isExecutable())
        throw Error(Error::Code::PermissionDenied, folder, QStringLiteral("cannot read the release folder"));

    const QFileInfoList entries = QDir(folder).entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    QList<ReleaseFile> files;
    for (const QFileInfo &info : entries) {
        const QString path = info.filePath();
        const std::optional<mode_t> mode = modeOf(path);
        if (!mode)
            throw Error(Error::Code::FileNotFound, path);
        if (const QString refusal = kindRefusal(*mode); !refusal.isEmpty())
            refuse(path, refusal);
        if (!info.isReadable())
            throw Error(Error::Code::PermissionDenied, path, QStringLiteral("cannot read the file"));
        checkName(info, codePage);
        if (info.size() >= sitelayout::fileSizeLimit)
            refuse(path, QStringLiteral("2 GiB or larger; the updater counts sizes in signed 32 bits"));
        files.append({info.fileName(), info.absoluteFilePath(), codePage.encode(info.fileName()), info.size(), {}});
    }
    if (files.isEmpty())
        refuse(folder, QStringLiteral("no files to publish"));
    std::sort(files.begin(), files.end(), [](const ReleaseFile &a, const ReleaseFile &b) { return a.name < b.name; });
    return files;
}

void checkSitePath(const QString &root, const QByteArray &relativePath)
{
    QString path = root;
    const QStringList parts = QString::fromLatin1(relativePath).split(QLatin1Char('/'));
    for (qsizetype i = 0; i < parts.size(); ++i) {
        path += QLatin1Char('/') + parts[i];
        const std::optional<mode_t> mode = modeOf(path);
        if (!mode)
            return; // made anew by the publisher
        const bool target = i + 1 == parts.size();
        if (S_ISLNK(*mode))
            refuse(path, QStringLiteral("a symbolic link inside the site; the publisher never writes through "
                                        "links, nor takes a link for a stored file"));
        if (!target && !S_ISDIR(*mode))
            refuse(path, QStringLiteral("not a folder, but the release needs one here"));
        if (target && !S_ISREG(*mode))
            refuse(path, QStringLiteral("not a regular file, but the release writes one here"));
    }
}

void checkClientLimits(const QByteArray &manifest, const QByteArray &stamp, const QByteArray &index)
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
    };
    for (const auto &piece : pieces) {
        if (piece.size > piece.limit)
            refuse(piece.path, QStringLiteral("%1 bytes; every client refuses more than %2 bytes: publish %3")
                                   .arg(piece.size)
                                   .arg(piece.limit)
                                   .arg(QLatin1String(piece.remedy)));
    }
}

void hashReleaseFiles(QList<ReleaseFile> &files, Progress &progress)
{
    for (ReleaseFile &file : files) {
        progress.begin(QStringLiteral("hashing"), file.name, file.size);
        file.digest = release::Sha256::hexOfFile(file.sourcePath, [&](qint64 done) { progress.advance(done); });
        progress.end();
    }
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
            if (entry.sRemotePath != QString::fromLatin1(file.remotePath()) || entry.sFileName != file.name)
                throw Error(Error::Code::InvalidArgument);
        } catch (const Error &) {
            refuse(file.sourcePath, QStringLiteral("the updater would refuse this name or read it differently"));
        }
        text += line + "\r\n";
    }
    return text;
}

void checkVersion(const QString &version, const QByteArray &currentStamp, const platform::CodePage &codePage)
{
    static const QRegularExpression plainNumber(QStringLiteral("^[0-9]+(\\.[0-9]+)?$"));
    const QString subject = QStringLiteral("--version %1").arg(version);
    if (!plainNumber.match(version).hasMatch())
        refuse(subject, QStringLiteral("the version must be a decimal number such as 2 or 2.5"));
    const double value = platform::numbers::valueOf(version);
    if (!std::isfinite(value))
        refuse(subject, QStringLiteral("the version is too large a number"));
    if (value == 0)
        refuse(subject, QStringLiteral("the version must not be 0: a stamp without a number reads as 0"));
    if (!currentStamp.isEmpty() && platform::numbers::valueOf(codePage.decode(currentStamp)) == value)
        refuse(subject, QStringLiteral("the site's stamp %1 has the same value, so no client would update")
                            .arg(codePage.decode(currentStamp).trimmed()));
}

QByteArray stampText(const QString &version, const platform::CodePage &codePage)
{
    return codePage.encode(version) + "\r\n";
}

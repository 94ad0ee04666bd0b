#include "releaseplan.h"

#include "progress.h"
#include "platform/core/error.h"
#include "platform/text/numbers.h"
#include "release/sha256.h"
#include "release/manifestline.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <cmath>

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
    for (const QString &reserved : sitelayout::ownNames()) {
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
        if (info.isDir())
            refuse(path, QStringLiteral("a subfolder; the updater installs only files directly in the "
                                        "application folder"));
        if (!info.isFile())
            refuse(path, QStringLiteral("not a regular file"));
        if (!info.isReadable())
            throw Error(Error::Code::PermissionDenied, path, QStringLiteral("cannot read the file"));
        checkName(info, codePage);
        if (info.size() >= sitelayout::fileSizeLimit)
            refuse(path, QStringLiteral("2 GiB or larger; the updater counts sizes in signed 32 bits"));
        if (info.size() == 0)
            refuse(path, QStringLiteral("an empty file; the updater cannot tell an empty download from a "
                                        "failed one"));
        files.append({info.fileName(), info.absoluteFilePath(), codePage.encode(info.fileName()), info.size(), {}});
    }
    if (files.isEmpty())
        refuse(folder, QStringLiteral("no files to publish"));
    std::sort(files.begin(), files.end(), [](const ReleaseFile &a, const ReleaseFile &b) { return a.name < b.name; });
    return files;
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

#include "releasefolder.h"

#include "progress.h"
#include "sizelimits.h"
#include "platform/core/error.h"
#include "release/sha256.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <optional>
#include <sys/stat.h>

using platform::Error;

namespace publish {

namespace {

[[noreturn]] void refuse(const QString &path, const QString &rule)
{
    throw Error(Error::Code::InvalidArgument, path, rule);
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

// Adds the files of `folder` and of its subfolders, named below the release
// folder by `prefix` and their own names joined by '/'.
void scanInto(const QString &folder, const QString &prefix, const platform::CodePage &codePage,
              QList<ReleaseFile> &files)
{
    const QFileInfoList entries = QDir(folder).entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    // A folder with nothing in it has no manifest line: no client would get it.
    if (entries.isEmpty() && !prefix.isEmpty())
        refuse(folder, QStringLiteral("an empty folder; the manifest lists files, so no client would get it"));
    for (const QFileInfo &info : entries) {
        const QString path = info.filePath();
        const QString name = prefix + info.fileName();
        const std::optional<mode_t> mode = modeOf(path);
        if (!mode)
            throw Error(Error::Code::FileNotFound, path);
        if (S_ISDIR(*mode)) {
            if (const QString refusal = nameRefusal(name, codePage); !refusal.isEmpty())
                refuse(path, refusal);
            if (!info.isReadable() || !info.isExecutable())
                throw Error(Error::Code::PermissionDenied, path, QStringLiteral("cannot read the folder"));
            scanInto(path, name + QLatin1Char('/'), codePage, files);
            continue;
        }
        if (const QString refusal = kindRefusal(*mode); !refusal.isEmpty())
            refuse(path, refusal);
        if (!info.isReadable())
            throw Error(Error::Code::PermissionDenied, path, QStringLiteral("cannot read the file"));
        if (const QString refusal = nameRefusal(name, codePage); !refusal.isEmpty())
            refuse(path, refusal);
        checkFileSize(path, info.size());
        files.append({name, info.absoluteFilePath(), codePage.encode(name), info.size(), {}});
    }
}

} // namespace

QList<ReleaseFile> scanReleaseFolder(const QString &folder, const platform::CodePage &codePage)
{
    const QFileInfo folderInfo(folder);
    if (!folderInfo.exists())
        throw Error(Error::Code::PathNotFound, folder, QStringLiteral("release folder not found"));
    if (!folderInfo.isDir())
        refuse(folder, QStringLiteral("not a folder"));
    if (!folderInfo.isReadable() || !folderInfo.isExecutable())
        throw Error(Error::Code::PermissionDenied, folder, QStringLiteral("cannot read the release folder"));

    QList<ReleaseFile> files;
    scanInto(folder, QString(), codePage, files);
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

} // namespace publish

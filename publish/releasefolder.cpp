#include "releasefolder.h"

#include "progress.h"
#include "sizelimits.h"
#include "platform/core/error.h"
#include "platform/files/paths.h"
#include "release/sha256.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <filesystem>
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

struct Scan
{
    const platform::CodePage &codePage;
    TreeScope scope;
    ScannedRelease &found;
};

// The link at `path` as the tree keeps it: its target must stay inside the
// release folder and lead to something there, or clients would get a link
// out of their folder or to nothing.
void addLink(const QString &path, const QString &name, mode_t mode, Scan &scan)
{
    if (const QString refusal = nameRefusal(name, scan.codePage); !refusal.isEmpty())
        refuse(path, refusal);
    std::error_code failure;
    const std::filesystem::path target = std::filesystem::read_symlink(platform::paths::toPath(path), failure);
    if (failure)
        throw Error::fromErrno(failure.value(), path);
    const QString shown = QFile::decodeName(target.native().c_str());
    if (!release::ReleaseTree::targetStaysInside(name, shown))
        refuse(path, QStringLiteral("a symbolic link to %1, which is absolute, leaves the release folder or names "
                                    "what the updater would not install; only links that stay inside are published")
                         .arg(shown));
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        refuse(path, QStringLiteral("a symbolic link to %1, where there is nothing; clients would get a broken link")
                         .arg(shown));
    scan.found.tree.add({release::TreeEntry::Kind::Link, name, unsigned(mode & 0777), shown});
}

// Adds the files of `folder` and of its subfolders, named below the release
// folder by `prefix` and their own names joined by '/'.
void scanInto(const QString &folder, const QString &prefix, Scan &scan)
{
    const bool whole = scan.scope == TreeScope::Whole;
    const QFileInfoList entries = QDir(folder).entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    // A folder with nothing in it has no manifest line: without the tree no client would get it.
    if (entries.isEmpty() && !prefix.isEmpty() && !whole)
        refuse(folder, QStringLiteral("an empty folder; the manifest lists files, so no client would get it"));
    for (const QFileInfo &info : entries) {
        const QString path = info.filePath();
        const QString name = prefix + info.fileName();
        const std::optional<mode_t> mode = modeOf(path);
        if (!mode)
            throw Error(Error::Code::FileNotFound, path);
        if (S_ISDIR(*mode)) {
            if (const QString refusal = nameRefusal(name, scan.codePage); !refusal.isEmpty())
                refuse(path, refusal);
            if (!info.isReadable() || !info.isExecutable())
                throw Error(Error::Code::PermissionDenied, path, QStringLiteral("cannot read the folder"));
            if (whole)
                scan.found.tree.add({release::TreeEntry::Kind::Folder, name, unsigned(*mode & 0777), {}});
            scanInto(path, name + QLatin1Char('/'), scan);
            continue;
        }
        if (S_ISLNK(*mode) && whole) {
            addLink(path, name, *mode, scan);
            continue;
        }
        if (const QString refusal = kindRefusal(*mode); !refusal.isEmpty())
            refuse(path, refusal);
        if (!info.isReadable())
            throw Error(Error::Code::PermissionDenied, path, QStringLiteral("cannot read the file"));
        if (const QString refusal = nameRefusal(name, scan.codePage); !refusal.isEmpty())
            refuse(path, refusal);
        checkFileSize(path, info.size());
        if (whole) {
            if (*mode & 07000)
                refuse(path, QStringLiteral("a setuid, setgid or sticky bit, which no client installs; remove it "
                                            "(chmod u-s,g-s,o-t)"));
            scan.found.tree.add({release::TreeEntry::Kind::File, name, unsigned(*mode & 0777), {}});
        }
        scan.found.files.append({name, info.absoluteFilePath(), scan.codePage.encode(name), info.size(), {}});
    }
}

} // namespace

ScannedRelease scanReleaseFolder(const QString &folder, const platform::CodePage &codePage, TreeScope scope)
{
    const QFileInfo folderInfo(folder);
    if (!folderInfo.exists())
        throw Error(Error::Code::PathNotFound, folder, QStringLiteral("release folder not found"));
    if (!folderInfo.isDir())
        refuse(folder, QStringLiteral("not a folder"));
    if (!folderInfo.isReadable() || !folderInfo.isExecutable())
        throw Error(Error::Code::PermissionDenied, folder, QStringLiteral("cannot read the release folder"));

    ScannedRelease found;
    Scan scan{codePage, scope, found};
    scanInto(folder, QString(), scan);
    QList<ReleaseFile> &files = found.files;
    if (files.isEmpty())
        refuse(folder, QStringLiteral("no files to publish"));
    std::sort(files.begin(), files.end(), [](const ReleaseFile &a, const ReleaseFile &b) { return a.name < b.name; });
    return found;
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

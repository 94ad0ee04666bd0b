#include "sitewriter.h"

#include "progress.h"
#include "platform/core/error.h"
#include "platform/files/paths.h"
#include "release/sha256.h"
#include "release/sitelayout.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <filesystem>

using platform::DurableFile;
using platform::Error;
using platform::paths::toPath;

namespace publish {

namespace {

// ".NAME.publishing-<pid>" beside the target.
std::filesystem::path temporaryBeside(const std::filesystem::path &target)
{
    return platform::paths::hiddenBeside(
        target, sitelayout::publishingInfix + QString::number(QCoreApplication::applicationPid()));
}

} // namespace

SiteWriter::SiteWriter(const QString &root) : m_root(QDir(root).absolutePath())
{
    const QFileInfo info(m_root);
    if (!info.isDir())
        throw Error(Error::Code::PathNotFound, root, QStringLiteral("site root not found"));
    m_lock = std::make_unique<QLockFile>(m_root + QStringLiteral("/.updater-publish.lock"));
    m_lock->setStaleLockTime(0);
    if (!m_lock->tryLock(0)) {
        if (m_lock->error() == QLockFile::LockFailedError)
            throw Error(Error::Code::FileAccess, m_root,
                        QStringLiteral("another updater-publish is publishing into this site"));
        throw Error(Error::Code::PermissionDenied, m_root, QStringLiteral("cannot write into the site root"));
    }
    removeLeftovers();
}

void SiteWriter::removeLeftovers()
{
    // What a publication that was killed half-way left beside its targets.
    QDirIterator it(m_root + QLatin1Char('/') + sitelayout::releaseFolder,
                    {QStringLiteral(".*") + sitelayout::publishingInfix + QLatin1Char('*')},
                    QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        QFile::remove(it.next());
}

SiteWriter::~SiteWriter()
{
    if (!m_committed)
        rollBack();
}

QString SiteWriter::absolute(const QByteArray &relativePath)
{
    const QString path = m_root + QLatin1Char('/') + QString::fromLatin1(relativePath);
    // Folders are made on the way, and remembered, so that a roll-back
    // leaves none behind.
    QString folder = m_root;
    const QStringList parts = QString::fromLatin1(relativePath).split(QLatin1Char('/'));
    for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
        folder += QLatin1Char('/') + parts[i];
        if (QFileInfo(folder).isDir())
            continue;
        if (!QDir().mkdir(folder))
            throw Error(Error::Code::PermissionDenied, folder, QStringLiteral("cannot create the folder"));
        m_createdFolders.append(folder);
    }
    return path;
}

bool SiteWriter::storeFile(const QString &source, const QByteArray &relativePath, const QByteArray &digest,
                           Progress &progress)
{
    const QString target = absolute(relativePath);
    const bool existed = QFileInfo(target).isFile();
    if (existed && release::Sha256::hexOfFile(target) == digest)
        return false;

    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        throw Error(Error::Code::FileAccess, source, QStringLiteral("cannot read the file"));
    const std::filesystem::path file = toPath(target);
    DurableFile out(temporaryBeside(file), file);
    progress.begin(QStringLiteral("storing"), QFileInfo(source).fileName(), in.size());
    release::Sha256 sha;
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    qint64 done = 0;
    for (;;) {
        const qint64 read = in.read(buffer.data(), buffer.size());
        if (read < 0)
            throw Error(Error::Code::FileAccess, source, QStringLiteral("cannot read the file"));
        if (read == 0)
            break;
        sha.addData(QByteArrayView(buffer.constData(), read));
        out.write(QByteArrayView(buffer.constData(), read));
        done += read;
        progress.advance(done);
    }
    if (sha.hexResult() != digest)
        throw Error(Error::Code::DigestMismatch, source, QStringLiteral("the file changed while it was published"));
    out.renameOver();
    // A stored file whose content was damaged is repaired for good; only new
    // files are taken back by a roll-back.
    if (!existed)
        m_storedFiles.append(target);
    progress.end();
    return true;
}

void SiteWriter::storeBytes(const QByteArray &relativePath, const QByteArray &bytes)
{
    const QString target = absolute(relativePath);
    const bool existed = QFileInfo(target).isFile();
    const std::filesystem::path file = toPath(target);
    DurableFile out(temporaryBeside(file), file);
    out.write(bytes);
    out.renameOver();
    if (!existed)
        m_storedFiles.append(target);
}

bool SiteWriter::removeFile(const QByteArray &relativePath)
{
    const QString target = m_root + QLatin1Char('/') + QString::fromLatin1(relativePath);
    QFile file(target);
    if (!file.exists())
        return false;
    if (!file.remove())
        throw Error(Error::Code::PermissionDenied, target, QStringLiteral("cannot remove the file"));
    QDir().rmdir(QFileInfo(target).path());
    return true;
}

bool SiteWriter::storeOnce(const QByteArray &relativePath, const QByteArray &bytes)
{
    const QString target = absolute(relativePath);
    if (QFileInfo::exists(target)) {
        QFile existing(target);
        if (!existing.open(QIODevice::ReadOnly))
            throw Error(Error::Code::FileAccess, target, QStringLiteral("cannot read the file"));
        if (existing.read(bytes.size() + 1) == bytes)
            return false;
        throw Error(Error::Code::DigestMismatch, target,
                    QStringLiteral("differs from the copy this release writes; a release's files never change"));
    }
    const std::filesystem::path file = toPath(target);
    DurableFile out(temporaryBeside(file), file);
    out.write(bytes);
    out.renameOver();
    m_storedFiles.append(target);
    return true;
}

void SiteWriter::stage(const QByteArray &relativePath, const QByteArray &bytes)
{
    const std::filesystem::path target = toPath(absolute(relativePath));
    const std::filesystem::path temporary = temporaryBeside(target);
    DurableFile out(temporary, target);
    out.write(bytes);
    // A second name for the file that is replaced, to bring it back should a
    // later rename fail.
    m_staged.add(out.release(), target, temporary.native() + ".previous");
}

void SiteWriter::commit()
{
    m_staged.commit();
    m_committed = true;
    try {
        m_staged.dropKept();
    } catch (const Error &) {
        // The release is out whole; a second name left over goes with the
        // next publication's leftovers.
    }
}

void SiteWriter::rollBack() noexcept
{
    // The newest first: the stamp goes back before the manifest, and so on.
    m_staged.rollBack();
    for (const QString &path : std::as_const(m_storedFiles))
        QFile::remove(path);
    for (qsizetype i = m_createdFolders.size() - 1; i >= 0; --i)
        QDir().rmdir(m_createdFolders[i]);
}

} // namespace publish

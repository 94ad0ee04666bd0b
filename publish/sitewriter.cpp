#include "sitewriter.h"

#include "progress.h"
#include "platform/core/error.h"
#include "platform/files/filedescriptor.h"
#include "release/sha256.h"
#include "release/sitelayout.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

using platform::Error;
using platform::FileDescriptor;

namespace {

void writeAll(int fd, const char *data, qint64 size, const QString &path)
{
    if (!platform::writeAll(fd, data, std::size_t(size)))
        throw Error::fromErrno(errno, path);
}

// Creates `path` for writing; it must not exist yet.
int createFile(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        throw Error::fromErrno(errno, path);
    return fd;
}

void finish(FileDescriptor &fd, const QString &path)
{
    if (::fsync(fd.get()) != 0 || fd.close() != 0)
        throw Error::fromErrno(errno, path);
}

void renameOver(const QString &from, const QString &to)
{
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0)
        throw Error::fromErrno(errno, to);
}

QString temporaryBeside(const QString &target)
{
    const QFileInfo info(target);
    return info.path() + QStringLiteral("/.") + info.fileName() + sitelayout::publishingInfix
        + QString::number(QCoreApplication::applicationPid());
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
    const QString temporary = temporaryBeside(target);
    FileDescriptor out(createFile(temporary));
    m_temporaries.append(temporary);
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
        writeAll(out.get(), buffer.constData(), read, target);
        done += read;
        progress.advance(done);
    }
    if (sha.hexResult() != digest)
        throw Error(Error::Code::DigestMismatch, source, QStringLiteral("the file changed while it was published"));
    finish(out, target);
    renameOver(temporary, target);
    m_temporaries.removeOne(temporary);
    // A stored file whose content was damaged is repaired for good; only new
    // files are taken back by a roll-back.
    if (!existed)
        m_storedFiles.append(target);
    progress.end();
    return true;
}

void SiteWriter::stage(const QByteArray &relativePath, const QByteArray &bytes)
{
    const QString target = absolute(relativePath);
    const QString temporary = temporaryBeside(target);
    FileDescriptor out(createFile(temporary));
    m_temporaries.append(temporary);
    writeAll(out.get(), bytes.constData(), bytes.size(), target);
    finish(out, target);
    m_staged.append({temporary, target, {}});
}

void SiteWriter::commit()
{
    for (Staged &staged : m_staged) {
        if (QFileInfo::exists(staged.target)) {
            // A second name for the file that is replaced, to bring it back
            // should a later rename fail.
            staged.backup = staged.temporary + QStringLiteral(".previous");
            if (::link(QFile::encodeName(staged.target).constData(), QFile::encodeName(staged.backup).constData())
                != 0) {
                const int error = errno;
                staged.backup.clear();
                throw Error::fromErrno(error, staged.target);
            }
        }
        renameOver(staged.temporary, staged.target);
        m_temporaries.removeOne(staged.temporary);
        ++m_renamed;
    }
    m_committed = true;
    for (const Staged &staged : std::as_const(m_staged)) {
        if (!staged.backup.isEmpty())
            QFile::remove(staged.backup);
    }
}

void SiteWriter::rollBack() noexcept
{
    // The newest first: the stamp goes back before the manifest, and so on.
    for (qsizetype i = m_renamed - 1; i >= 0; --i) {
        const Staged &staged = m_staged[i];
        if (staged.backup.isEmpty())
            QFile::remove(staged.target);
        else
            ::rename(QFile::encodeName(staged.backup).constData(), QFile::encodeName(staged.target).constData());
    }
    for (qsizetype i = m_renamed; i < m_staged.size(); ++i) {
        if (!m_staged[i].backup.isEmpty())
            QFile::remove(m_staged[i].backup);
    }
    for (const QString &path : std::as_const(m_temporaries))
        QFile::remove(path);
    for (const QString &path : std::as_const(m_storedFiles))
        QFile::remove(path);
    for (qsizetype i = m_createdFolders.size() - 1; i >= 0; --i)
        QDir().rmdir(m_createdFolders[i]);
}

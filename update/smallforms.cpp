#include "smallforms.h"

#include "filedigest.h"
#include "formrebuild.h"

#include "platform/core/error.h"
#include "platform/files/filesystem.h"
#include "release/releaseindex.h"
#include "release/sitelayout.h"

#include <QFile>
#include <QScopeGuard>

namespace update {

namespace fsys = platform::filesystem;

namespace {

constexpr qsizetype digestLength = 64;

// The file that a patch at `path` rebuilds, or nothing when the path names no patch.
QByteArray patchTarget(const QByteArray &path)
{
    const qsizetype start = sitelayout::compressedFolder.size() + 1;
    const QByteArray from = path.mid(start, digestLength);
    const QByteArray to = path.mid(start + digestLength + 1, digestLength);
    return release::isSha256Hex(from) && release::isSha256Hex(to) && sitelayout::patchForm(from, to) == path
               ? to
               : QByteArray();
}

} // namespace

SmallForms::SmallForms(const release::ReleaseIndex &index, FileDownload &downloads, AppPaths paths, QString baseUrl)
    : m_index(index), m_downloads(downloads), m_paths(std::move(paths)), m_baseUrl(std::move(baseUrl))
{
    for (const release::ReleaseIndex::Entry &entry : index.entries()) {
        if (const QByteArray target = patchTarget(entry.path); !target.isEmpty())
            m_patched.insert(target);
    }
}

FormTaken SmallForms::fetch(const QByteArray &digest, const HashedFile &installed, const QString &installedPath,
                            const QString &staged)
{
    FormTaken taken;
    // The very bytes that were hashed are the ones the patch is applied to:
    // one descriptor serves both, and only a file of the updater's own.
    if (m_patched.contains(digest) && installed.own.isOpen() && installed.sha256 &&
        tryForm(sitelayout::patchForm(*installed.sha256, digest), digest, installed.own, installedPath, staged,
                taken)) {
        taken.form = FormTaken::Form::Patch;
        return taken;
    }
    if (tryForm(sitelayout::compressedForm(digest), digest, platform::FileDescriptor(), installedPath, staged,
                taken))
        taken.form = FormTaken::Form::Compressed;
    return taken;
}

bool SmallForms::tryForm(const QByteArray &formPath, const QByteArray &digest, const platform::FileDescriptor &source,
                         const QString &installed, const QString &staged, FormTaken &taken)
{
    const std::optional<QByteArray> listed = m_index.digestOf(formPath);
    if (!listed)
        return false;
    const QString download = m_paths.workingFile(sitelayout::formDownload);
    const auto gone = qScopeGuard([&] { QFile::remove(download); });
    download::DLOutcome outcome;
    try {
        // Named by digests and checked against the index: any cache may serve it.
        outcome = m_downloads.get(m_baseUrl + QString::fromLatin1(formPath), download, platform::CacheUse::AllowCached)
                      .outcome;
    } catch (const platform::Error &error) {
        // What stands in the way at the form's name (a folder another user
        // planted, a full disk) leaves the next form to try.
        if (error.family() != platform::Error::Family::Storage)
            throw;
        return false;
    }
    taken.downloaded += outcome.received - outcome.kept;
    if (!outcome.isWhole() || outcome.sha256 != *listed)
        return false;
    try {
        const RebuiltFile rebuilt =
            rebuildFromForm(fsys::openOwnFile(download), download, source, installed, staged);
        // A patch applied to an installed file that changed since it was
        // hashed rebuilds something else: that shows here.
        if (rebuilt.sha256 == digest) {
            taken.fileSize = rebuilt.size;
            return true;
        }
    } catch (const platform::Error &) {
        // A broken or oversized frame, a full disk: the next form will do.
    }
    QFile::remove(staged);
    return false;
}

} // namespace update

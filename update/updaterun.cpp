#include "updaterun.h"

#include "freshness.h"
#include "gethttptext.h"
#include "release/manifestline.h"
#include "release/sitelayout.h"

#include "download/cls_download.h"
#include "platform/text/codepage.h"
#include "platform/core/error.h"
#include "platform/files/filesystem.h"
#include "platform/files/folderlock.h"
#include "platform/text/numbers.h"
#include "platform/files/replacement.h"

#include <QFile>
#include <QScopeGuard>

#include <filesystem>

namespace update {

namespace fsys = platform::filesystem;

namespace {

constexpr std::int32_t lTimeOut = 5000;
constexpr double smallestDownload = 6;

// A refused listed file is named as the user knows it, then where it came from.
platform::Error namingLocalFile(const platform::Error &error, const QString &localName, const QString &remotePath)
{
    return platform::Error(error.code(), localName + QStringLiteral("（") + remotePath + QStringLiteral("）"),
                           error.detail());
}

} // namespace

UpdateRun::UpdateRun(UpdateWindow &window, AppPaths paths, QString baseUrl,
                     std::optional<release::KeyRing> publisherKey)
    : m_window(window), m_paths(std::move(paths)), m_baseUrl(std::move(baseUrl)),
      m_publisherKey(std::move(publisherKey))
{
}

void UpdateRun::start()
{
    // A press during one of the run's waits must not start a second run
    // over the same engine, files and working folder.
    if (m_running)
        return;
    m_window.runEnded(run());
}

// The catch-all handler: an error raised anywhere in the run ends it as refused.
RunOutcome UpdateRun::run()
{
    m_running = true;
    m_formsTaken.clear();
    const auto idle = qScopeGuard([this] {
        m_running = false;
        iFileNum.reset();
        m_release.reset();
        m_log.reset();
    });
    RunOutcome outcome{RunOutcome::End::Refused, std::nullopt};
    try {
        const platform::FolderLock lock(m_paths.folder());
        if (!lock.isHeld())
            return {RunOutcome::End::FolderInUse, std::nullopt};
        // Only the run that holds the folder writes its log.
        m_log.emplace(m_paths, m_window.downloadEngine().httpClient().observers());
        m_log->started(m_baseUrl, m_publisherKey);
        outcome.end = execute();
        if (outcome.end == RunOutcome::End::UpdateFailure)
            outcome.downloadFailure = lastOutcome().failure;
    } catch (const platform::Error &error) {
        outcome.error = error;
        // Not tampering: the server is half-way between two releases, or a
        // cache still shows one older than the installed release, which is
        // kept. The log records why.
        if (error.code() == platform::Error::Code::BeingPublished)
            outcome.end = RunOutcome::End::BeingPublished;
        else if (error.code() == platform::Error::Code::OlderRelease)
            outcome.end = RunOutcome::End::UpToDate;
    }
    if (m_log)
        m_log->ended(outcome);
    return outcome;
}

RunOutcome::End UpdateRun::execute()
{
    // An installation that a killed run left half done is undone first, so
    // that the stamps compare what is really installed.
    m_log->putBack(fsys::Replacement::recover(m_paths.folder()));
    m_window.setStatusLine(QStringLiteral("正在连接..."));
    platform::HttpClient &client = m_window.downloadEngine().httpClient();
    std::optional<SignedRelease> kept;
    std::optional<SmallFetch> signature;
    std::optional<platform::PendingUrl> manifestSent;
    if (m_publisherKey) {
        kept = SignedRelease::kept(m_paths, *m_publisherKey);
        // A kept release that carries an expiry has the server's signature
        // read whatever the stamps say: its round trip passes beside the stamp's.
        if (kept && kept->expiry())
            signature.emplace(SignedRelease::requestSignature(client, m_baseUrl));
    }
    if (stampsEqual()) {
        if (signature)
            confirmFreshness(*signature, *m_publisherKey);
        return RunOutcome::End::UpToDate;
    }
    fsys::refuseUnlessFolder(m_paths.file(sitelayout::workingFolder));
    m_window.downloadEngine().setComputesDigest(m_publisherKey.has_value());
    if (m_publisherKey) {
        if (!signature)
            signature.emplace(SignedRelease::requestSignature(client, m_baseUrl));
        m_release.emplace(SignedRelease::fetch(*signature, client, m_baseUrl, *m_publisherKey, kept, manifestSent));
        // The stamp at the fixed path may be of another generation than the
        // signature: the signed release's own stamp decides.
        if (isLocalStamp(platform::CodePage::deployment().decode(m_release->stamp())))
            return RunOutcome::End::UpToDate;
    }
    if (!downloadManifest(std::move(manifestSent)))
        return updateFailure();
    // The new stamp's round trip passes beside the files' downloads.
    std::optional<platform::PendingUrl> stampSent =
        m_release ? m_release->generation().sendEarly(client, m_baseUrl, sitelayout::stampPath) : std::nullopt;
    fsys::Replacement installation;
    if (!downloadListedFiles(installation))
        return updateFailure();
    return installAndFinish(installation, std::move(stampSent));
}

bool UpdateRun::stampsEqual()
{
    return isLocalStamp(GetHttpText(m_baseUrl + sitelayout::stampPath,
                                    defaultRequestFactories(m_window.downloadEngine().httpClient())));
}

bool UpdateRun::isLocalStamp(const QString &sRemoteStamp)
{
    QString sLocalStamp;
    // The local stamp is held to the remote one's bound.
    iFileNum.emplace(m_paths.file(sitelayout::localStamp), platform::CodePage::deployment(), sitelayout::largestStamp);
    while (!iFileNum->atEnd())
        sLocalStamp = iFileNum->readLine();
    iFileNum.reset();
    const bool equal = platform::numbers::valueOf(sRemoteStamp) == platform::numbers::valueOf(sLocalStamp);
    m_log->stampsCompared(sRemoteStamp, sLocalStamp, equal);
    return equal;
}

// Whether the manifest arrived whole; then it stands in the application folder.
bool UpdateRun::downloadManifest(std::optional<platform::PendingUrl> sent)
{
    const std::int32_t received =
        downloadFixed(sitelayout::manifestPath, m_paths.workingFile(sitelayout::manifestCopy), std::move(sent));
    if (m_release)
        m_release->generation().requireFound(sitelayout::manifestPath, lastOutcome().httpStatus);
    // Only a manifest that arrived whole is used: an earlier copy would
    // install an old release under the new stamp. An empty or a huge one is
    // a publishing error.
    if (!lastOutcome().isWhole() || received == 0 || received > sitelayout::largestManifest)
        return false;
    verifyDownload(sitelayout::manifestPath, m_paths.workingFile(sitelayout::manifestCopy));
    if (!workingFolderReaches(smallestDownload))
        return false;
    fsys::replaceFile(m_paths.workingFile(sitelayout::manifestCopy), m_paths.file(sitelayout::manifestCopy));
    fsys::deleteFile(m_paths.workingFile(sitelayout::manifestCopy));
    return true;
}

// Whether every listed file arrived whole.
bool UpdateRun::downloadListedFiles(fsys::Replacement &installation)
{
    iFileNum.emplace(m_paths.file(sitelayout::manifestCopy), platform::CodePage::deployment());
    std::optional<SmallForms> smallForms;
    if (m_release)
        smallForms.emplace(m_release->index(), m_window.downloadEngine(), lTimeOut, m_paths, m_baseUrl);
    while (!iFileNum->atEnd()) {
        const QString sManifestLine = iFileNum->readLine();
        const ManifestEntry entry = splitManifestLine(sManifestLine);
        m_window.appendToList(entry.sFileName + QStringLiteral("\r\n"));
        HashedFile installed;
        if (isAtHand(entry, installation, installed))
            continue;
        const QString sLocalFilePath = m_paths.workingFile(entry.sFileName);
        FormTaken taken = smallForms ? smallForms->fetch(m_release->requireListed(entry.sRemotePath), installed,
                                                         m_paths.file(entry.sFileName), sLocalFilePath)
                                     : FormTaken();
        taken.fileName = entry.sFileName;
        if (taken.form == FormTaken::Form::Plain) {
            // A stored file named by its signed digest may come from any
            // cache: no stale copy can stand under its name.
            const bool immutable = m_release && m_release->isContentAddressed(entry.sRemotePath);
            const std::int32_t received =
                download(m_baseUrl + entry.sRemotePath, sLocalFilePath,
                         immutable ? platform::CacheUse::AllowCached : platform::CacheUse::Revalidate);
            // Every listed file must arrive whole: missing, cut short or of
            // another size than announced, it would be installed broken.
            if (!lastOutcome().isWhole())
                return false;
            verifyDownload(entry.sRemotePath, sLocalFilePath, entry.sFileName);
            taken.fileSize = received;
            taken.downloaded += received;
        }
        if (m_log)
            m_log->formTaken(taken);
        m_formsTaken.push_back(taken);
        installation.add(sLocalFilePath, m_paths.file(entry.sFileName));
    }
    iFileNum.reset();
    return true;
}

RunOutcome::End UpdateRun::installAndFinish(fsys::Replacement &installation, std::optional<platform::PendingUrl> stampSent)
{
    const std::int32_t stampReceived =
        downloadFixed(sitelayout::stampPath, m_paths.workingFile(sitelayout::stampDownload), std::move(stampSent));
    if (m_release)
        m_release->generation().requireFound(sitelayout::stampPath, lastOutcome().httpStatus);
    // A stamp that arrived whole is what makes the run a success: it stands
    // for the release whose files arrived whole before it.
    if (!lastOutcome().isWhole())
        return updateFailure();
    // Every listed file and the stamp arrived whole: the working folder's
    // size has nothing left to decide.
    if (m_release)
        verifyDownload(sitelayout::stampPath, m_paths.workingFile(sitelayout::stampDownload));
    m_window.downloadEngine().DLFileStop();

    // Only what this run listed and received is installed, all or nothing;
    // the new stamp goes last, once the files it stands for are in place.
    if (m_release)
        m_release->keep(m_paths, installation);
    if (stampReceived != 0)
        installation.add(m_paths.workingFile(sitelayout::stampDownload), m_paths.file(sitelayout::localStamp));
    try {
        installation.run();
    } catch (const platform::Error &) {
        m_log->write(QStringLiteral("installation undone: every file replaced was put back"));
        throw;
    }
    m_log->installed(installation.targets());
    // Leftovers of earlier runs go with this run's downloads.
    fsys::deleteFolderFiles(m_paths.file(sitelayout::workingFolder));
    return RunOutcome::End::Installed;
}

// In signed mode, a listed file that the index proves right needs no
// download: installed already (nothing to do), or left whole in the working
// folder by an earlier attempt (installed as if downloaded).
bool UpdateRun::isAtHand(const ManifestEntry &entry, fsys::Replacement &installation, HashedFile &installed)
{
    if (!m_release)
        return false;
    try {
        m_release->requireListed(entry.sRemotePath);
    } catch (const platform::Error &error) {
        throw namingLocalFile(error, entry.sFileName, entry.sRemotePath);
    }
    const QString target = m_paths.file(entry.sFileName);
    installed = HashedFile::at(target);
    if (m_release->provesDigest(entry.sRemotePath, installed.sha256))
        return true;
    // A leftover counts only if it is the updater's own, and the very file
    // that was hashed is the one installed.
    const QString leftover = m_paths.workingFile(entry.sFileName);
    platform::FileDescriptor own = fsys::openOwnFile(leftover);
    if (!m_release->provesFile(entry.sRemotePath, own, leftover))
        return false;
    installation.add(std::move(own), leftover, target);
    return true;
}

// In signed mode, a download must have the index's digest; a refused one
// leaves the working folder, so no later run can take it for a good one.
void UpdateRun::verifyDownload(const QString &remotePath, const QString &sLocalFilePath, const QString &localName)
{
    if (!m_release)
        return;
    try {
        m_release->checkDigest(remotePath, lastOutcome().sha256);
    } catch (const platform::Error &error) {
        std::error_code ignored;
        std::filesystem::remove(QFile::encodeName(sLocalFilePath).toStdString(), ignored);
        if (localName.isEmpty())
            throw;
        throw namingLocalFile(error, localName, remotePath);
    }
}

// Where the run reads a fixed path's file: in signed mode, from the
// generation that the signature names.
QString UpdateRun::sourceOf(QLatin1StringView fixedPath) const
{
    return m_release ? m_release->generation().sourceOf(fixedPath) : QString(fixedPath);
}

std::int32_t UpdateRun::download(const QString &sRemoteURL, const QString &sLocalFilePath, platform::CacheUse cacheUse)
{
    return m_window.downloadEngine().DLFile(sRemoteURL, sLocalFilePath, lTimeOut, cacheUse);
}

std::int32_t UpdateRun::downloadFixed(QLatin1StringView fixedPath, const QString &sLocalFilePath,
                                      std::optional<platform::PendingUrl> sent)
{
    const QString url = m_baseUrl + sourceOf(fixedPath);
    if (sent)
        return m_window.downloadEngine().DLFile(url, std::move(*sent), sLocalFilePath, lTimeOut);
    return download(url, sLocalFilePath);
}

const DLOutcome &UpdateRun::lastOutcome()
{
    return m_window.downloadEngine().lastOutcome();
}

bool UpdateRun::workingFolderReaches(double bound)
{
    return fsys::folderSize(m_paths.file(sitelayout::workingFolder)) >= bound;
}

RunOutcome::End UpdateRun::updateFailure()
{
    m_window.downloadEngine().DLFileStop();
    return RunOutcome::End::UpdateFailure;
}

} // namespace update

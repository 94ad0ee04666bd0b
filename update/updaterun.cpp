#include "updaterun.h"

#include "gethttptext.h"
#include "listedahead.h"
#include "release/manifestline.h"
#include "release/sitelayout.h"

#include "platform/text/codepage.h"
#include "platform/core/error.h"
#include "platform/files/filesystem.h"
#include "platform/files/folderlock.h"
#include "platform/files/paths.h"
#include "platform/files/textinput.h"
#include "platform/text/numbers.h"
#include "platform/files/replacement.h"
#include "platform/files/writelease.h"

#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>

#include <filesystem>

namespace update {

namespace fsys = platform::filesystem;

namespace {

constexpr double smallestDownload = 6;

// A refusal of a listed file names it as the user knows it, then where it came from.
template <typename Check>
void namingListedFile(const ManifestEntry &entry, Check check)
{
    try {
        check();
    } catch (const platform::Error &error) {
        throw platform::Error(error.code(),
                              entry.sFileName + QStringLiteral("（") + entry.sRemotePath + QStringLiteral("）"),
                              error.detail());
    }
}

// A download that the trust refuses leaves the working folder, so that no
// later run can take it for a good one.
template <typename Check>
void checkDownload(const QString &sLocalFilePath, Check check)
{
    try {
        check();
    } catch (const platform::Error &) {
        std::error_code ignored;
        std::filesystem::remove(QFile::encodeName(sLocalFilePath).toStdString(), ignored);
        throw;
    }
}

// A staged download that its check refuses is refused as its first check
// refused it: named as a listed file is, and gone from the working folder.
fsys::Replacement::Check refusingWhenStaged(const QString &sLocalFilePath, fsys::Replacement::Check check,
                                            const ManifestEntry *listed = nullptr)
{
    if (!check)
        return {};
    const std::optional<ManifestEntry> entry = listed ? std::optional(*listed) : std::nullopt;
    return [sLocalFilePath, check = std::move(check), entry](int fd) {
        const auto checked = [&] { checkDownload(sLocalFilePath, [&] { check(fd); }); };
        if (entry)
            namingListedFile(*entry, checked);
        else
            checked();
    };
}

} // namespace

UpdateRun::UpdateRun(UpdateWindow &window, download::Cls_DownLoad &engine, AppPaths paths, QString baseUrl,
                     std::optional<release::KeyRing> publisherKey)
    : m_window(window), m_downloads(engine), m_paths(std::move(paths)), m_baseUrl(std::move(baseUrl)),
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
        m_log.reset();
        m_workingFolders.reset();
    });
    RunOutcome outcome{RunOutcome::End::Refused, std::nullopt};
    try {
        const platform::FolderLock lock(m_paths.folder());
        if (!lock.isHeld())
            return {RunOutcome::End::FolderInUse, std::nullopt};
        // A folder this user cannot write ends the run before anything is
        // downloaded; its log then goes where the user can write.
        std::optional<platform::Error> unwritable;
        try {
            fsys::requireWritableFolder(m_paths.folder());
        } catch (const platform::Error &error) {
            unwritable = error;
        }
        const bool elsewhere = unwritable && unwritable->code() == platform::Error::Code::FolderNotWritable;
        // Only the run that holds the folder writes its log.
        m_log.emplace(m_paths, m_downloads.client().observers(), elsewhere ? RunLog::userLogFolder() : QString());
        m_log->started(m_baseUrl, m_publisherKey);
        if (unwritable)
            throw *unwritable;
        if (const QFileInfo working(m_paths.file(sitelayout::workingFolder)); working.isDir() && !working.isSymLink())
            fsys::requireWritableFolder(working.filePath());
        outcome = executeFreeingAFullDisk();
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

// The user is told to free space: the working folder's files, this run's
// downloads among them, go first, while the folder is still held. None is
// worth keeping for a resume when the disk cannot hold the rest anyway.
RunOutcome UpdateRun::executeFreeingAFullDisk()
{
    try {
        return execute();
    } catch (const platform::Error &error) {
        if (error.code() == platform::Error::Code::DiskFull) {
            fsys::deleteFolderFiles(m_paths.file(sitelayout::workingFolder));
            if (m_workingFolders)
                m_workingFolders->removeCreatedTrees();
        }
        throw;
    }
}

void UpdateRun::cancelled()
{
    if (m_log)
        m_log->cancelled();
}

RunOutcome UpdateRun::execute()
{
    // An installation that a killed run left half done is undone first, so
    // that the stamps compare what is really installed.
    m_log->putBack(fsys::Replacement::recover(m_paths.folder()));
    m_window.setStatusLine(QStringLiteral("正在连接..."));
    m_trust = Trust::of(m_publisherKey, m_downloads, m_paths, m_baseUrl);
    // Its requests end with the run's work, before the run's end is logged.
    const auto done = qScopeGuard([this] { m_trust.reset(); });
    m_trust->start();
    if (stampsEqual()) {
        m_trust->confirmUpToDate();
        return {RunOutcome::End::UpToDate, std::nullopt};
    }
    fsys::refuseUnlessFolder(m_paths.file(sitelayout::workingFolder));
    m_downloads.setComputesDigest(m_trust->checksDigests());
    m_downloads.setPartialRecord(m_paths.workingFile(sitelayout::partialRecord));
    // The stamp at the fixed path may be of another generation than the
    // release read: that release's own stamp decides.
    if (const std::optional<QByteArray> stamp = m_trust->readRelease();
        stamp && isLocalStamp(platform::CodePage::deployment().decode(*stamp)))
        return {RunOutcome::End::UpToDate, std::nullopt};
    if (std::optional<RunOutcome> failed = downloadManifest())
        return *failed;
    // The new stamp's round trip passes beside the files' downloads.
    m_trust->sendEarly(sitelayout::stampPath);
    fsys::Replacement installation;
    installation.beneath(m_paths.folder());
    m_workingFolders.emplace(platform::paths::toPath(m_paths.file(sitelayout::workingFolder)),
                             fsys::FolderWalk::Found::Replaced);
    if (std::optional<RunOutcome> failed = downloadListedFiles(installation))
        return *failed;
    return installAndFinish(installation);
}

bool UpdateRun::stampsEqual()
{
    return isLocalStamp(GetHttpText(m_baseUrl + sitelayout::stampPath, defaultRequestFactories(m_downloads.client())));
}

bool UpdateRun::isLocalStamp(const QString &sRemoteStamp)
{
    QString sLocalStamp;
    // The local stamp is held to the remote one's bound.
    platform::TextInput iFileNum(m_paths.file(sitelayout::localStamp), platform::CodePage::deployment(),
                                 sitelayout::largestStamp);
    while (!iFileNum.atEnd())
        sLocalStamp = iFileNum.readLine();
    const bool equal = platform::numbers::valueOf(sRemoteStamp) == platform::numbers::valueOf(sLocalStamp);
    m_log->stampsCompared(sRemoteStamp, sLocalStamp, equal);
    return equal;
}

// None when the manifest arrived whole; then it stands in the application folder.
std::optional<RunOutcome> UpdateRun::downloadManifest()
{
    const QString staged = m_paths.workingFile(sitelayout::manifestCopy);
    const FileDownloaded manifest = downloadFixed(sitelayout::manifestPath, staged);
    m_trust->requireFound(sitelayout::manifestPath, manifest.outcome.httpStatus);
    // Only a manifest that arrived whole is used: an earlier copy would
    // install an old release under the new stamp. An empty or a huge one is
    // a publishing error.
    if (!manifest.outcome.isWhole() || manifest.written == 0 || manifest.written > sitelayout::largestManifest)
        return updateFailure(manifest);
    checkDownload(staged, [&] { m_trust->verifyManifest(manifest.outcome.sha256); });
    if (!workingFolderReaches(smallestDownload))
        return updateFailure(manifest);
    fsys::replaceFile(staged, m_paths.file(sitelayout::manifestCopy));
    fsys::deleteFile(staged);
    return std::nullopt;
}

// None when every listed file arrived whole.
std::optional<RunOutcome> UpdateRun::downloadListedFiles(fsys::Replacement &installation)
{
    platform::RequestsAhead ahead(m_downloads.client());
    sendListedAhead(ahead, m_paths, *m_trust, m_baseUrl);
    platform::TextInput iFileNum(m_paths.file(sitelayout::manifestCopy), platform::CodePage::deployment());
    const fsys::FolderWalk clientFolders(platform::paths::toPath(m_paths.folder()), fsys::FolderWalk::Found::Kept);
    QStringList localNames;
    while (!iFileNum.atEnd()) {
        const QString sManifestLine = iFileNum.readLine();
        const ManifestEntry entry = splitManifestLine(sManifestLine);
        localNames.append(entry.sFileName);
        // A file in a subfolder: nothing of it is read or fetched through a
        // client's folder that is a link, and it is downloaded into a folder
        // of this run's own.
        if (const qsizetype slash = entry.sFileName.lastIndexOf(QLatin1Char('/')); slash > 0) {
            const std::filesystem::path folder = platform::paths::toPath(entry.sFileName.left(slash));
            namingListedFile(entry, [&] {
                if (!m_trust->removesOnTheWay(entry.sFileName.left(slash)))
                    clientFolders.missing(folder);
                m_workingFolders->open(folder);
            });
        }
        m_window.appendToList(entry.sFileName + QStringLiteral("\r\n"));
        namingListedFile(entry, [&] { m_trust->requireListed(entry.sRemotePath); });
        const QString sLocalFilePath = m_paths.workingFile(entry.sFileName);
        const fsys::Replacement::Check check =
            refusingWhenStaged(sLocalFilePath, m_trust->stagedCheck(entry.sRemotePath, sLocalFilePath), &entry);
        HashedFile installed;
        if (m_trust->isAtHand(entry, installation, installed, check))
            continue;
        FormTaken taken =
            m_trust->smallerForm(entry.sRemotePath, installed, m_paths.file(entry.sFileName), sLocalFilePath);
        taken.fileName = entry.sFileName;
        // A download held under its lease since its first byte is installed
        // from that descriptor: while the lease holds, nothing but the bytes
        // hashed stands in it, and it needs no second reading.
        std::shared_ptr<platform::FileDescriptor> leased;
        if (taken.form == FormTaken::Form::Plain) {
            const QString url = m_baseUrl + entry.sRemotePath;
            std::optional<platform::PendingUrl> sent = ahead.take(url);
            const FileDownloaded file = sent ? m_downloads.get(url, std::move(*sent), sLocalFilePath)
                                             : m_downloads.get(url, sLocalFilePath, m_trust->cacheUseOf(entry.sRemotePath));
            // Every listed file must arrive whole: missing, cut short or of
            // another size than announced, it would be installed broken.
            if (!file.outcome.isWhole())
                return updateFailure(file);
            namingListedFile(entry, [&] {
                checkDownload(sLocalFilePath, [&] { m_trust->verifyDownload(entry.sRemotePath, file.outcome.sha256); });
            });
            leased = file.outcome.leased;
            taken.fileSize = file.written;
            taken.downloaded += file.written - file.outcome.kept;
        }
        if (m_log)
            m_log->formTaken(taken);
        m_formsTaken.push_back(taken);
        if (leased && check)
            installation.add(std::move(*leased), sLocalFilePath, m_paths.file(entry.sFileName), [check](int fd) {
                if (!platform::holdsWriteLease(fd))
                    check(fd);
            });
        else
            installation.add(sLocalFilePath, m_paths.file(entry.sFileName), check);
    }
    m_trust->changeTree(installation, localNames);
    return std::nullopt;
}

RunOutcome UpdateRun::installAndFinish(fsys::Replacement &installation)
{
    const QString staged = m_paths.workingFile(sitelayout::stampDownload);
    const FileDownloaded stamp = downloadFixed(sitelayout::stampPath, staged);
    m_trust->requireFound(sitelayout::stampPath, stamp.outcome.httpStatus);
    // A stamp that arrived whole is what makes the run a success: it stands
    // for the release whose files arrived whole before it.
    if (!stamp.outcome.isWhole())
        return updateFailure(stamp);
    // Every listed file and the stamp arrived whole: the working folder's
    // size has nothing left to decide.
    checkDownload(staged, [&] { m_trust->verifyDownload(sitelayout::stampPath, stamp.outcome.sha256); });
    m_downloads.stop();

    // Only what this run listed and received is installed, all or nothing;
    // the new stamp goes last, once the files it stands for are in place.
    m_trust->keep(installation);
    if (stamp.written != 0)
        installation.add(staged, m_paths.file(sitelayout::localStamp),
                         refusingWhenStaged(staged, m_trust->stagedCheck(sitelayout::stampPath, staged)));
    try {
        installation.run();
    } catch (const platform::Error &) {
        m_log->write(QStringLiteral("installation undone: every file replaced was put back"));
        throw;
    }
    m_log->installed(installation.targets());
    m_log->removed(installation.removed(), installation.keptFolders());
    // Leftovers of earlier runs go with this run's downloads.
    fsys::deleteFolderFiles(m_paths.file(sitelayout::workingFolder));
    m_workingFolders->removeCreatedTrees();
    return {RunOutcome::End::Installed, std::nullopt};
}

FileDownloaded UpdateRun::downloadFixed(QLatin1StringView fixedPath, const QString &sLocalFilePath)
{
    const QString url = m_baseUrl + m_trust->sourceOf(fixedPath);
    if (std::optional<platform::PendingUrl> sent = m_trust->takeSent(fixedPath))
        return m_downloads.get(url, std::move(*sent), sLocalFilePath);
    return m_downloads.get(url, sLocalFilePath);
}

bool UpdateRun::workingFolderReaches(double bound)
{
    return fsys::folderSize(m_paths.file(sitelayout::workingFolder)) >= bound;
}

RunOutcome UpdateRun::updateFailure(const FileDownloaded &download)
{
    m_downloads.stop();
    return {RunOutcome::End::UpdateFailure, std::nullopt, download.outcome.failure};
}

} // namespace update

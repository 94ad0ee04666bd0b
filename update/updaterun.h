#pragma once

#include "apppaths.h"
#include "filedownload.h"
#include "runlog.h"
#include "smallforms.h"
#include "trust.h"
#include "updatewindow.h"

#include "release/keyring.h"
#include "platform/files/folderwalk.h"

#include <QString>

#include <memory>
#include <optional>
#include <vector>

namespace platform::filesystem {
class Replacement;
}

namespace update {

// One update run: version check, manifest and file downloads, installation.
// It downloads through the engine it is given and reports to its window how
// it ended: errors raised on the way end it as refused (the catch-all
// handler), a download that is not whole as an update failure. One run at a
// time per application folder, across processes too: a run holds a lock on
// the folder throughout, and keeps the folder's run log for support while it
// does.
// With the publisher's keys (signed mode) it installs only what the publisher
// signed; without them (unsigned mode) it trusts the network.
class UpdateRun
{
public:
    UpdateRun(UpdateWindow &window, download::Cls_DownLoad &engine, AppPaths paths, QString baseUrl,
              std::optional<release::KeyRing> publisherKey = std::nullopt);

    // The start button's handler; the window hears how the run ended. A
    // press while a run is under way is ignored.
    void start();
    bool isRunning() const { return m_running; }
    // Asks the download under way, if any, to stop after its current block.
    void stopDownload() { m_downloads.stop(); }
    // The program ends during the run, at the user's word: the run's log
    // says so last. Nothing when no run is under way.
    void cancelled();
    // The form each file that the last run downloaded took, in the order downloaded.
    const std::vector<FormTaken> &formsTaken() const { return m_formsTaken; }

private:
    RunOutcome run();
    RunOutcome executeFreeingAFullDisk();
    RunOutcome execute();
    bool stampsEqual();
    bool isLocalStamp(const QString &sRemoteStamp);
    // Each step that downloads says how the run ends when it ends it.
    std::optional<RunOutcome> downloadManifest();
    std::optional<RunOutcome> downloadListedFiles(platform::filesystem::Replacement &installation);
    RunOutcome installAndFinish(platform::filesystem::Replacement &installation);

    // A fixed path's file of the release read, over the request sent early
    // for it, if one was.
    FileDownloaded downloadFixed(QLatin1StringView fixedPath, const QString &sLocalFilePath);
    bool workingFolderReaches(double bound);
    RunOutcome updateFailure(const FileDownloaded &download);

    UpdateWindow &m_window;
    FileDownload m_downloads;
    AppPaths m_paths;
    QString m_baseUrl;
    std::optional<release::KeyRing> m_publisherKey;
    // What the run under way trusts.
    std::unique_ptr<Trust> m_trust;
    std::vector<FormTaken> m_formsTaken;
    bool m_running = false;
    // The log of the run under way, from when it holds the folder.
    std::optional<RunLog> m_log;
    // The subfolders of the working folder that this run created for its
    // downloads: no other is trusted.
    std::optional<platform::filesystem::FolderWalk> m_workingFolders;
};

} // namespace update

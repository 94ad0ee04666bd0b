#pragma once

#include "apppaths.h"
#include "runlog.h"
#include "signedrelease.h"
#include "smallforms.h"
#include "updatewindow.h"

#include "platform/files/textinput.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

struct DLOutcome;
struct ManifestEntry;
namespace platform::filesystem {
class Replacement;
}

namespace update {

// One update run: version check, manifest and file downloads, installation.
// It reports to its window how it ended: errors raised on the way end it as
// refused (the catch-all handler), a download that is not whole as an update
// failure. One run at a time per application folder, across processes too: a
// run holds a lock on the folder throughout, and keeps the folder's run log
// for support while it does.
// With the publisher's keys (signed mode) it installs only what the publisher
// signed; without them (unsigned mode) it trusts the network.
class UpdateRun
{
public:
    UpdateRun(UpdateWindow &window, AppPaths paths, QString baseUrl,
              std::optional<release::KeyRing> publisherKey = std::nullopt);

    // The start button's handler; the window hears how the run ended. A
    // press while a run is under way is ignored.
    void start();
    bool isRunning() const { return m_running; }
    // The form each file that the last run downloaded took, in the order downloaded.
    const std::vector<FormTaken> &formsTaken() const { return m_formsTaken; }

private:
    RunOutcome run();
    RunOutcome::End execute();
    bool stampsEqual();
    bool isLocalStamp(const QString &sRemoteStamp);
    QString sourceOf(QLatin1StringView fixedPath) const;
    bool downloadManifest(std::optional<platform::PendingUrl> sent);
    bool downloadListedFiles(platform::filesystem::Replacement &installation);
    bool isAtHand(const ManifestEntry &entry, platform::filesystem::Replacement &installation, HashedFile &installed);
    void verifyDownload(const QString &remotePath, const QString &sLocalFilePath, const QString &localName = {});
    RunOutcome::End installAndFinish(platform::filesystem::Replacement &installation,
                                     std::optional<platform::PendingUrl> stampSent);

    std::int32_t download(const QString &sRemoteURL, const QString &sLocalFilePath,
                          platform::CacheUse cacheUse = platform::CacheUse::Revalidate);
    // A fixed path's file of the release read, over the request sent early
    // for it, if one was.
    std::int32_t downloadFixed(QLatin1StringView fixedPath, const QString &sLocalFilePath,
                               std::optional<platform::PendingUrl> sent);
    const DLOutcome &lastOutcome();
    bool workingFolderReaches(double bound);
    RunOutcome::End updateFailure();

    UpdateWindow &m_window;
    AppPaths m_paths;
    QString m_baseUrl;
    std::optional<release::KeyRing> m_publisherKey;
    // The release this run verified, in signed mode.
    std::optional<SignedRelease> m_release;
    std::vector<FormTaken> m_formsTaken;
    bool m_running = false;
    // The log of the run under way, from when it holds the folder.
    std::optional<RunLog> m_log;
    // The run's one input file; closed after each use and when the run ends.
    std::optional<platform::TextInput> iFileNum;
};

} // namespace update

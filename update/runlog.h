#pragma once

#include "apppaths.h"
#include "smallforms.h"
#include "updatewindow.h"

#include "platform/files/boundedlog.h"
#include "platform/net/transferobserver.h"
#include "release/keyring.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace update {

// The run's log for support, `Update.log` in the application folder: one
// UTF-8 line per event, after the local time with its UTC offset. It holds
// what support needs to tell why a run failed (the requests with curl's
// words and statuses, the refusals in full) and no personal data beyond the
// folder's path. While it lives it hears every transfer of the client whose
// observers it is given. A log that cannot be written changes nothing else.
class RunLog final : public platform::TransferObserver
{
public:
    // The log in `logFolder` in place of the application folder, when given.
    RunLog(const AppPaths &paths, platform::TransferObservers &transfers, const QString &logFolder = {});

    // Where the log goes when the application folder cannot hold it: the
    // user's own state folder ($XDG_STATE_HOME/updater, or
    // ~/.local/state/updater), made when missing.
    static QString userLogFolder();

    // Adds one line, straight to the file: none waits in a buffer when the
    // program ends at once. `event` is in the run's own words; what comes
    // from elsewhere goes in through the calls below, which escape it.
    void write(const QString &event);

    void started(const QString &baseUrl, const std::optional<release::KeyRing> &publisherKeys);
    void stampsCompared(const QString &remote, const QString &local, bool equal);
    // Files of the application folder, as full paths.
    // Which form a listed file came in, and what that saved.
    void formTaken(const FormTaken &taken);
    void installed(const QStringList &targets);
    void putBack(const QStringList &targets);
    // What an installation removed, and the folders it left as they still held something.
    void removed(const QStringList &targets, const QStringList &keptFolders);
    void ended(const RunOutcome &outcome);
    // The program ends in the middle of the run, at the user's word.
    void cancelled();

    void retryWaiting(const QString &url, const platform::Error &why, std::chrono::milliseconds wait) override;
    void retryStarted(const QString &url) override;
    void transferEnded(const platform::TransferReport &report) override;

private:
    QString nameOf(const QString &target) const;

    QString m_folder;
    platform::BoundedLog m_file;
    platform::ObserverRegistration m_registration;
    // Taken once: the zone's rules are not read again for every line.
    int m_utcOffset;
};

} // namespace update

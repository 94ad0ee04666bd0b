#pragma once

#include "platform/core/error.h"

#include <QString>

#include <optional>

namespace update {

// How an update run ended.
struct RunOutcome
{
    enum class End {
        UpToDate,      // the stamps are equal: nothing to update
        Installed,     // the release is installed and its stamp recorded
        UpdateFailure, // a download did not arrive whole
        Refused,       // an error ended the run: `error` says which
        FolderInUse,   // another run holds the application folder: nothing was done
        // The server holds no whole release yet (a signed piece it names is
        // missing, or a cache mixes generations): nothing was done, try later.
        BeingPublished,
    };

    End end;
    std::optional<platform::Error> error; // with End::Refused only
    // With End::UpdateFailure: why the download failed; none when it
    // arrived, only not whole.
    std::optional<platform::Error> downloadFailure = {};
};

// What the update run sees of its window.
class UpdateWindow
{
public:
    virtual ~UpdateWindow() = default;

    virtual void setStatusLine(const QString &text) = 0;
    // Adds text at the end of the list of downloaded files.
    virtual void appendToList(const QString &text) = 0;
    // The run has ended so; the window tells the user and closes or stays open.
    virtual void runEnded(const RunOutcome &outcome) = 0;
};

} // namespace update

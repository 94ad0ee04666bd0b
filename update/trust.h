#pragma once

#include "apppaths.h"
#include "filedigest.h"
#include "filedownload.h"
#include "smallforms.h"

#include "platform/files/replacement.h"
#include "platform/net/httpclient.h"
#include "release/keyring.h"

#include <QByteArray>
#include <QLatin1StringView>
#include <QString>

#include <memory>
#include <optional>

struct ManifestEntry;

namespace update {

// What a run trusts, asked at each step: where the release's files come
// from, whether a download is the right one, what is at hand already and
// what is kept for the next run. Unsigned, it trusts the network; signed, only
// what the publisher signed. One object serves one run. Every refusal raises
// the error that names the file.
class Trust
{
public:
    // The trust of a build with `keys` (signed), or without (unsigned).
    static std::unique_ptr<Trust> of(const std::optional<release::KeyRing> &keys, FileDownload &downloads,
                                     const AppPaths &paths, const QString &baseUrl);

    virtual ~Trust() = default;

    // Before the stamps are compared: what must travel beside the stamp's request leaves now.
    virtual void start() = 0;
    // The stamps are equal: nothing to update, unless that cannot be vouched for.
    virtual void confirmUpToDate() = 0;
    // Whether downloads need their digests.
    virtual bool checksDigests() const = 0;
    // The stamps differ: reads the release to install, and tells its own
    // stamp where it has one beside the stamp at the fixed path.
    virtual std::optional<QByteArray> readRelease() = 0;

    // Where the release's file at a fixed path (manifest or stamp) is read.
    virtual QString sourceOf(QLatin1StringView fixedPath) const = 0;
    // Sends the request for a fixed path's file now, where that saves a round trip.
    virtual void sendEarly(QLatin1StringView fixedPath) = 0;
    // The request for a fixed path's file that was sent early, if one was.
    virtual std::optional<platform::PendingUrl> takeSent(QLatin1StringView fixedPath) = 0;
    // A fixed path's file that the server answered with `httpStatus`: a
    // missing piece of a whole release is BeingPublished.
    virtual void requireFound(QLatin1StringView fixedPath, int httpStatus) const = 0;

    // Whether the downloaded manifest, of digest `sha256`, is the right one.
    virtual void verifyManifest(const QByteArray &sha256) = 0;
    // Whether the listed file may be installed at all.
    virtual void requireListed(const QString &remotePath) const = 0;
    // Whether a download of the remote path, of digest `sha256`, is the right one.
    virtual void verifyDownload(const QString &remotePath, const QByteArray &sha256) const = 0;
    // The check that the installation makes of the file `source` for the
    // remote path once it is staged: where downloads have digests, the file
    // is hashed again through the descriptor whose file is installed, so
    // that one rewritten since its download was checked is refused.
    platform::filesystem::Replacement::Check stagedCheck(const QString &remotePath, const QString &source) const;
    // Whether the listed file needs no download: installed already (nothing
    // to do), or left whole in the working folder by an earlier attempt
    // (added to the installation, with `check`). `installed` is the file as
    // it was hashed.
    virtual bool isAtHand(const ManifestEntry &entry, platform::filesystem::Replacement &installation,
                          HashedFile &installed, platform::filesystem::Replacement::Check check) = 0;
    // Whether the listed file will be downloaded whole as it is, known
    // before its turn without reading any file: its request may go ahead.
    virtual bool downloadsPlainly(const ManifestEntry &entry) const = 0;
    // The listed file rebuilt at `staged` from a smaller form; Plain when
    // there is none or none works.
    virtual FormTaken smallerForm(const QString &remotePath, const HashedFile &installed, const QString &target,
                                  const QString &staged) = 0;
    // Whether caches may answer for the remote path.
    virtual platform::CacheUse cacheUseOf(const QString &remotePath) const = 0;
    // Adds what the next run needs of this release to the installation.
    virtual void keep(platform::filesystem::Replacement &installation) = 0;
    // Adds the changes of the release's tree, if it has one, to the
    // installation: removals, links, modes, folders. `localNames` are the
    // manifest's, which must be the tree's files.
    virtual void changeTree(platform::filesystem::Replacement &installation, const QStringList &localNames) = 0;
    // Whether a part of the folder `folder` (a local name) is a file that
    // the installation removes first, as a folder takes its place.
    virtual bool removesOnTheWay(const QString &folder) = 0;
};

} // namespace update

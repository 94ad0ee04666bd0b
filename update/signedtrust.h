#pragma once

#include "smallfetch.h"
#include "trust.h"
#include "treechange.h"
#include "trustedset.h"

#include <map>

namespace update {

// A build with the publisher's keys installs only what the publisher signed.
// It fetches the signed pieces into memory, in the order that lets their
// round trips pass together, and gives their bytes to the trusted set, which
// decides; the files at hand and the smaller forms it checks against it.
class SignedTrust final : public Trust
{
public:
    SignedTrust(release::KeyRing keys, FileDownload &downloads, AppPaths paths, QString baseUrl);

    // The kept release is read; one that carries an expiry has the server's
    // signature requested at once, so that its round trip passes beside the stamp's.
    void start() override;
    void confirmUpToDate() override;
    bool checksDigests() const override { return true; }
    // Takes the signature, then fetches the index and the stamp of the
    // generation it names together; the manifest's request leaves with
    // theirs in a release's own folder.
    std::optional<QByteArray> readRelease() override;

    QString sourceOf(QLatin1StringView fixedPath) const override;
    void sendEarly(QLatin1StringView fixedPath) override;
    std::optional<platform::PendingUrl> takeSent(QLatin1StringView fixedPath) override;
    void requireFound(QLatin1StringView fixedPath, int httpStatus) const override;

    void verifyManifest(const QByteArray &sha256) override;
    void requireListed(const QString &remotePath) const override;
    void verifyDownload(const QString &remotePath, const QByteArray &sha256) const override;
    bool isAtHand(const ManifestEntry &entry, platform::filesystem::Replacement &installation,
                  HashedFile &installed, platform::filesystem::Replacement::Check check) override;
    bool downloadsPlainly(const ManifestEntry &entry) const override;
    FormTaken smallerForm(const QString &remotePath, const HashedFile &installed, const QString &target,
                          const QString &staged) override;
    platform::CacheUse cacheUseOf(const QString &remotePath) const override;
    // Writes the index and the signature into the working folder for the
    // installation to keep in the application folder: the reference against
    // which a later release may not be older.
    void keep(platform::filesystem::Replacement &installation) override;
    // With a kept tree that counts, what the new tree no longer lists goes.
    void changeTree(platform::filesystem::Replacement &installation, const QStringList &localNames) override;
    bool removesOnTheWay(const QString &folder) override;

private:
    void requestSignature();
    // The fixed path's file of the generation read, fetched into memory.
    SmallFetch fetch(QLatin1StringView fixedPath, qsizetype limit) const;
    QByteArray take(SmallFetch &fetch, QLatin1StringView fixedPath) const;
    const TreeChange *change();

    TrustedSet m_set;
    FileDownload &m_downloads;
    AppPaths m_paths;
    QString m_baseUrl;
    std::optional<SmallFetch> m_signature;
    std::map<QString, platform::PendingUrl> m_sent; // by fixed path
    std::optional<SmallForms> m_forms;
    // What the release's tree changes, once asked; none without a tree.
    std::optional<TreeChange> m_change;
};

} // namespace update

#pragma once

#include "trust.h"

namespace update {

// A build without the publisher's keys trusts the network: the fixed paths,
// every download as it arrived, each file downloaded whole and from the server.
class UnsignedTrust final : public Trust
{
public:
    void start() override {}
    void confirmUpToDate() override {}
    bool checksDigests() const override { return false; }
    std::optional<QByteArray> readRelease() override { return std::nullopt; }

    QString sourceOf(QLatin1StringView fixedPath) const override { return fixedPath; }
    void sendEarly(QLatin1StringView) override {}
    std::optional<platform::PendingUrl> takeSent(QLatin1StringView) override { return std::nullopt; }
    void requireFound(QLatin1StringView, int) const override {}

    void verifyManifest(const QByteArray &) override {}
    void requireListed(const QString &) const override {}
    void verifyDownload(const QString &, const QByteArray &) const override {}
    bool isAtHand(const ManifestEntry &, platform::filesystem::Replacement &, HashedFile &,
                  platform::filesystem::Replacement::Check) override
    {
        return false;
    }
    bool downloadsPlainly(const ManifestEntry &) const override { return true; }
    FormTaken smallerForm(const QString &, const HashedFile &, const QString &, const QString &) override
    {
        return {};
    }
    platform::CacheUse cacheUseOf(const QString &) const override { return platform::CacheUse::Revalidate; }
    void keep(platform::filesystem::Replacement &) override {}
    void changeTree(platform::filesystem::Replacement &, const QStringList &) override {}
    bool removesOnTheWay(const QString &) override { return false; }
};

} // namespace update

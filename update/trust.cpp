#include "signedtrust.h"
#include "unsignedtrust.h"

namespace update {

std::unique_ptr<Trust> Trust::of(const std::optional<release::KeyRing> &keys, FileDownload &downloads,
                                 const AppPaths &paths, const QString &baseUrl)
{
    if (!keys)
        return std::make_unique<UnsignedTrust>();
    return std::make_unique<SignedTrust>(*keys, downloads, paths, baseUrl);
}

platform::filesystem::Replacement::Check Trust::stagedCheck(const QString &remotePath, const QString &source) const
{
    if (!checksDigests())
        return {};
    return [this, remotePath, source](int fd) {
        verifyDownload(remotePath, sha256OfOpenFile(fd, source).value_or(QByteArray()));
    };
}

} // namespace update

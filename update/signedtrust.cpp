#include "signedtrust.h"

#include "platform/core/error.h"
#include "platform/files/bytestream.h"
#include "platform/files/filesystem.h"
#include "platform/files/replacement.h"
#include "platform/files/textinput.h"
#include "release/manifestline.h"
#include "release/sitelayout.h"

#include <QFileInfo>

namespace update {

using platform::Error;
using sitelayout::indexPath;
using sitelayout::stampPath;

SignedTrust::SignedTrust(release::KeyRing keys, FileDownload &downloads, AppPaths paths, QString baseUrl)
    : m_set(std::move(keys)), m_downloads(downloads), m_paths(std::move(paths)), m_baseUrl(std::move(baseUrl))
{
}

void SignedTrust::start()
{
    // Nothing kept is a first signed installation.
    try {
        m_set.loadKept(platform::readFileBytes(m_paths.file(sitelayout::keptIndex), sitelayout::largestIndex),
                       platform::readFileBytes(m_paths.file(sitelayout::keptSignature), sitelayout::largestSignature));
    } catch (const Error &) {
    }
    // A kept tree that cannot be read now is no reason to keep a dropped
    // file for ever: the run ends, and the next one reads it. One that is
    // missing or too large (no tree the kept index lists) counts as none.
    if (m_set.keptListsTree()) {
        try {
            m_set.loadKeptTree(platform::readFileBytes(m_paths.file(sitelayout::keptTree), sitelayout::largestTree));
        } catch (const Error &error) {
            if (error.code() != Error::Code::FileNotFound && error.code() != Error::Code::TooLarge)
                throw;
        }
    }
    if (m_set.keptExpires())
        requestSignature();
}

void SignedTrust::requestSignature()
{
    // Nothing is fetched beyond the size its parser takes.
    m_signature.emplace(m_downloads.client(), m_baseUrl + sitelayout::signaturePath, sitelayout::largestSignature);
}

void SignedTrust::confirmUpToDate()
{
    if (m_signature)
        m_set.confirmFresh(m_signature->take());
}

std::optional<QByteArray> SignedTrust::readRelease()
{
    if (!m_signature)
        requestSignature();
    m_set.updateSignature(m_signature->take());
    // The stamp travels beside the index; it is looked at only once the
    // index has verified.
    SmallFetch index = fetch(indexPath, sitelayout::largestIndex);
    SmallFetch stamp = fetch(stampPath, sitelayout::largestStamp);
    sendEarly(sitelayout::manifestPath);
    m_set.updateIndex(take(index, indexPath));
    // The tree is read from where the manifest is, once the index says there is one.
    std::optional<SmallFetch> tree;
    if (m_set.listsTree())
        tree.emplace(fetch(sitelayout::treePath, sitelayout::largestTree));
    m_set.updateStamp(take(stamp, stampPath));
    if (tree)
        m_set.updateTree(take(*tree, sitelayout::treePath));
    return m_set.stamp();
}

SmallFetch SignedTrust::fetch(QLatin1StringView fixedPath, qsizetype limit) const
{
    return SmallFetch(m_downloads.client(), m_baseUrl + sourceOf(fixedPath), limit);
}

QByteArray SignedTrust::take(SmallFetch &fetch, QLatin1StringView fixedPath) const
{
    try {
        return fetch.take();
    } catch (const Error &error) {
        if (error.code() == Error::Code::HttpStatus)
            requireFound(fixedPath, error.detail().toInt());
        throw;
    }
}

QString SignedTrust::sourceOf(QLatin1StringView fixedPath) const
{
    return m_set.generation().sourceOf(fixedPath);
}

// In the release's own folder, whose files never change, a file may be asked
// for as soon as that saves a round trip; the fixed paths are asked for when
// the run needs them.
void SignedTrust::sendEarly(QLatin1StringView fixedPath)
{
    if (!m_set.generation().isNamed())
        return;
    if (std::optional<platform::PendingUrl> sent = m_downloads.client().startUrl(m_baseUrl + sourceOf(fixedPath)))
        m_sent.emplace(fixedPath, std::move(*sent));
}

std::optional<platform::PendingUrl> SignedTrust::takeSent(QLatin1StringView fixedPath)
{
    const auto sent = m_sent.find(fixedPath);
    if (sent == m_sent.end())
        return std::nullopt;
    platform::PendingUrl request = std::move(sent->second);
    m_sent.erase(sent);
    return request;
}

void SignedTrust::requireFound(QLatin1StringView fixedPath, int httpStatus) const
{
    m_set.generation().requireFound(fixedPath, httpStatus);
}

void SignedTrust::verifyManifest(const QByteArray &sha256)
{
    m_set.updateManifest(sha256);
}

void SignedTrust::requireListed(const QString &remotePath) const
{
    m_set.release().requireListed(remotePath);
}

void SignedTrust::verifyDownload(const QString &remotePath, const QByteArray &sha256) const
{
    m_set.release().checkDigest(remotePath, sha256);
}

bool SignedTrust::isAtHand(const ManifestEntry &entry, platform::filesystem::Replacement &installation,
                           HashedFile &installed, platform::filesystem::Replacement::Check check)
{
    const QString target = m_paths.file(entry.sFileName);
    installed = HashedFile::at(target);
    if (m_set.release().provesDigest(entry.sRemotePath, installed.sha256))
        return true;
    // A leftover counts only if it is the updater's own, and the very file
    // that was hashed is the one installed.
    const QString leftover = m_paths.workingFile(entry.sFileName);
    platform::FileDescriptor own = platform::filesystem::openOwnFile(leftover);
    if (!own.isOpen() || !m_set.release().provesDigest(entry.sRemotePath, sha256OfOpenFile(own.get(), leftover)))
        return false;
    installation.add(std::move(own), leftover, target, std::move(check));
    return true;
}

// Certain without hashing only for a file that nothing at hand can stand
// for or be patched from, and that is offered in no compressed form.
bool SignedTrust::downloadsPlainly(const ManifestEntry &entry) const
{
    QByteArray digest;
    try {
        digest = m_set.release().requireListed(entry.sRemotePath);
    } catch (const Error &) {
        return false;
    }
    const auto nothingAt = [](const QString &path) {
        const QFileInfo found(path);
        return !found.exists() && !found.isSymLink();
    };
    return nothingAt(m_paths.file(entry.sFileName)) && nothingAt(m_paths.workingFile(entry.sFileName))
           && !m_set.release().index().digestOf(sitelayout::compressedForm(digest));
}

FormTaken SignedTrust::smallerForm(const QString &remotePath, const HashedFile &installed, const QString &target,
                                   const QString &staged)
{
    if (!m_forms)
        m_forms.emplace(m_set.release().index(), m_downloads, m_paths, m_baseUrl);
    return m_forms->fetch(m_set.release().requireListed(remotePath), installed, target, staged);
}

// A stored file named by its signed digest may come from any cache: no stale
// copy can stand under its name.
platform::CacheUse SignedTrust::cacheUseOf(const QString &remotePath) const
{
    return m_set.release().isContentAddressed(remotePath) ? platform::CacheUse::AllowCached
                                                          : platform::CacheUse::Revalidate;
}

void SignedTrust::keep(platform::filesystem::Replacement &installation)
{
    const SignedRelease &release = m_set.release();
    const std::pair<QLatin1StringView, const QByteArray *> files[] = {
        {sitelayout::keptIndex, &release.indexText()},
        {sitelayout::keptSignature, &release.signatureText()},
        {sitelayout::keptTree, &m_set.treeText()}};
    for (const auto &[name, text] : files) {
        // A release without a tree leaves none kept: the next run would
        // ignore it anyway, as the kept index does not list it.
        if (name == sitelayout::keptTree && !m_set.tree()) {
            installation.remove(m_paths.file(name));
            continue;
        }
        const QString staged = m_paths.workingFile(name);
        platform::ByteStream file(staged);
        file.write(text->constData(), std::size_t(text->size()));
        file.close();
        installation.add(staged, m_paths.file(name));
    }
}

const TreeChange *SignedTrust::change()
{
    if (!m_change && m_set.tree())
        m_change.emplace(m_set.keptTree(), *m_set.tree());
    return m_change ? &*m_change : nullptr;
}

void SignedTrust::changeTree(platform::filesystem::Replacement &installation, const QStringList &localNames)
{
    if (const TreeChange *treeChange = change()) {
        m_set.checkTreeMatches(localNames);
        treeChange->addTo(installation, m_paths.folder());
    }
}

bool SignedTrust::removesOnTheWay(const QString &folder)
{
    const TreeChange *treeChange = change();
    if (!treeChange)
        return false;
    QString walked;
    for (const QString &part : folder.split(QLatin1Char('/'))) {
        walked += (walked.isEmpty() ? QString() : QStringLiteral("/")) + part;
        if (treeChange->removesFile(walked))
            return true;
    }
    return false;
}

} // namespace update

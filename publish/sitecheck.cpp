#include "sitecheck.h"

#include "englishmessages.h"
#include "expiry.h"
#include "manifestlint.h"
#include "progress.h"
#include "sitereleases.h"
#include "sizelimits.h"
#include "zstdframes.h"
#include "platform/text/codepage.h"
#include "platform/core/error.h"
#include "platform/text/numbers.h"
#include "platform/net/httpclient.h"
#include "platform/net/httpprobe.h"
#include "release/minisignature.h"
#include "release/releaseindex.h"
#include "release/releasetree.h"
#include "release/sha256.h"
#include "release/sitelayout.h"

#include <QDateTime>
#include <QSet>

using platform::Error;

namespace publish {

namespace {

// A transfer that failed, in the publisher's words, then curl's.
QString failureText(const Error &error)
{
    const QString rule = error.code() == Error::Code::Certificate ? QStringLiteral("TLS connection failed")
                                                                  : englishRule(error.code());
    return error.detail().isEmpty() ? rule : rule + QStringLiteral(": ") + error.detail();
}

// Why a client would not take the response whole; empty when it would.
// `beyond` says why a body over the client's limit is refused.
QString problemOf(const platform::ProbeResponse &response, const QString &beyond)
{
    if (response.failure)
        return failureText(*response.failure);
    if (response.status != 200)
        return QStringLiteral("HTTP status %1").arg(response.status);
    if (response.overLimit) {
        // Stopped past its announced length: the body is longer than announced, not too large.
        if (response.contentLength && response.received > *response.contentLength)
            return QStringLiteral("body longer than announced (more than %1 bytes, %2 announced)")
                .arg(response.received)
                .arg(*response.contentLength);
        return beyond;
    }
    if (!response.contentLength)
        return response.chunked
                   ? QStringLiteral("no Content-Length (chunked transfer); the updater needs the size")
                   : QStringLiteral("no Content-Length; the updater needs the size");
    const std::int64_t announced = *response.contentLength;
    if (response.received < announced)
        return QStringLiteral("body shorter than announced (%1 of %2 bytes)").arg(response.received).arg(announced);
    if (response.received > announced)
        return QStringLiteral("body longer than announced (%1 bytes, %2 announced)").arg(response.received).arg(announced);
    return {};
}

// One response as check saw it.
struct Fetched
{
    platform::ProbeResponse response;
    QByteArray body;   // when asked for
    QByteArray sha256; // hex, of the body as received
    QString problem;   // why a client would not take it whole; empty when it would
};

// The most a client reads of one kind of file, and why it refuses more.
struct Limit
{
    std::int64_t bytes;
    QString beyond;
};

Limit smallFileLimit(std::int64_t bytes)
{
    return {bytes, englishRule(Error::Code::TooLarge)};
}

// A listed file or a smaller form: under 2 GiB.
Limit storedFileLimit()
{
    return {sitelayout::fileSizeLimit - 1, fileTooLargeRule()};
}

class SiteCheck
{
public:
    SiteCheck(QString baseUrl, const std::optional<release::PublicKey> &key, Progress &progress,
              const QHash<QString, QByteArray> &served)
        : m_baseUrl(std::move(baseUrl)), m_key(key), m_progress(progress), m_served(served)
    {
    }

    SiteCheckResult run();

private:
    enum class Body { Kept, Hashed };
    // One GET as probeUrl makes it, or the bytes a path is about to serve.
    platform::ProbeResponse probe(const QString &path, std::int64_t mostBytes,
                                  const std::function<void(QByteArrayView)> &takeBody);
    // Fetches as a client does, reading no more than it would; reports a problem.
    Fetched fetch(const QString &path, const Limit &limit, Body body);
    void report(const QString &path, const QString &rule) { m_result.problems.append(path + QStringLiteral(": ") + rule); }
    void between(const QString &path, const QString &reason) { m_result.publishing.append(path + QStringLiteral(": ") + reason); }
    // Whether the fixed index is the one in its own release's folder: of a
    // release whose publication has got as far as its index.
    bool isPublishedIndex(const Fetched &index);
    bool servesSignature();
    void checkStamp();
    std::optional<release::ReleaseIndex> checkSignedIndex();
    void checkExpiry(const release::Signature &signature, qint64 timestamp);
    void checkReleaseCopies(const QByteArray &indexDigest, const release::ReleaseIndex &index);
    // The tree that clients read with the release: its digest, its rules,
    // and its files the local names of `manifest`.
    void checkTree(const QByteArray &manifest);
    void checkFile(const QString &remotePath);
    // A compressed form or patch that the index offers: it must rebuild the
    // file its name claims, a patch from the older file the site stores.
    void checkSmallForm(const QByteArray &path);
    // Whether the response is whole and has the digest the index lists;
    // reports it when not.
    bool checkDigest(const QString &path, const Fetched &fetched);

    QString m_baseUrl;
    const std::optional<release::PublicKey> &m_key;
    Progress &m_progress;
    const QHash<QString, QByteArray> &m_served;
    const platform::CodePage &m_codePage = platform::CodePage::deployment();
    platform::HttpClient m_client{m_codePage};
    release::Sha256 m_sha256;
    std::optional<release::ReleaseIndex> m_index;
    QByteArray m_named;        // the index digest the signature names; empty: the fixed paths
    QByteArray m_releaseStamp; // the stamp in the named release's folder
    std::optional<QByteArray> m_releaseTree; // the tree there, where the index lists one and it arrived whole
    bool m_previousStamp = false; // the fixed stamp is of an earlier release
    SiteCheckResult m_result;
};

platform::ProbeResponse SiteCheck::probe(const QString &path, std::int64_t mostBytes,
                                         const std::function<void(QByteArrayView)> &takeBody)
{
    const auto served = m_served.constFind(path);
    if (served == m_served.constEnd())
        return platform::probeUrl(m_client, m_baseUrl + path, mostBytes, takeBody);
    platform::ProbeResponse response;
    response.status = 200;
    response.contentLength = served->size();
    response.received = std::min<std::int64_t>(served->size(), mostBytes);
    response.overLimit = served->size() > mostBytes;
    takeBody(QByteArrayView(*served).first(response.received));
    return response;
}

Fetched SiteCheck::fetch(const QString &path, const Limit &limit, Body body)
{
    Fetched fetched;
    m_progress.begin(QStringLiteral("fetching"), path, 0);
    qint64 done = 0;
    fetched.response = probe(path, limit.bytes, [&](QByteArrayView piece) {
        m_sha256.addData(piece);
        if (body == Body::Kept)
            fetched.body += piece;
        m_progress.advance(done += piece.size());
    });
    m_progress.end();
    fetched.sha256 = m_sha256.hexResult();
    fetched.problem = problemOf(fetched.response, limit.beyond);
    if (!fetched.problem.isEmpty())
        report(path, fetched.problem);
    return fetched;
}

bool SiteCheck::checkDigest(const QString &path, const Fetched &fetched)
{
    // A response that is no whole file has been reported already.
    if (!m_index || !fetched.problem.isEmpty())
        return fetched.problem.isEmpty();
    const auto digest = m_index->digestOf(m_codePage.encode(path));
    if (!digest)
        report(path, englishRule(Error::Code::NotInIndex));
    else if (*digest != fetched.sha256)
        report(path, englishRule(Error::Code::DigestMismatch));
    return digest == fetched.sha256;
}

bool SiteCheck::servesSignature()
{
    // Asked for its presence only: a problem of the signature is no problem
    // of a check without the key.
    const auto response = probe(QString(sitelayout::signaturePath), sitelayout::largestSignature, [](QByteArrayView) {});
    return !response.failure && response.status == 200;
}

void SiteCheck::checkStamp()
{
    const QString path = QString(sitelayout::stampPath);
    const Fetched stamp = fetch(path, smallFileLimit(sitelayout::largestStamp), Body::Kept);
    if (stamp.response.failure || stamp.response.status != 200 || stamp.response.overLimit)
        return;
    const QString text = m_codePage.decode(stamp.body);
    m_result.version = text.trimmed();
    if (platform::numbers::valueOf(text) == 0)
        report(path, QStringLiteral("the stamp has no number (it reads as 0)"));
    // Where the signature names its release, clients whose stamp is not the
    // fixed one take that release whole; a lower number than its own is the
    // earlier release's stamp, which the publication renames last.
    m_previousStamp = stamp.problem.isEmpty() && !m_releaseStamp.isEmpty()
        && m_index->digestOf(m_codePage.encode(path)) != stamp.sha256
        && platform::numbers::valueOf(text) < platform::numbers::valueOf(m_codePage.decode(m_releaseStamp));
    if (m_previousStamp)
        between(path, QStringLiteral("the stamp of an earlier release than the signature names"));
    else
        checkDigest(path, stamp);
}

std::optional<release::ReleaseIndex> SiteCheck::checkSignedIndex()
{
    const QString indexPath = QString(sitelayout::indexPath);
    const QString signaturePath = QString(sitelayout::signaturePath);
    const Fetched index = fetch(indexPath, smallFileLimit(sitelayout::largestIndex), Body::Kept);
    const Fetched signature = fetch(signaturePath, smallFileLimit(sitelayout::largestSignature), Body::Kept);
    if (!index.problem.isEmpty() || !signature.problem.isEmpty())
        return std::nullopt;
    try {
        const release::Signature parsed = release::Signature::parse(signature.body, signaturePath);
        // Clients led to the release's folder read the index there; the
        // fixed one may be the next release's, renamed before its signature.
        QByteArray signedIndex = index.body;
        const std::optional<QByteArray> named = parsed.commentField("index");
        if (named && release::isSha256Hex(*named) && *named != index.sha256 && isPublishedIndex(index)) {
            const QString copyPath = QString::fromLatin1(sitelayout::releaseCopy(*named, sitelayout::indexPath));
            const Fetched copy = fetch(copyPath, smallFileLimit(sitelayout::largestIndex), Body::Kept);
            if (!copy.problem.isEmpty())
                return std::nullopt;
            signedIndex = copy.body;
            between(indexPath, QStringLiteral("of another release than the signature names"));
        }
        m_key->verify(signedIndex, parsed, signaturePath);
        checkExpiry(parsed, parsed.acceptedTimestamp(QDateTime::currentSecsSinceEpoch(), signaturePath));
        release::ReleaseIndex parsedIndex = release::ReleaseIndex::parse(signedIndex, indexPath);
        if (const auto indexDigest = parsed.commentField("index"))
            checkReleaseCopies(*indexDigest, parsedIndex);
        m_result.signature = SiteCheckResult::Signature::Checked;
        return parsedIndex;
    } catch (const Error &error) {
        m_result.problems.append(englishLine(error));
        return std::nullopt;
    }
}

void SiteCheck::checkExpiry(const release::Signature &signature, qint64 timestamp)
{
    const QString path = QString(sitelayout::signaturePath);
    const std::optional<qint64> expires = signature.expiry(path);
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    if (signature.expiredAt(now, path))
        report(path, englishRule(Error::Code::ExpiredRelease));
    else if (expires && expiry::isNear(now, timestamp, *expires))
        m_result.warnings.append(
            path + QStringLiteral(": expires at %1, in %2 hour(s); renew it with 'updater-publish resign'")
                       .arg(expiry::timeText(*expires))
                       .arg((*expires - now) / 3600));
}

// The release's folder that the signature names, which signed clients read:
// each copy there, with the digest the index gives its fixed path.
void SiteCheck::checkReleaseCopies(const QByteArray &indexDigest, const release::ReleaseIndex &index)
{
    if (!release::isSha256Hex(indexDigest)) {
        report(QString(sitelayout::signaturePath),
               QStringLiteral("'index:' in the trusted comment is not a SHA-256 (64 lower-case hex digits)"));
        return;
    }
    const std::pair<QLatin1StringView, std::int64_t> copies[] = {{sitelayout::indexPath, sitelayout::largestIndex},
                                                                 {sitelayout::manifestPath, sitelayout::largestManifest},
                                                                 {sitelayout::stampPath, sitelayout::largestStamp},
                                                                 {sitelayout::treePath, sitelayout::largestTree}};
    for (const auto &[fixedPath, limit] : copies) {
        if (fixedPath == sitelayout::treePath && !index.digestOf(fixedPath.latin1()))
            continue; // a release that declares no tree
        const QString path = QString::fromLatin1(sitelayout::releaseCopy(indexDigest, fixedPath));
        const Fetched copy = fetch(path, smallFileLimit(limit), Body::Kept);
        if (!copy.problem.isEmpty())
            continue;
        if (fixedPath == sitelayout::indexPath ? copy.sha256 != indexDigest
                                               : index.digestOf(fixedPath.latin1()) != copy.sha256)
            report(path, englishRule(Error::Code::DigestMismatch));
        else if (fixedPath == sitelayout::stampPath)
            m_releaseStamp = copy.body;
        else if (fixedPath == sitelayout::treePath)
            m_releaseTree = copy.body;
    }
    m_named = indexDigest;
}

bool SiteCheck::isPublishedIndex(const Fetched &index)
{
    const QString path = QString::fromLatin1(sitelayout::releaseCopy(index.sha256, sitelayout::indexPath));
    release::Sha256 sha256;
    const platform::ProbeResponse copy =
        probe(path, sitelayout::largestIndex, [&](QByteArrayView piece) { sha256.addData(piece); });
    return !copy.failure && copy.status == 200 && !copy.overLimit && sha256.hexResult() == index.sha256;
}

void SiteCheck::checkTree(const QByteArray &manifest)
{
    QString path = QString(sitelayout::treePath);
    QByteArray text;
    if (!m_named.isEmpty()) {
        // What the release's folder holds was checked with it.
        path = QString::fromLatin1(sitelayout::releaseCopy(m_named, sitelayout::treePath));
        if (!m_releaseTree)
            return;
        text = *m_releaseTree;
    } else {
        const Fetched tree = fetch(path, smallFileLimit(sitelayout::largestTree), Body::Kept);
        if (!checkDigest(path, tree))
            return;
        text = tree.body;
    }
    std::optional<release::ReleaseTree> tree;
    try {
        tree = release::ReleaseTree::parse(text, path);
    } catch (const Error &error) {
        m_result.problems.append(englishLine(error));
        return;
    }
    QStringList names;
    for (const ManifestEntry &entry : manifestEntries(manifest, m_codePage))
        names << entry.localName();
    try {
        tree->checkMatchesManifest(names);
    } catch (const Error &error) {
        report(path, QStringLiteral("its files are not the manifest's local names: %1 is in one, not in the other; "
                                    "clients refuse the release")
                         .arg(error.subject()));
        return;
    }
    SiteCheckResult::Tree found;
    for (const release::TreeEntry &entry : tree->entries()) {
        found.links += entry.kind == release::TreeEntry::Kind::Link;
        found.executables += entry.kind == release::TreeEntry::Kind::File && (entry.mode & 0111);
    }
    found.folders = tree->folders().size();
    m_result.tree = found;
}

void SiteCheck::checkFile(const QString &remotePath)
{
    const Fetched file = fetch(remotePath, storedFileLimit(), Body::Hashed);
    checkDigest(remotePath, file);
    ++m_result.files;
    m_result.bytes += file.response.received;
}

void SiteCheck::checkSmallForm(const QByteArray &path)
{
    const QString shown = QString::fromLatin1(path);
    const QList<QByteArray> digests =
        path.sliced(sitelayout::compressedFolder.size() + 1).chopped(path.endsWith(".zst") ? 4 : 0).split('-');
    if (!path.endsWith(".zst") || digests.size() > 2
        || !std::all_of(digests.cbegin(), digests.cend(), release::isSha256Hex)) {
        report(shown, QStringLiteral("not the name of a smaller form (<SHA-256>.zst or <SHA-256>-<SHA-256>.zst)"));
        return;
    }
    const Limit limit = storedFileLimit();
    ++m_result.smallForms;
    const Fetched form = fetch(shown, limit, Body::Kept);
    if (!checkDigest(shown, form))
        return;
    Fetched older;
    if (digests.size() == 2) {
        const QString olderPath = QString::fromLatin1(sitelayout::storedFile(digests.first()));
        older = fetch(olderPath, limit, Body::Kept);
        if (!older.problem.isEmpty())
            return;
        if (older.sha256 != digests.first()) {
            report(olderPath, QStringLiteral("SHA-256 differs from the one its name gives, so the patch %1 cannot "
                                             "be checked").arg(shown));
            return;
        }
    }
    try {
        if (zstdframes::decodedDigest(form.body, older.body, shown) != digests.last())
            report(shown, QStringLiteral("rebuilds a file whose SHA-256 differs from the one its name claims"));
    } catch (const Error &error) {
        m_result.problems.append(englishLine(error));
    }
}

SiteCheckResult SiteCheck::run()
{
    if (m_key) {
        m_result.signature = SiteCheckResult::Signature::Refused;
        m_index = checkSignedIndex();
    } else if (servesSignature()) {
        m_result.signature = SiteCheckResult::Signature::NotChecked;
    }
    checkStamp();
    const Limit manifestLimit{sitelayout::largestManifest,
                              QStringLiteral("larger than 8 MiB, the most the updater reads")};
    QString manifestPath = QString(sitelayout::manifestPath);
    Fetched manifest = fetch(manifestPath, manifestLimit, Body::Kept);
    // Renamed before the stamp, the earlier release's manifest may stand
    // beside its stamp; clients read the one in the release's folder.
    if (m_previousStamp && manifest.problem.isEmpty()
        && m_index->digestOf(sitelayout::manifestPath.latin1()) != manifest.sha256) {
        between(manifestPath, QStringLiteral("of an earlier release than the signature names"));
        manifestPath = QString::fromLatin1(sitelayout::releaseCopy(m_named, sitelayout::manifestPath));
        manifest = fetch(manifestPath, manifestLimit, Body::Kept);
    }
    if (!manifest.problem.isEmpty())
        return m_result;
    if (manifest.response.received == 0) {
        report(manifestPath, QStringLiteral("empty; the updater refuses an empty manifest"));
        return m_result;
    }
    if (manifestPath == QString(sitelayout::manifestPath))
        checkDigest(manifestPath, manifest);
    const ManifestLint lint = lintManifest(manifest.body, m_codePage);
    m_result.problems += lint.problems;
    // A tree is checked against the manifest of its own release; another
    // manifest has been reported already.
    if (m_index && m_index->digestOf(sitelayout::treePath.latin1())
        && m_index->digestOf(sitelayout::manifestPath.latin1()) == manifest.sha256)
        checkTree(manifest.body);
    QSet<QString> fetched;
    for (const QString &remotePath : lint.remotePaths) {
        if (!fetched.contains(remotePath)) {
            fetched.insert(remotePath);
            checkFile(remotePath);
        }
    }
    const QByteArray formsFolder = sitelayout::compressedFolder.latin1() + QByteArray("/");
    if (m_index) {
        for (const release::ReleaseIndex::Entry &entry : m_index->entries()) {
            if (entry.path.startsWith(formsFolder))
                checkSmallForm(entry.path);
        }
    }
    return m_result;
}

} // namespace

SiteCheckResult checkSite(const QString &baseUrl, const std::optional<release::PublicKey> &key, Progress &progress,
                          const QHash<QString, QByteArray> &served)
{
    return SiteCheck(baseUrl, key, progress, served).run();
}

} // namespace publish

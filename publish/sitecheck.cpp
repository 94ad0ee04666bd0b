#include "sitecheck.h"

#include "englishmessages.h"
#include "httpfetch.h"
#include "progress.h"
#include "releaseplan.h"
#include "platform/text/codepage.h"
#include "platform/core/error.h"
#include "platform/text/numbers.h"
#include "platform/net/requesturl.h"
#include "platform/files/textinput.h"
#include "release/minisignature.h"
#include "release/releaseindex.h"
#include "release/manifestline.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryFile>

using platform::Error;

namespace {

// Text for a one-line report: control characters as escapes.
QString printable(const QString &text)
{
    QString shown;
    for (const QChar c : text) {
        if (c == QLatin1Char('\n'))
            shown += QStringLiteral("\\n");
        else if (c == QLatin1Char('\r'))
            shown += QStringLiteral("\\r");
        else if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            shown += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown;
}

// Why the updater refuses a manifest line, for the report: the updater's own
// split decides; this only names the likely cause.
QString refusalReason(const QString &line)
{
    const qsizetype word = line.indexOf(QLatin1String("name"));
    if (word < 5)
        return QStringLiteral("the updater refuses this line: no 'name' after four characters of lead, a remote "
                              "path and one separator");
    if (line.size() <= word + 4)
        return QStringLiteral("the updater refuses this line: nothing after 'name'");
    const QString local = line.mid(word + 5);
    const QString refused = QStringLiteral("the updater refuses the local name '%1'").arg(printable(local));
    if (std::any_of(local.cbegin(), local.cend(), [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; }))
        return refused + QStringLiteral(": it holds line breaks or other control characters");
    if (const QString own = collidingUpdaterFile(local); !own.isEmpty())
        return refused + QStringLiteral(": it is the updater's own file %1").arg(own);
    if (local.contains(QLatin1Char('/')) || local.contains(QLatin1Char('\\')))
        return refused + QStringLiteral(": it holds a folder part ('name' inside the remote path?)");
    return refused;
}

class SiteCheck
{
public:
    SiteCheck(QString baseUrl, const std::optional<release::PublicKey> &key, Progress &progress)
        : m_baseUrl(std::move(baseUrl)), m_key(key), m_progress(progress)
    {
    }

    SiteCheckResult run();

private:
    HttpFetch fetch(const QString &path, qint64 keepLimit);
    void report(const QString &path, const QString &rule) { m_result.problems.append(path + QStringLiteral(": ") + rule); }
    void checkStamp();
    std::optional<release::ReleaseIndex> checkSignedIndex();
    // The remote paths of the lines that the updater reads as meant.
    QStringList checkManifest(const HttpFetch &manifest);
    void checkFile(const QString &remotePath);
    void checkDigest(const QString &path, const HttpFetch &fetch);

    QString m_baseUrl;
    const std::optional<release::PublicKey> &m_key;
    Progress &m_progress;
    const platform::CodePage &m_codePage = platform::CodePage::deployment();
    std::optional<release::ReleaseIndex> m_index;
    SiteCheckResult m_result;
};

HttpFetch SiteCheck::fetch(const QString &path, qint64 keepLimit)
{
    m_progress.begin(QStringLiteral("fetching"), path, 0);
    HttpFetch fetch = httpGet(platform::requestUrl(m_baseUrl + path, m_codePage), keepLimit,
                              [&](qint64 done) { m_progress.advance(done); });
    m_progress.end();
    if (const QString problem = fetch.problem(); !problem.isEmpty())
        report(path, problem);
    return fetch;
}

void SiteCheck::checkDigest(const QString &path, const HttpFetch &fetch)
{
    // A response that is no whole file has been reported already.
    if (!m_index || !fetch.problem().isEmpty())
        return;
    const auto digest = m_index->digestOf(m_codePage.encode(path));
    if (!digest)
        report(path, englishRule(Error::Code::NotInIndex));
    else if (*digest != fetch.sha256)
        report(path, englishRule(Error::Code::DigestMismatch));
}

void SiteCheck::checkStamp()
{
    const QString path = QString(sitelayout::stampPath);
    const HttpFetch stamp = fetch(path, sitelayout::largestStamp);
    if (!stamp.failure.isEmpty() || stamp.status != 200)
        return;
    if (stamp.received > sitelayout::largestStamp) {
        report(path, englishRule(Error::Code::TooLarge));
        return;
    }
    const QString text = m_codePage.decode(stamp.body);
    m_result.version = text.trimmed();
    if (platform::numbers::valueOf(text) == 0)
        report(path, QStringLiteral("the stamp has no number (it reads as 0)"));
    checkDigest(path, stamp);
}

std::optional<release::ReleaseIndex> SiteCheck::checkSignedIndex()
{
    const QString indexPath = QString(sitelayout::indexPath);
    const QString signaturePath = QString(sitelayout::signaturePath);
    const HttpFetch index = fetch(indexPath, sitelayout::largestIndex);
    const HttpFetch signature = fetch(signaturePath, sitelayout::largestSignature);
    if (!index.problem().isEmpty() || !signature.problem().isEmpty())
        return std::nullopt;
    // What a client refuses to hold in memory.
    if (index.received > sitelayout::largestIndex || signature.received > sitelayout::largestSignature) {
        report(index.received > sitelayout::largestIndex ? indexPath : signaturePath,
               englishRule(Error::Code::TooLarge));
        return std::nullopt;
    }
    try {
        const release::Signature parsed = release::Signature::parse(signature.body, signaturePath);
        m_key->verify(index.body, parsed, signaturePath);
        parsed.acceptedTimestamp(QDateTime::currentSecsSinceEpoch(), signaturePath);
        return release::ReleaseIndex::parse(index.body, indexPath);
    } catch (const Error &error) {
        m_result.problems.append(englishLine(error));
        return std::nullopt;
    }
}

QStringList SiteCheck::checkManifest(const HttpFetch &manifest)
{
    const QString path = QString(sitelayout::manifestPath);
    const QByteArray &bytes = manifest.body;
    for (qsizetype at = bytes.indexOf('\n'); at >= 0; at = bytes.indexOf('\n', at + 1)) {
        if (at == 0 || bytes[at - 1] != '\r') {
            report(path, QStringLiteral("LF-only line ends; the updater ends lines at CR or CRLF only, so it reads "
                                        "the lines as one"));
            break;
        }
    }
    // Read exactly as the updater reads it.
    QTemporaryFile file;
    if (!file.open() || file.write(bytes) != bytes.size() || !file.flush())
        throw Error(Error::Code::FileAccess, file.fileName(), QStringLiteral("cannot write a temporary file"));
    platform::TextInput input(file.fileName(), m_codePage);
    static const QRegularExpression separatedWord(QStringLiteral("\\sname\\s"));
    QStringList remotePaths;
    for (int number = 1; !input.atEnd(); ++number) {
        const QString line = input.readLine();
        const QString where = path + QStringLiteral(" line %1").arg(number);
        if (line.isEmpty()) {
            report(where, QStringLiteral("blank line; the updater stops the update there"));
            continue;
        }
        if (line.contains(QChar::ReplacementCharacter)) {
            report(where, QStringLiteral("bytes that the code page %1 cannot decode")
                              .arg(QString::fromLatin1(m_codePage.name())));
            continue;
        }
        ManifestEntry entry;
        try {
            entry = splitManifestLine(line);
        } catch (const Error &) {
            report(where, refusalReason(line));
            continue;
        }
        if (entry.sFileName.contains(separatedWord)) {
            report(where, QStringLiteral("the updater splits at the first 'name' and reads remote path '%1' and "
                                         "local name '%2' ('name' inside the remote path?)")
                              .arg(printable(entry.sRemotePath), printable(entry.sFileName)));
            continue;
        }
        remotePaths.append(entry.sRemotePath);
    }
    return remotePaths;
}

void SiteCheck::checkFile(const QString &remotePath)
{
    const HttpFetch file = fetch(remotePath, 0);
    if (file.failure.isEmpty() && file.received >= sitelayout::fileSizeLimit)
        report(remotePath, QStringLiteral("2 GiB or larger; the updater counts sizes in signed 32 bits"));
    checkDigest(remotePath, file);
    ++m_result.files;
    m_result.bytes += file.received;
}

SiteCheckResult SiteCheck::run()
{
    if (m_key)
        m_index = checkSignedIndex();
    checkStamp();
    const HttpFetch manifest = fetch(QString(sitelayout::manifestPath), sitelayout::largestManifest);
    if (!manifest.problem().isEmpty())
        return m_result;
    if (manifest.received > sitelayout::largestManifest) {
        report(QString(sitelayout::manifestPath), QStringLiteral("larger than 8 MiB, the most the updater reads"));
        return m_result;
    }
    if (manifest.received == 0) {
        report(QString(sitelayout::manifestPath), QStringLiteral("empty; the updater refuses an empty manifest"));
        return m_result;
    }
    checkDigest(QString(sitelayout::manifestPath), manifest);
    QSet<QString> fetched;
    for (const QString &remotePath : checkManifest(manifest)) {
        if (!fetched.contains(remotePath)) {
            fetched.insert(remotePath);
            checkFile(remotePath);
        }
    }
    return m_result;
}

} // namespace

SiteCheckResult checkSite(const QString &baseUrl, const std::optional<release::PublicKey> &key, Progress &progress)
{
    return SiteCheck(baseUrl, key, progress).run();
}

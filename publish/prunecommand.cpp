#include "commandline.h"

#include "sitereleases.h"
#include "sitewriter.h"
#include "platform/core/error.h"
#include "release/releaseindex.h"
#include "release/sha256.h"
#include "release/sitelayout.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QLocale>
#include <QSet>

#include <optional>

using platform::Error;

namespace publish {

namespace {

std::optional<QByteArray> readCurrent(const QString &site, QLatin1StringView path, qint64 limit)
{
    QFile file(site + QLatin1Char('/') + path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.read(limit);
}

// What must stay: every path a kept release lists, the older file of each
// patch it lists (so that check can rebuild the patch), the kept release
// folders, and whatever the fixed index and manifest name.
class Keep
{
public:
    void listRelease(const SiteRelease &release)
    {
        m_folders.insert(release.indexDigest);
        for (const QByteArray &path : release.listed)
            listPath(path);
    }
    void listPath(const QByteArray &path)
    {
        m_paths.insert(path);
        const QByteArray forms = sitelayout::compressedFolder.latin1() + QByteArray("/");
        if (path.startsWith(forms) && path.contains('-'))
            m_paths.insert(sitelayout::storedFile(path.sliced(forms.size()).split('-').constFirst()));
    }
    bool keeps(const QByteArray &path) const
    {
        const QByteArray releases = sitelayout::releasesFolder.latin1() + QByteArray("/");
        if (path.startsWith(releases))
            return m_folders.contains(path.sliced(releases.size()).split('/').constFirst());
        return m_paths.contains(path);
    }

private:
    QSet<QByteArray> m_paths;
    QSet<QByteArray> m_folders;
};

int prune(const QString &siteOption, qsizetype keepReleases, bool dryRun)
{
    const QString site = commandline::siteRoot(siteOption);
    const platform::CodePage &codePage = platform::CodePage::deployment();
    // The lock: no release is published while files go.
    std::optional<SiteWriter> writer;
    if (!dryRun)
        writer.emplace(site);

    const std::optional<QByteArray> manifest = readCurrent(site, sitelayout::manifestPath, sitelayout::largestManifest);
    if (!manifest)
        throw Error(Error::Code::FileNotFound, site + QLatin1Char('/') + sitelayout::manifestPath,
                    QStringLiteral("the site serves no release, so nothing is known to be unused"));
    Keep keep;
    for (const ManifestEntry &entry : manifestEntries(*manifest, codePage))
        keep.listPath(codePage.encode(entry.remotePath()));
    QByteArray currentIndex;
    if (const auto index = readCurrent(site, sitelayout::indexPath, sitelayout::largestIndex)) {
        const release::ReleaseIndex parsed =
            release::ReleaseIndex::parse(*index, site + QLatin1Char('/') + sitelayout::indexPath);
        for (const release::ReleaseIndex::Entry &entry : parsed.entries())
            keep.listPath(entry.path);
        release::Sha256 sha;
        sha.addData(*index);
        currentIndex = sha.hexResult();
    }
    const QList<SiteRelease> releases = siteReleases(site, codePage);
    qsizetype kept = 0;
    for (qsizetype i = 0; i < releases.size(); ++i) {
        if (i < keepReleases || releases[i].indexDigest == currentIndex) {
            keep.listRelease(releases[i]);
            ++kept;
        }
    }

    QList<QByteArray> unused;
    qint64 bytes = 0;
    for (const QLatin1StringView folder : {QLatin1StringView("KVTA/ZE/files"), sitelayout::compressedFolder,
                                           sitelayout::releasesFolder}) {
        QDirIterator it(site + QLatin1Char('/') + folder, QDir::Files | QDir::Hidden | QDir::System,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const QByteArray relative = QFile::encodeName(QDir(site).relativeFilePath(path));
            if (!keep.keeps(relative)) {
                unused.append(relative);
                bytes += it.fileInfo().size();
            }
        }
    }
    std::sort(unused.begin(), unused.end());
    for (const QByteArray &path : std::as_const(unused)) {
        commandline::printOut((dryRun ? QStringLiteral("would remove ") : QStringLiteral("remove "))
                              + QFile::decodeName(path));
        if (writer)
            writer->removeFile(path);
    }
    if (writer)
        writer->commit();
    commandline::printOut(QStringLiteral("%1 %2 files, %3 bytes; %4 releases kept")
                              .arg(dryRun ? QStringLiteral("Would remove") : QStringLiteral("Removed"))
                              .arg(unused.size())
                              .arg(QLocale(QLocale::English).toString(bytes))
                              .arg(kept));
    return commandline::Success;
}

} // namespace

int runPrune(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Removes from the server tree ROOT the stored files, smaller forms and release folders that no kept "
        "release lists: the N newest releases by stamp and the one the site serves. What the site's manifest "
        "and index name always stays. Lists each file before it goes."));
    const QCommandLineOption site = commandline::siteOption();
    const QCommandLineOption keepReleases(QStringLiteral("keep-releases"),
                                          QStringLiteral("How many of the newest releases keep their files."),
                                          QStringLiteral("N"));
    const QCommandLineOption dryRun(QStringLiteral("dry-run"), QStringLiteral("Only list what would go."));
    parser.addOptions({site, keepReleases, dryRun});
    if (const auto done = commandline::parse(parser, arguments, 0))
        return *done;
    if (!parser.isSet(site) || !parser.isSet(keepReleases))
        return commandline::usageError(parser, QStringLiteral("--site and --keep-releases are required"));
    bool read = false;
    const int keep = parser.value(keepReleases).toInt(&read);
    if (!read || keep < 0)
        return commandline::usageError(parser, QStringLiteral("--keep-releases takes a number, 0 or more"));
    return prune(parser.value(site), keep, parser.isSet(dryRun));
}

} // namespace publish

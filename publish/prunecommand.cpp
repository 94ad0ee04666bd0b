#include "commandline.h"

#include "englishmessages.h"
#include "keptpaths.h"
#include "s3store.h"
#include "sitereleases.h"
#include "sitewriter.h"
#include "storeoptions.h"
#include "platform/core/error.h"
#include "release/releaseindex.h"
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

Error servesNoRelease(const QString &manifest)
{
    return Error(Error::Code::FileNotFound, manifest,
                 QStringLiteral("the site serves no release, so nothing is known to be unused"));
}

// Lists each path before `remove` takes it, then the summary.
void removeUnused(QList<QByteArray> unused, qint64 bytes, qsizetype kept, bool dryRun,
                  const std::function<void(const QByteArray &)> &remove)
{
    std::sort(unused.begin(), unused.end());
    for (const QByteArray &path : std::as_const(unused)) {
        commandline::printOut((dryRun ? QStringLiteral("would remove ") : QStringLiteral("remove "))
                              + QFile::decodeName(path));
        if (!dryRun)
            remove(path);
    }
    commandline::printOut(QStringLiteral("%1 %2 files, %3 bytes; %4 releases kept")
                              .arg(dryRun ? QStringLiteral("Would remove") : QStringLiteral("Removed"))
                              .arg(unused.size())
                              .arg(QLocale(QLocale::English).toString(bytes))
                              .arg(kept));
}

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
        throw servesNoRelease(site + QLatin1Char('/') + sitelayout::manifestPath);
    const KeptPaths keep(*manifest, readCurrent(site, sitelayout::indexPath, sitelayout::largestIndex),
                         site + QLatin1Char('/') + sitelayout::indexPath, siteReleases(site, codePage), keepReleases,
                         codePage);

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
    removeUnused(unused, bytes, keep.keptReleases(), dryRun, [&](const QByteArray &path) { writer->removeFile(path); });
    if (writer)
        writer->commit();
    return commandline::Success;
}

// The same rules on a store: what its fixed paths and release folders name
// stays. Run after the upload, so that the entry point is in place.
int pruneStore(const S3Location &location, qsizetype keepReleases, bool dryRun)
{
    const platform::CodePage &codePage = platform::CodePage::deployment();
    S3Store store(location, s3Credentials());
    const QHash<QByteArray, std::int64_t> objects = store.list();
    const std::optional<QByteArray> manifest =
        store.get(sitelayout::manifestPath.latin1(), sitelayout::largestManifest);
    if (!manifest)
        throw servesNoRelease(location.shown() + QLatin1Char('/') + sitelayout::manifestPath);

    QSet<QByteArray> digests;
    const QByteArray releasesFolder = sitelayout::releasesFolder.latin1() + QByteArray("/");
    for (auto it = objects.cbegin(); it != objects.cend(); ++it) {
        if (it.key().startsWith(releasesFolder))
            digests.insert(it.key().sliced(releasesFolder.size()).split('/').constFirst());
    }
    QList<SiteRelease> releases;
    for (const QByteArray &digest : std::as_const(digests)) {
        if (!release::isSha256Hex(digest))
            continue;
        const auto index = store.get(sitelayout::releaseCopy(digest, sitelayout::indexPath), sitelayout::largestIndex);
        const auto listed = store.get(sitelayout::releaseCopy(digest, sitelayout::manifestPath),
                                      sitelayout::largestManifest);
        const auto stamp = store.get(sitelayout::releaseCopy(digest, sitelayout::stampPath), sitelayout::largestStamp);
        if (index && listed && stamp) {
            if (auto found = siteRelease(digest, *index, *listed, *stamp, codePage))
                releases.append(std::move(*found));
        }
    }
    sortNewestFirst(releases);
    const KeptPaths keep(*manifest, store.get(sitelayout::indexPath.latin1(), sitelayout::largestIndex),
                         location.shown() + QLatin1Char('/') + sitelayout::indexPath, releases, keepReleases, codePage);

    QList<QByteArray> unused;
    qint64 bytes = 0;
    for (auto it = objects.cbegin(); it != objects.cend(); ++it) {
        if (!keep.keeps(it.key())) {
            unused.append(it.key());
            bytes += it.value();
        }
    }
    removeUnused(unused, bytes, keep.keptReleases(), dryRun, [&](const QByteArray &path) { store.remove(path); });
    return commandline::Success;
}

} // namespace

int runPrune(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Removes from the server tree ROOT, or from a store's bucket prefix, the stored files, smaller forms and "
        "release folders that no kept release lists: the N newest releases by stamp and the one the site serves. "
        "What the site's manifest and index name always stays. Lists each file before it goes. On a store, run it "
        "after 'upload', once the new entry point is in place; credentials as for 'upload'."));
    const QCommandLineOption site = commandline::siteOption();
    const StoreOptions store(QStringLiteral("Prune a store's bucket prefix instead."));
    const QCommandLineOption keepReleases(QStringLiteral("keep-releases"),
                                          QStringLiteral("How many of the newest releases keep their files."),
                                          QStringLiteral("N"));
    const QCommandLineOption dryRun(QStringLiteral("dry-run"), QStringLiteral("Only list what would go."));
    parser.addOption(site);
    parser.addOptions(store.all());
    parser.addOptions({keepReleases, dryRun});
    if (const auto done = commandline::parse(parser, arguments, 0))
        return *done;
    if (parser.isSet(site) == parser.isSet(store.to) || !parser.isSet(keepReleases))
        return commandline::usageError(parser, QStringLiteral("--site or --to, and --keep-releases are required"));
    if (!parser.isSet(store.to) && (parser.isSet(store.endpoint) || parser.isSet(store.region)))
        return commandline::usageError(parser, QStringLiteral("--endpoint and --region need --to"));
    bool read = false;
    const int keep = parser.value(keepReleases).toInt(&read);
    if (!read || keep < 0)
        return commandline::usageError(parser, QStringLiteral("--keep-releases takes a number, 0 or more"));
    if (parser.isSet(site))
        return prune(parser.value(site), keep, parser.isSet(dryRun));
    return pruneStore(store.location(parser), keep, parser.isSet(dryRun));
}

} // namespace publish

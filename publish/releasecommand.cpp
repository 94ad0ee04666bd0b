#include "commandline.h"

#include "englishmessages.h"
#include "expiry.h"
#include "jsonverdict.h"
#include "password.h"
#include "progress.h"
#include "releasefolder.h"
#include "sitereleases.h"
#include "sizelimits.h"
#include "smallforms.h"
#include "sitewriter.h"
#include "versionstamp.h"
#include "platform/text/codepage.h"
#include "platform/core/error.h"
#include "release/minisignature.h"
#include "release/minisignkey.h"
#include "release/releaseindex.h"
#include "release/sha256.h"

#include <QDateTime>
#include <QFile>
#include <QJsonObject>
#include <QLocale>

#include <optional>

using platform::Error;

namespace publish {

namespace {

struct Options
{
    QString from;
    QString site;
    QString version;
    std::optional<release::SecretKey> key;
    std::optional<qint64> expiresIn; // seconds
    int patchDepth = 3;
};

// A file of the site as it is served now; empty when there is none.
QByteArray currentFile(const QString &site, const char *relativePath)
{
    QFile file(site + QLatin1Char('/') + QLatin1String(relativePath));
    if (!file.exists())
        return {};
    if (!file.open(QIODevice::ReadOnly))
        throw Error(Error::Code::PermissionDenied, file.fileName(), QStringLiteral("cannot read the file"));
    return file.read(release::ReleaseIndex::maxTextSize + 1);
}

// The signed time of the release: now, but always later than the release it
// replaces, since clients refuse an older one and take an equal one for the
// same release (a replay of a release published in the same second would
// otherwise be installed over its successor). A release signed more than a
// day ahead, which clients refuse too, is no reference.
qint64 releaseTimestamp(const QString &site)
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const QByteArray current = currentFile(site, sitelayout::signaturePath.latin1());
    if (current.isEmpty())
        return now;
    try {
        const QString source = site + QLatin1Char('/') + QString(sitelayout::signaturePath);
        return std::max(now, release::Signature::parse(current, source).acceptedTimestamp(now, source) + 1);
    } catch (const Error &) {
        return now; // a broken signature is replaced anyway
    }
}

// The index of every file the release serves: the manifest, the stamp, the
// tree (listing it declares the manifest whole), each stored file once, and
// its smaller forms.
QByteArray indexText(const QByteArray &manifest, const QByteArray &stamp, const QByteArray &tree,
                     const QList<ReleaseFile> &files, const QList<release::ReleaseIndex::Entry> &forms)
{
    release::ReleaseIndex index;
    index.add(sitelayout::manifestPath.latin1(), release::Sha256::hexOf(manifest));
    index.add(sitelayout::stampPath.latin1(), release::Sha256::hexOf(stamp));
    index.add(sitelayout::treePath.latin1(), release::Sha256::hexOf(tree));
    for (const ReleaseFile &file : files) {
        if (!index.digestOf(file.remotePath()))
            index.add(file.remotePath(), file.digest);
    }
    for (const release::ReleaseIndex::Entry &form : forms)
        index.add(form.path, form.digest);
    return index.toText();
}

QString byteCount(qint64 bytes)
{
    return QLocale(QLocale::English).toString(bytes);
}

struct Published
{
    qsizetype files = 0;
    qint64 bytes = 0;
    qint64 storedAnew = 0;
    std::optional<qsizetype> smallForms; // signed releases only
};

Published publishRelease(const Options &options)
{
    const platform::CodePage &codePage = platform::CodePage::deployment();
    const QString site = commandline::siteRoot(options.site);

    // Everything that can refuse the release is checked before a byte is written.
    // Only signed clients read a tree; an unsigned release publishes files alone.
    ScannedRelease scanned = scanReleaseFolder(options.from, codePage, options.key ? TreeScope::Whole : TreeScope::Files);
    QList<ReleaseFile> &files = scanned.files;
    for (const QLatin1StringView path :
         {sitelayout::stampPath, sitelayout::manifestPath, sitelayout::indexPath, sitelayout::signaturePath})
        checkSitePath(site, path.latin1());
    checkVersion(options.version, currentFile(site, sitelayout::stampPath.latin1()), codePage);
    if (!options.key && (!currentFile(site, sitelayout::indexPath.latin1()).isEmpty()
                         || !currentFile(site, sitelayout::signaturePath.latin1()).isEmpty()))
        throw Error(Error::Code::InvalidArgument, site + QLatin1Char('/') + QString(sitelayout::indexPath),
                    QStringLiteral("the site serves a signed release; give --secret-key, or clients in signed "
                                   "mode refuse the new one"));

    Progress progress;
    hashReleaseFiles(files, progress);
    for (const ReleaseFile &file : std::as_const(files))
        checkSitePath(site, file.remotePath());
    const QByteArray manifest = manifestText(files, codePage);
    const QByteArray stamp = stampText(options.version, codePage);
    const QByteArray tree = options.key ? scanned.tree.toText() : QByteArray();
    QByteArray index = options.key ? indexText(manifest, stamp, tree, files, {}) : QByteArray();
    checkClientLimits(manifest, stamp, index, tree);
    std::optional<SmallForms> forms;
    if (options.key) {
        checkSitePath(site, sitelayout::treePath.latin1());
        forms.emplace(site, files, siteReleases(site, codePage), options.patchDepth);
        for (const QByteArray &path : forms->paths())
            checkSitePath(site, path);
    }

    SiteWriter writer(site);
    qint64 total = 0;
    qint64 storedAnew = 0;
    for (const ReleaseFile &file : std::as_const(files)) {
        total += file.size;
        if (writer.storeFile(file.sourcePath, file.remotePath(), file.digest, progress))
            storedAnew += file.size;
        else
            progress.note(QStringLiteral("already stored %1").arg(file.name));
    }
    std::optional<qsizetype> formCount;
    if (forms) {
        const QList<release::ReleaseIndex::Entry> kept = forms->write(writer, progress);
        formCount = kept.size();
        index = indexText(manifest, stamp, tree, files, kept);
        checkClientLimits(manifest, stamp, index, tree);
    }
    // The index names the kept forms, so its digest, and the release's
    // folder, are known only now; a refusal still undoes everything.
    const QByteArray indexDigest = options.key ? release::Sha256::hexOf(index) : QByteArray();
    if (options.key) {
        const std::pair<QLatin1StringView, QByteArray> copies[] = {{sitelayout::indexPath, index},
                                                                   {sitelayout::manifestPath, manifest},
                                                                   {sitelayout::stampPath, stamp},
                                                                   {sitelayout::treePath, tree}};
        for (const auto &[path, bytes] : copies)
            checkSitePath(site, sitelayout::releaseCopy(indexDigest, path));
        // The release's own folder first: a client led there by any later
        // signature finds it whole, whatever generation of the fixed files a
        // cache still holds.
        for (const auto &[path, bytes] : copies)
            writer.storeOnce(sitelayout::releaseCopy(indexDigest, path), bytes);
        const qint64 timestamp = releaseTimestamp(site);
        const QByteArray comment = "timestamp:" + QByteArray::number(timestamp) + "\tversion:"
            + options.version.toUtf8() + "\tindex:" + indexDigest
            + (options.expiresIn ? expiry::field(timestamp, *options.expiresIn) : QByteArray());
        writer.stage(sitelayout::indexPath.latin1(), index);
        writer.stage(sitelayout::treePath.latin1(), tree);
        writer.stage(sitelayout::signaturePath.latin1(), options.key->sign(index, comment).toText());
    }
    writer.stage(sitelayout::manifestPath.latin1(), manifest);
    writer.stage(sitelayout::stampPath.latin1(), stamp);
    writer.commit();
    return {files.size(), total, storedAnew, formCount};
}

void printPublished(const Options &options, const Published &published)
{
    commandline::printOut(QStringLiteral("Published version %1%2: %3 files, %4 bytes, %5 bytes stored anew%6")
                              .arg(options.version, options.key ? QStringLiteral(" (signed)") : QString())
                              .arg(published.files)
                              .arg(byteCount(published.bytes), byteCount(published.storedAnew))
                              .arg(published.smallForms ? QStringLiteral(", %1 smaller forms").arg(*published.smallForms)
                                                        : QString()));
}

} // namespace

int runRelease(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Publishes the files in DIR and its subfolders as a new release in the server tree ROOT: each file stored "
        "once under KVTA/ZE/files/<2 hex>/<SHA-256>, then (with a key) its smaller forms under KVTA/ZE/zst/, the "
        "index, manifest, stamp and tree (every folder, each file's mode, the links inside DIR) once under "
        "KVTA/ZE/releases/<SHA-256 of the index>/, the index, the tree and the signature, then the manifest, the "
        "stamp last. Nothing is written when a check fails."));
    const QCommandLineOption from(QStringLiteral("from"), QStringLiteral("Folder with the release's files."),
                                  QStringLiteral("DIR"));
    const QCommandLineOption site = commandline::siteOption();
    const QCommandLineOption version(QStringLiteral("version"),
                                     QStringLiteral("Version stamp, a decimal number that differs from the "
                                                    "current one."),
                                     QStringLiteral("TEXT"));
    const QCommandLineOption secretKey(QStringLiteral("secret-key"),
                                       QStringLiteral("minisign secret key: sign the release."),
                                       QStringLiteral("FILE"));
    const QCommandLineOption expiresIn = expiry::option();
    const QCommandLineOption patchFrom(QStringLiteral("patch-from-releases"),
                                       QStringLiteral("Signed: patch each file from its versions in the N newest "
                                                      "releases on the site (default 3, 0 for none)."),
                                       QStringLiteral("N"), QStringLiteral("3"));
    parser.addOptions({from, site, version, secretKey, expiresIn, patchFrom});
    const PasswordOptions password(parser, QStringLiteral("Password of an encrypted secret key (first line); "
                                                          "without it a terminal is asked."));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("Print the outcome as one JSON object on standard output."));
    parser.addOption(json);
    if (const auto done = commandline::parse(parser, arguments, 0))
        return *done;
    if (!parser.isSet(from) || !parser.isSet(site) || !parser.isSet(version))
        return commandline::usageError(parser, QStringLiteral("--from, --site and --version are required"));
    if (!password.given(parser).isEmpty() && !parser.isSet(secretKey))
        return commandline::usageError(parser, password.given(parser) + QStringLiteral(" needs --secret-key"));
    if (const QString misuse = password.misuse(parser); !misuse.isEmpty())
        return commandline::usageError(parser, misuse);
    if (parser.isSet(expiresIn) && !parser.isSet(secretKey))
        return commandline::usageError(parser, QStringLiteral("--expires-in needs --secret-key"));
    if (const QString misuse = expiry::misuse(parser.value(expiresIn), parser.isSet(expiresIn)); !misuse.isEmpty())
        return commandline::usageError(parser, misuse);
    const std::optional<qint64> period = expiry::periodOf(parser.value(expiresIn));
    if (parser.isSet(patchFrom) && !parser.isSet(secretKey))
        return commandline::usageError(parser, QStringLiteral("--patch-from-releases needs --secret-key: only signed "
                                                              "releases offer patches"));
    bool depthRead = false;
    const int patchDepth = parser.value(patchFrom).toInt(&depthRead);
    if (!depthRead || patchDepth < 0)
        return commandline::usageError(parser, QStringLiteral("--patch-from-releases takes a number, 0 or more"));

    Options options{parser.value(from), parser.value(site), parser.value(version), std::nullopt, period, patchDepth};
    if (!parser.isSet(json)) {
        if (parser.isSet(secretKey))
            options.key = openSecretKey(parser.value(secretKey), password.password(parser));
        printPublished(options, publishRelease(options));
        return commandline::Success;
    }
    QJsonObject fields{{QStringLiteral("version"), options.version}, {QStringLiteral("signed"), parser.isSet(secretKey)}};
    try {
        if (parser.isSet(secretKey))
            options.key = openSecretKey(parser.value(secretKey), password.password(parser));
        const Published published = publishRelease(options);
        fields.insert(QStringLiteral("files"), published.files);
        fields.insert(QStringLiteral("bytes"), published.bytes);
        fields.insert(QStringLiteral("storedAnew"), published.storedAnew);
        if (published.smallForms)
            fields.insert(QStringLiteral("smallForms"), *published.smallForms);
        printJsonVerdict(fields, {});
        return commandline::Success;
    } catch (const Error &error) {
        commandline::printError(QStringLiteral("updater-publish: ") + englishLine(error));
        printJsonVerdict(fields, {englishLine(error)});
        return commandline::Problem;
    }
}

} // namespace publish

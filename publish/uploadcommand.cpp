#include "commandline.h"

#include "englishmessages.h"
#include "jsonverdict.h"
#include "progress.h"
#include "s3store.h"
#include "sitecheck.h"
#include "storeoptions.h"
#include "uploadplan.h"
#include "platform/core/error.h"
#include "release/minisignkey.h"
#include "release/sha256.h"
#include "release/sitelayout.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QLocale>

using platform::Error;

namespace publish {

namespace {

struct Options
{
    QString site;
    S3Location location;
    QString readUrl;
    std::optional<release::PublicKey> key;
    bool verify = true;
};

struct Uploaded
{
    QString version;
    QStringList paths; // put, in order
    qsizetype present = 0;
    qint64 bytes = 0;
    bool verified = false;
};

// Every file of the site but the publisher's own, hashed.
QList<SiteObject> siteObjects(const QString &root, Progress &progress)
{
    QList<SiteObject> objects;
    QDirIterator it(root, QDir::Files | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString source = it.next();
        const QByteArray path = QFile::encodeName(QDir(root).relativeFilePath(source));
        if (isPublishersOwn(path))
            continue;
        progress.begin(QStringLiteral("hashing"), QString::fromUtf8(path), it.fileInfo().size());
        const QByteArray sha256 = release::Sha256::hexOfFile(source, [&](qint64 done) { progress.advance(done); });
        progress.end();
        objects.append({path, source, it.fileInfo().size(), sha256});
    }
    return objects;
}

class Upload
{
public:
    Upload(const Options &options, Progress &progress)
        : m_options(options), m_store(options.location, s3Credentials()), m_progress(progress)
    {
    }

    Uploaded run()
    {
        const QString root = commandline::siteRoot(m_options.site);
        for (const QLatin1StringView fixed : {sitelayout::manifestPath, sitelayout::stampPath}) {
            if (!QFileInfo::exists(root + QLatin1Char('/') + fixed))
                throw Error(Error::Code::FileNotFound, root + QLatin1Char('/') + fixed,
                            QStringLiteral("the site serves no release to upload"));
        }
        const UploadPlan plan = uploadPlan(siteObjects(root, m_progress), m_store.list());
        if (!plan.conflicts.isEmpty())
            throw Error(Error::Code::FileAccess, m_store.location().shown(), plan.conflicts.join(QStringLiteral("; ")));
        for (const UploadStep &step : plan.content)
            send(step);
        if (m_options.verify)
            verify(plan.entry);
        // Only now the entry point: what it names is there and checked.
        for (const UploadStep &step : plan.entry)
            send(step);
        return m_done;
    }

private:
    void send(const UploadStep &step)
    {
        const SiteObject &object = step.object;
        const bool immutable = step.metadata.kind == ObjectMetadata::Kind::Immutable;
        if (step.present && holds(object, immutable))
            return;
        m_progress.begin(QStringLiteral("uploading"), QString::fromUtf8(object.path), object.size);
        const bool stored = m_store.put(object.path, object.source, {}, object.sha256, step.metadata, immutable);
        m_progress.end();
        // Someone else's upload got there first: fine when it is the same.
        if (!stored && !holds(object, immutable))
            throw Error(Error::Code::FileAccess, QString::fromUtf8(object.path),
                        QStringLiteral("the store holds it already"));
        if (stored) {
            m_done.paths.append(QString::fromUtf8(object.path));
            m_done.bytes += object.size;
        }
    }

    // Whether the store holds the object's bytes; an immutable one with
    // other bytes is an error, never overwritten.
    bool holds(const SiteObject &object, bool immutable)
    {
        const std::optional<S3Store::Object> held = m_store.head(object.path);
        if (!held)
            return false;
        const QByteArray digest =
            held->size != object.size ? QByteArray()
                                      : (held->sha256.isEmpty() ? m_store.digestOf(object.path) : held->sha256);
        if (digest == object.sha256) {
            ++m_done.present;
            return true;
        }
        if (immutable)
            throw Error(Error::Code::DigestMismatch, QString::fromUtf8(object.path),
                        QStringLiteral("the store holds other content under this immutable path; it is never "
                                       "overwritten"));
        return false;
    }

    // The release as clients will read it, through the store's read
    // endpoint, with the entry point it is about to get.
    void verify(const QList<UploadStep> &entry)
    {
        QHash<QString, QByteArray> served;
        for (const UploadStep &step : entry) {
            QFile file(step.object.source);
            if (!file.open(QIODevice::ReadOnly))
                throw Error(Error::Code::FileAccess, step.object.source, QStringLiteral("cannot read the file"));
            served.insert(QString::fromUtf8(step.object.path), file.readAll());
        }
        m_done.version = QString::fromLatin1(served.value(QString(sitelayout::stampPath)).trimmed());
        const SiteCheckResult result = checkSite(m_options.readUrl, m_options.key, m_progress, served);
        if (!result.problems.isEmpty())
            throw Error(Error::Code::BadResponse, m_options.readUrl,
                        QStringLiteral("the uploaded release fails the check, so its entry point is not uploaded: ")
                            + result.problems.join(QStringLiteral("; ")));
        m_done.verified = true;
    }

    const Options &m_options;
    S3Store m_store;
    Progress &m_progress;
    Uploaded m_done;
};

} // namespace

int runUpload(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Uploads the server tree ROOT into an S3-compatible store: what the store lacks of the immutable files, "
        "smaller forms and release folders first (an immutable object there with other content is an error, never "
        "overwritten), then checks the release through the store's read URL as 'check' does, then the index, the "
        "tree, the signature, the manifest and the stamp last. Each object carries its Content-Type and Cache-Control. "
        "Credentials come from AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY (AWS_SESSION_TOKEN), or from the "
        "profile AWS_PROFILE (default: default) of AWS_SHARED_CREDENTIALS_FILE (default: ~/.aws/credentials). "
        "Run it again after an interruption: it completes the upload."));
    const QCommandLineOption site = commandline::siteOption();
    const StoreOptions store(QStringLiteral("The store's bucket and key prefix."));
    const QCommandLineOption readUrl(QStringLiteral("read-url"),
                                     QStringLiteral("The URL clients read the prefix from, checked before the entry "
                                                    "point goes up (default: ENDPOINT/BUCKET/PREFIX/)."),
                                     QStringLiteral("URL"));
    const QCommandLineOption publicKey(QStringLiteral("public-key"),
                                       QStringLiteral("minisign public key (.pub): the check verifies the signature."),
                                       QStringLiteral("FILE"));
    const QCommandLineOption noVerify(QStringLiteral("no-verify"),
                                      QStringLiteral("Upload the entry point without checking the release first."));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("Print the outcome as one JSON object on standard output."));
    parser.addOption(site);
    parser.addOptions(store.all());
    parser.addOptions({readUrl, publicKey, noVerify, json});
    if (const auto done = commandline::parse(parser, arguments, 0))
        return *done;
    if (!parser.isSet(site) || !parser.isSet(store.to))
        return commandline::usageError(parser, QStringLiteral("--site and --to are required"));
    if (parser.isSet(noVerify) && (parser.isSet(readUrl) || parser.isSet(publicKey)))
        return commandline::usageError(parser, QStringLiteral("--no-verify checks nothing: drop --read-url and "
                                                              "--public-key"));
    QJsonObject fields{{QStringLiteral("to"), parser.value(store.to)}};
    try {
        Options options{parser.value(site), store.location(parser), {}, std::nullopt, !parser.isSet(noVerify)};
        options.readUrl = parser.isSet(readUrl) ? parser.value(readUrl) : options.location.readUrl();
        if (!options.readUrl.endsWith(QLatin1Char('/')))
            options.readUrl += QLatin1Char('/');
        if (parser.isSet(publicKey))
            options.key = release::PublicKey::fromFile(parser.value(publicKey));
        Progress progress;
        const Uploaded uploaded = Upload(options, progress).run();
        if (parser.isSet(json)) {
            fields.insert(QStringLiteral("version"), uploaded.version);
            fields.insert(QStringLiteral("uploaded"), QJsonArray::fromStringList(uploaded.paths));
            fields.insert(QStringLiteral("present"), uploaded.present);
            fields.insert(QStringLiteral("bytes"), uploaded.bytes);
            fields.insert(QStringLiteral("verified"), uploaded.verified);
            printJsonVerdict(fields, {});
            return commandline::Success;
        }
        for (const QString &path : uploaded.paths)
            commandline::printOut(QStringLiteral("uploaded ") + path);
        commandline::printOut(QStringLiteral("Uploaded %1%2 to %3: %4 objects, %5 bytes; %6 already there%7")
                                  .arg(uploaded.version.isEmpty() ? QString() : QStringLiteral("version "),
                                       uploaded.version, options.location.shown())
                                  .arg(uploaded.paths.size())
                                  .arg(QLocale(QLocale::English).toString(uploaded.bytes))
                                  .arg(uploaded.present)
                                  .arg(uploaded.verified ? QStringLiteral("; checked through ") + options.readUrl
                                                         : QString()));
        return commandline::Success;
    } catch (const Error &error) {
        commandline::printError(QStringLiteral("updater-publish: ") + englishLine(error));
        if (!parser.isSet(json))
            return commandline::Problem;
        printJsonVerdict(fields, {englishLine(error)});
        return commandline::Problem;
    }
}

} // namespace publish

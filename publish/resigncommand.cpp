#include "commandline.h"

#include "expiry.h"
#include "password.h"
#include "releasefolder.h"
#include "sitewriter.h"
#include "platform/core/error.h"
#include "platform/files/textinput.h"
#include "release/keyring.h"
#include "release/minisignature.h"
#include "release/sha256.h"
#include "release/sitelayout.h"

#include <QDateTime>
#include <QDir>

#include <optional>

using platform::Error;

namespace publish {

namespace {

struct Options
{
    QString site;
    release::SecretKey key;
    std::optional<release::PublicKey> previousKey; // the current signature's, when it is another
    std::optional<qint64> expiresIn;                // seconds
};

// The comment with the field `name` set to `value`: in place where it is,
// else appended. Every other field stays as it was.
QByteArray withField(const QByteArray &comment, QByteArrayView name, qint64 value)
{
    if (const auto span = release::Signature::fieldSpan(comment, name))
        return comment.left(span->first) + QByteArray::number(value) + comment.mid(span->second);
    return comment + '\t' + name.toByteArray() + ':' + QByteArray::number(value);
}

int resign(const Options &options)
{
    const QString site = QDir(options.site).absolutePath();
    for (const QLatin1StringView path : {sitelayout::indexPath, sitelayout::signaturePath})
        checkSitePath(site, path.latin1());
    // The lock is held before the current release is read: a publication
    // under way cannot slip in between.
    SiteWriter writer(site);
    const QString indexSource = site + QLatin1Char('/') + QString(sitelayout::indexPath);
    const QString signatureSource = site + QLatin1Char('/') + QString(sitelayout::signaturePath);
    const QByteArray index = platform::readFileBytes(indexSource, sitelayout::largestIndex);
    const release::Signature current =
        release::Signature::parse(platform::readFileBytes(signatureSource, sitelayout::largestSignature),
                                  signatureSource);

    // Only a release that this publisher signed is renewed, and only over
    // the index it signed.
    QList<release::PublicKey> keys{options.key.publicKey()};
    if (options.previousKey)
        keys.append(*options.previousKey);
    release::KeyRing(keys).verify(index, current, signatureSource);
    release::Sha256 sha;
    sha.addData(index);
    if (const auto named = current.commentField("index"); named && *named != sha.hexResult())
        throw Error(Error::Code::DigestMismatch, indexSource, QStringLiteral("the signature names another index"));

    // Later than the signature it replaces, or clients that kept that one
    // would take the renewal for an older release.
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const qint64 previous = current.acceptedTimestamp(now, signatureSource);
    const qint64 timestamp = std::max(now, previous + 1);
    QByteArray comment = withField(current.trustedComment(), "timestamp", timestamp);
    // The renewal keeps the period of the signature it replaces, unless told otherwise.
    const std::optional<qint64> previousExpiry = current.expiry(signatureSource);
    qint64 period = 0;
    if (options.expiresIn)
        period = *options.expiresIn;
    else if (previousExpiry)
        period = *previousExpiry - previous;
    if (period > 0)
        comment = withField(comment, "expires", timestamp + period);

    writer.stage(sitelayout::signaturePath.latin1(), options.key.sign(index, comment).toText());
    writer.commit();

    const QString version = QString::fromUtf8(current.commentField("version").value_or("?"));
    commandline::printOut(period > 0 ? QStringLiteral("Re-signed version %1, valid until %2")
                                           .arg(version, expiry::timeText(timestamp + period))
                                     : QStringLiteral("Re-signed version %1, without an expiry").arg(version));
    return commandline::Success;
}

} // namespace

int runResign(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Renews the signature of the release that the server tree ROOT serves: the same index, version and "
        "other fields, a new timestamp and expiry. Only the signature file is written. Run it from a timer "
        "well before the expiry; without --expires-in the release keeps its period."));
    const QCommandLineOption site = commandline::siteOption();
    const QCommandLineOption secretKey(QStringList{QStringLiteral("secret-key"), QStringLiteral("key")},
                                       QStringLiteral("minisign secret key that signs the renewal."),
                                       QStringLiteral("FILE"));
    const QCommandLineOption publicKey(QStringLiteral("public-key"),
                                       QStringLiteral("minisign public key (.pub) that signed the current release, "
                                                      "when it is not the secret key's (a key rotation)."),
                                       QStringLiteral("FILE"));
    const QCommandLineOption expiresIn = expiry::option();
    parser.addOptions({site, secretKey, publicKey, expiresIn});
    const PasswordOptions password(parser, QStringLiteral("Password of an encrypted secret key (first line); "
                                                          "without it a terminal is asked."));
    if (const auto done = commandline::parse(parser, arguments, 0))
        return *done;
    if (!parser.isSet(site) || !parser.isSet(secretKey))
        return commandline::usageError(parser, QStringLiteral("--site and --secret-key are required"));
    if (const QString misuse = password.misuse(parser); !misuse.isEmpty())
        return commandline::usageError(parser, misuse);
    if (const QString misuse = expiry::misuse(parser.value(expiresIn), parser.isSet(expiresIn)); !misuse.isEmpty())
        return commandline::usageError(parser, misuse);
    const std::optional<qint64> period = expiry::periodOf(parser.value(expiresIn));

    Options options{parser.value(site), openSecretKey(parser.value(secretKey), password.password(parser)),
                    std::nullopt, period};
    if (parser.isSet(publicKey))
        options.previousKey = release::PublicKey::fromFile(parser.value(publicKey));
    return resign(options);
}

} // namespace publish

#include "commandline.h"

#include "jsonverdict.h"
#include "progress.h"
#include "sitecheck.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QLocale>

namespace publish {

namespace {

// How the summary line and the JSON name what became of the signature.
QString signatureText(SiteCheckResult::Signature signature, bool json)
{
    switch (signature) {
    case SiteCheckResult::Signature::Checked: return QStringLiteral("checked");
    case SiteCheckResult::Signature::Refused: return QStringLiteral("not verified");
    case SiteCheckResult::Signature::NotChecked:
        return json ? QStringLiteral("not checked")
                    : QStringLiteral("served but not checked (give --public-key to check it)");
    case SiteCheckResult::Signature::None: return json ? QStringLiteral("none") : QStringLiteral("unsigned");
    }
    return {};
}

QString summaryOf(const SiteCheckResult &result)
{
    const QString signature = signatureText(result.signature, false);
    return QStringLiteral("version %1, %2 files, %3 bytes, %4")
        .arg(result.version.isEmpty() ? QStringLiteral("?") : result.version)
        .arg(result.files)
        .arg(QLocale(QLocale::English).toString(result.bytes))
        .arg(result.signature == SiteCheckResult::Signature::None ? signature
                                                                   : QStringLiteral("signature ") + signature)
        + (result.smallForms ? QStringLiteral(", %1 smaller forms").arg(result.smallForms) : QString())
        + (result.tree ? QStringLiteral(", whole tree: %1 folders, %2 links, %3 executable files")
                             .arg(result.tree->folders)
                             .arg(result.tree->links)
                             .arg(result.tree->executables)
                       : QString());
}

// The tree as --json gives it: null when the index lists none (or it was refused).
QJsonValue treeJson(const SiteCheckResult &result)
{
    if (!result.tree)
        return QJsonValue::Null;
    return QJsonObject{{QStringLiteral("folders"), result.tree->folders},
                       {QStringLiteral("links"), result.tree->links},
                       {QStringLiteral("executables"), result.tree->executables}};
}

} // namespace

int runCheck(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Fetches what a client would from the site at BASE_URL (the stamp, the manifest, with a key the release "
        "index and its signature, the release's tree where the index lists one, every listed file and every "
        "smaller form it offers, rebuilt) without installing anything, reports every problem, one "
        "line each, and ends with a one-line verdict."));
    parser.addPositionalArgument(QStringLiteral("BASE_URL"),
                                 QStringLiteral("The updater's base URL: http(s)://host[:port]/path/ (the closing "
                                                "slash is added when it is missing)."));
    const QCommandLineOption publicKey(QStringLiteral("public-key"),
                                       QStringLiteral("minisign public key (.pub): check the signed release."),
                                       QStringLiteral("FILE"));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("Print the outcome as one JSON object on standard output."));
    parser.addOptions({publicKey, json});
    if (const auto done = commandline::parse(parser, arguments, 1))
        return *done;
    QString baseUrl = parser.positionalArguments().constFirst();
    if (!(baseUrl.startsWith(QLatin1String("http://")) || baseUrl.startsWith(QLatin1String("https://"))))
        return commandline::usageError(parser, QStringLiteral("BASE_URL must be an http(s) URL"));
    if (!baseUrl.endsWith(QLatin1Char('/')))
        baseUrl += QLatin1Char('/');

    std::optional<release::PublicKey> key;
    if (parser.isSet(publicKey))
        key = release::PublicKey::fromFile(parser.value(publicKey));

    Progress progress;
    const SiteCheckResult result = checkSite(baseUrl, key, progress);
    // Between two releases no client takes a mix, so it is no fault of the
    // site; it is not out yet either, so no success.
    const bool publishing = result.problems.isEmpty() && !result.publishing.isEmpty();
    if (parser.isSet(json)) {
        printJsonVerdict({{QStringLiteral("baseUrl"), baseUrl},
                          {QStringLiteral("version"), result.version},
                          {QStringLiteral("files"), result.files},
                          {QStringLiteral("bytes"), result.bytes},
                          {QStringLiteral("signature"), signatureText(result.signature, true)},
                          {QStringLiteral("smallForms"), result.smallForms},
                          {QStringLiteral("tree"), treeJson(result)},
                          {QStringLiteral("warnings"), QJsonArray::fromStringList(result.warnings)},
                          {QStringLiteral("publishing"), QJsonArray::fromStringList(result.publishing)}},
                         result.problems, publishing ? QStringLiteral("BEING PUBLISHED") : QStringLiteral("OK"));
        return result.problems.isEmpty() && !publishing ? commandline::Success : commandline::Problem;
    }
    for (const QString &problem : result.problems)
        commandline::printOut(problem);
    for (const QString &warning : result.warnings)
        commandline::printOut(QStringLiteral("warning: ") + warning);
    if (publishing) {
        for (const QString &line : result.publishing)
            commandline::printOut(QStringLiteral("being published: ") + line);
        commandline::printOut(QStringLiteral("BEING PUBLISHED: %1: a release is being published; clients take the "
                                             "earlier or the new one whole; check again once it is out; %2")
                                  .arg(baseUrl, summaryOf(result)));
        return commandline::Problem;
    }
    if (result.problems.isEmpty()) {
        commandline::printOut(QStringLiteral("OK: %1: %2").arg(baseUrl, summaryOf(result)));
        return commandline::Success;
    }
    commandline::printOut(
        QStringLiteral("FAILED: %1: %2 problem(s); %3").arg(baseUrl).arg(result.problems.size()).arg(summaryOf(result)));
    return commandline::Problem;
}

} // namespace publish

#include "commandline.h"

#include "progress.h"
#include "sitecheck.h"

#include <QLocale>

int runCheck(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Fetches what a client would from the site at BASE_URL (the stamp, the manifest, with a key the release "
        "index and its signature, every listed file and every smaller form it offers, rebuilt) without installing anything, reports every problem, one "
        "line each, and ends with a one-line verdict."));
    parser.addPositionalArgument(QStringLiteral("BASE_URL"),
                                 QStringLiteral("The updater's base URL: http(s)://host[:port]/path/ ending in a slash."));
    const QCommandLineOption publicKey(QStringLiteral("public-key"),
                                       QStringLiteral("minisign public key (.pub): check the signed release."),
                                       QStringLiteral("FILE"));
    parser.addOption(publicKey);
    if (const auto done = commandline::parse(parser, arguments, 1))
        return *done;
    const QString baseUrl = parser.positionalArguments().constFirst();
    if (!(baseUrl.startsWith(QLatin1String("http://")) || baseUrl.startsWith(QLatin1String("https://")))
        || !baseUrl.endsWith(QLatin1Char('/')))
        return commandline::usageError(parser, QStringLiteral("BASE_URL must be an http(s) URL ending in a slash"));

    std::optional<release::PublicKey> key;
    if (parser.isSet(publicKey))
        key = release::PublicKey::fromFile(parser.value(publicKey));

    Progress progress;
    const SiteCheckResult result = checkSite(baseUrl, key, progress);
    for (const QString &problem : result.problems)
        commandline::printOut(problem);
    const QString summary = QStringLiteral("version %1, %2 files, %3 bytes%4")
                                .arg(result.version.isEmpty() ? QStringLiteral("?") : result.version)
                                .arg(result.files)
                                .arg(QLocale(QLocale::English).toString(result.bytes))
                                .arg(key ? QStringLiteral(", signature checked") : QStringLiteral(", unsigned"))
                          + (result.smallForms ? QStringLiteral(", %1 smaller forms").arg(result.smallForms) : QString());
    if (result.problems.isEmpty()) {
        commandline::printOut(QStringLiteral("OK: %1: %2").arg(baseUrl, summary));
        return commandline::Success;
    }
    commandline::printOut(QStringLiteral("FAILED: %1: %2 problem(s); %3").arg(baseUrl).arg(result.problems.size()).arg(summary));
    return commandline::Problem;
}

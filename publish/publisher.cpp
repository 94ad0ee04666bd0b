#include "publisher.h"

#include "commandline.h"
#include "englishmessages.h"

#include "platform/core/error.h"

#include <QCoreApplication>

#include <cstdio>

namespace publish {

namespace {

const char usage[] =
    "Usage: updater-publish COMMAND [options]\n"
    "\n"
    "Commands:\n"
    "  keygen   --public-key FILE --secret-key FILE [--password-file FILE | --password-stdin]\n"
    "           make a key pair in minisign's formats\n"
    "  release  --from DIR --site ROOT --version TEXT [--secret-key FILE [--password-file FILE | --password-stdin]]\n"
    "           [--expires-in DAYS] [--patch-from-releases N] [--json]\n"
    "           publish the files in DIR as a new release in the server tree ROOT\n"
    "  resign   --site ROOT --secret-key FILE [--password-file FILE | --password-stdin] [--public-key FILE]\n"
    "           [--expires-in DAYS]\n"
    "           renew the signature (timestamp and expiry) of the release that ROOT serves\n"
    "  check    BASE_URL [--public-key FILE] [--json]\n"
    "           fetch what a client would and report every problem\n"
    "  client   --site ROOT --updater PATH --out DIR\n"
    "           make the folder that a client's installer ships\n"
    "  prune    --site ROOT --keep-releases N [--dry-run]\n"
    "           remove what no kept release lists\n"
    "  upload   --site ROOT --to s3://BUCKET[/PREFIX] [--endpoint URL] [--region R] [--read-url URL]\n"
    "           [--public-key FILE | --no-verify] [--json]\n"
    "           put the site into an S3-compatible store, the entry point last\n"
    "\n"
    "'updater-publish COMMAND --help' describes a command; 'updater-publish --version' prints the version.\n"
    "Exit codes: 0 success, 1 a problem found, 2 a usage error.\n";

} // namespace

int run(const QStringList &arguments)
{
    const QString command = arguments.value(1);
    if (command == QLatin1String("--help") || command == QLatin1String("-h") || command == QLatin1String("help")) {
        std::fputs(usage, stdout);
        return commandline::Success;
    }
    if (command == QLatin1String("--version")) {
        commandline::printOut(QStringLiteral("updater-publish %1").arg(QCoreApplication::applicationVersion()));
        return commandline::Success;
    }
    // The command's own parser sees its name where a program name would stand.
    const QStringList commandArguments = arguments.mid(1);
    try {
        if (command == QLatin1String("keygen"))
            return runKeygen(commandArguments);
        if (command == QLatin1String("release"))
            return runRelease(commandArguments);
        if (command == QLatin1String("check"))
            return runCheck(commandArguments);
        if (command == QLatin1String("client"))
            return runClient(commandArguments);
        if (command == QLatin1String("resign"))
            return runResign(commandArguments);
        if (command == QLatin1String("prune"))
            return runPrune(commandArguments);
        if (command == QLatin1String("upload"))
            return runUpload(commandArguments);
    } catch (const platform::Error &error) {
        commandline::printError(QStringLiteral("updater-publish: ") + englishLine(error));
        return commandline::Problem;
    }
    std::fputs(command.isEmpty() ? "updater-publish: no command given\n"
                                 : qPrintable(QStringLiteral("updater-publish: unknown command '%1'\n").arg(command)),
               stderr);
    std::fputs(usage, stderr);
    return commandline::UsageError;
}

} // namespace publish

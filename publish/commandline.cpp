#include "commandline.h"

#include "platform/core/error.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

namespace publish::commandline {

namespace {

// The parser names the program by its path; the help names the command.
QByteArray helpText(const QCommandLineParser &parser)
{
    QString text = parser.helpText();
    const QStringList arguments = QCoreApplication::arguments();
    text.replace(arguments.value(0), QStringLiteral("updater-publish ") + arguments.value(1));
    return text.toUtf8();
}

} // namespace

std::optional<int> parse(QCommandLineParser &parser, const QStringList &arguments, int positionalCount)
{
    const QCommandLineOption help = parser.addHelpOption();
    if (!parser.parse(arguments))
        return usageError(parser, parser.errorText());
    if (parser.isSet(help)) {
        std::fputs(helpText(parser).constData(), stdout);
        return Success;
    }
    if (parser.positionalArguments().size() != positionalCount)
        return usageError(parser, positionalCount == 0 ? QStringLiteral("unexpected argument '%1'")
                                                              .arg(parser.positionalArguments().value(0))
                                                        : QStringLiteral("expected %1 argument(s)").arg(positionalCount));
    return std::nullopt;
}

int usageError(const QCommandLineParser &parser, const QString &reason)
{
    printError(QStringLiteral("updater-publish: %1").arg(reason));
    std::fputs(helpText(parser).constData(), stderr);
    return UsageError;
}

QCommandLineOption siteOption(const QString &description)
{
    return QCommandLineOption(QStringLiteral("site"), description, QStringLiteral("ROOT"));
}

QString siteRoot(const QString &option)
{
    const QString site = QDir(option).absolutePath();
    if (!QFileInfo(site).isDir())
        throw platform::Error(platform::Error::Code::PathNotFound, option, QStringLiteral("site root not found"));
    return site;
}

namespace {

// The password: the first line, without its line end; never empty.
QByteArray firstPasswordLine(QFile &file, const QString &source)
{
    QByteArray password = file.readLine(4096);
    while (password.endsWith('\n') || password.endsWith('\r'))
        password.chop(1);
    if (password.isEmpty())
        throw platform::Error(platform::Error::Code::InvalidArgument, source,
                              QStringLiteral("the password's first line is empty"));
    return password;
}

} // namespace

QByteArray readPasswordFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw platform::Error(file.exists() ? platform::Error::Code::PermissionDenied
                                            : platform::Error::Code::FileNotFound,
                              path, QStringLiteral("cannot read the password file"));
    return firstPasswordLine(file, path);
}

QByteArray readPasswordStdin()
{
    QFile in;
    if (!in.open(stdin, QIODevice::ReadOnly))
        throw platform::Error(platform::Error::Code::FileAccess, QStringLiteral("standard input"),
                              QStringLiteral("cannot read the password"));
    return firstPasswordLine(in, QStringLiteral("standard input"));
}

void printOut(const QString &line)
{
    std::fprintf(stdout, "%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

void printError(const QString &line)
{
    std::fprintf(stderr, "%s\n", line.toUtf8().constData());
    std::fflush(stderr);
}

} // namespace publish::commandline

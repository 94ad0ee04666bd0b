#pragma once

#include <QByteArray>
#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include <optional>

namespace publish {

// What every command of the publisher shares: exit codes, parsing with
// --help, the site option, and reading the small files named on the command
// line.
namespace commandline {

enum ExitCode { Success = 0, Problem = 1, UsageError = 2 };

// Parses `arguments` (the command's name first). Returns an exit code when
// the command is done already: the help was asked for (0) or the command
// line is wrong (2, with the reason and the help on standard error).
std::optional<int> parse(QCommandLineParser &parser, const QStringList &arguments, int positionalCount);

// A usage error: the reason and where to find help, exit code 2.
int usageError(const QCommandLineParser &parser, const QString &reason);

// --site ROOT: the server tree a command works on.
QCommandLineOption siteOption(const QString &description = QStringLiteral("Server tree: the folder that the base URL "
                                                                          "serves."));
// The site root that --site gives, made absolute; PathNotFound when it is no
// folder.
QString siteRoot(const QString &option);

// The password: the first line of the file, or of standard input, without
// its line end.
QByteArray readPasswordFile(const QString &path);
QByteArray readPasswordStdin();

// One line on standard output / standard error.
void printOut(const QString &line);
void printError(const QString &line);

} // namespace commandline

int runKeygen(const QStringList &arguments);
int runRelease(const QStringList &arguments);
int runCheck(const QStringList &arguments);
int runClient(const QStringList &arguments);
int runResign(const QStringList &arguments);
int runPrune(const QStringList &arguments);
int runUpload(const QStringList &arguments);

} // namespace publish

#pragma once

#include <QByteArray>
#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include <optional>

// What every command of the publisher shares: exit codes, parsing with
// --help, and reading the small files named on the command line.
namespace commandline {

enum ExitCode { Success = 0, Problem = 1, UsageError = 2 };

// Parses `arguments` (the command's name first). Returns an exit code when
// the command is done already: the help was asked for (0) or the command
// line is wrong (2, with the reason and the help on standard error).
std::optional<int> parse(QCommandLineParser &parser, const QStringList &arguments, int positionalCount);

// A usage error: the reason and where to find help, exit code 2.
int usageError(const QCommandLineParser &parser, const QString &reason);

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

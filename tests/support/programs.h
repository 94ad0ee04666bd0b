#pragma once

#include <QByteArray>
#include <QDebug>
#include <QProcess>
#include <QString>
#include <QStringList>

// Runs a program that makes a test's fixtures (minisign, sha256sum, the
// publisher) in `folder`, and gives what it wrote to its standard output.
inline QByteArray runProgram(const QString &program, const QStringList &arguments, const QString &folder = {})
{
    QProcess process;
    process.setWorkingDirectory(folder);
    process.start(program, arguments);
    if (!process.waitForFinished(120000) || process.exitCode() != 0)
        qWarning().noquote() << program << arguments << process.readAllStandardError();
    return process.readAllStandardOutput();
}

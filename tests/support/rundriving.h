#pragma once

// Driving the update window in a process of its own (tests/rundriver.cpp)
// and reading what it printed.

#include "support/tempfolder.h"
#include "support/testserver.h"

#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

struct DriverMessage
{
    QString icon, title, text, button;
};

struct DriverEnding
{
    int exitCode = -1;
    QList<DriverMessage> messages;
    bool returned = false; // the run ended with the window open
    QString statusLine, lastStatus, fileList;
};

// An application folder with its working folder and a local stamp.
class DriverAppFolder : public TempFolder
{
public:
    explicit DriverAppFolder(const QByteArray &stamp = "1.0\r\n")
    {
        QDir().mkpath(path("Update"));
        write("Update.inf", stamp);
    }

    QStringList working() const { return QDir(path("Update")).entryList(QDir::Files | QDir::Hidden); }
};

inline DriverEnding driveRun(const QString &folder, const TestServer &server, const QStringList &options)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(RUN_DRIVER), QStringList{folder, server.url()} + options);
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
    }
    DriverEnding ending;
    ending.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    const QStringList lines = QString::fromUtf8(process.readAllStandardOutput()).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const QStringList f = line.split(QLatin1Char('\t'));
        if (f[0] == QLatin1String("MESSAGE") && f.size() >= 5) {
            ending.messages.append({f[1], f[2], f[3], f[4]});
        } else if (f[0] == QLatin1String("RETURNED")) {
            ending.returned = true;
            ending.statusLine = f.value(1);
            ending.lastStatus = f.value(2);
            ending.fileList = f.value(3);
        }
    }
    return ending;
}

inline int requestCount(const TestServer &server, const QByteArray &target)
{
    int count = 0;
    for (const auto &request : server.requests())
        count += request.target == target;
    return count;
}

#pragma once

// Driving the update window in a process of its own (tests/rundriver.cpp)
// and reading what it printed.

#include "support/shownmessage.h"
#include "support/tempfolder.h"
#include "support/testserver.h"

#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

struct DriverEnding
{
    int exitCode = -1;
    QList<ShownMessage> messages;
    bool returned = false; // the run ended with the window open
    QString errors;        // standard error
};

// An application folder with its working folder and a local stamp (none
// for a null `stamp`).
class DriverAppFolder : public TempFolder
{
public:
    explicit DriverAppFolder(const QByteArray &stamp = "1.0\r\n")
    {
        QDir().mkpath(path("Update"));
        if (!stamp.isNull())
            write("Update.inf", stamp);
    }

    QStringList working() const { return QDir(path("Update")).entryList(QDir::Files | QDir::Hidden); }
};

// Starts `driver` on the application folder `folder` ("-": the driver's own).
inline void startDriver(QProcess &process, const QString &folder, const TestServer &server,
                        const QStringList &options, const QString &driver = QStringLiteral(RUN_DRIVER))
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(env);
    process.start(driver, QStringList{folder, server.url()} + options);
}

// Waits for the driver's end (two minutes at most) and reads what it printed.
inline DriverEnding finishDriver(QProcess &process)
{
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
    }
    DriverEnding ending;
    ending.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    ending.errors = QString::fromUtf8(process.readAllStandardError());
    const QStringList lines = QString::fromUtf8(process.readAllStandardOutput()).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const QStringList f = line.split(QLatin1Char('\t'));
        if (f[0] == QLatin1String("MESSAGE") && f.size() >= 5)
            ending.messages.append({f[1], f[2], f[3], f[4], f.value(5).toInt()});
        else if (f[0] == QLatin1String("RETURNED"))
            ending.returned = true;
    }
    return ending;
}

inline DriverEnding driveRun(const QString &folder, const TestServer &server, const QStringList &options = {},
                             const QString &driver = QStringLiteral(RUN_DRIVER))
{
    QProcess process;
    startDriver(process, folder, server, options, driver);
    return finishDriver(process);
}

inline int requestCount(const TestServer &server, const QByteArray &target)
{
    int count = 0;
    for (const auto &request : server.requests())
        count += request.target == target;
    return count;
}

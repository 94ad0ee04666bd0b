// A client folder that the user running the updater cannot write: the
// window, in a process of its own run as another user (setpriv, so that
// root's rights do not decide), says what to do before any request, and the
// run's log is written.

#include "support/rundriving.h"

#include <QTest>

#include <unistd.h>

class UnwritableFolderTest : public QObject
{
    Q_OBJECT

private slots:
    void refusedBeforeAnyRequest_data();
    void refusedBeforeAnyRequest();
};

void UnwritableFolderTest::refusedBeforeAnyRequest_data()
{
    QTest::addColumn<QString>("unwritable"); // the folder left to root
    QTest::addColumn<QString>("logFolder");  // where the log is, under the temporary folder
    QTest::newRow("client folder") << "client" << "state/updater";
    QTest::newRow("working folder") << "client/Update" << "client";
}

void UnwritableFolderTest::refusedBeforeAnyRequest()
{
    QFETCH(QString, unwritable);
    QFETCH(QString, logFolder);
    if (::geteuid() != 0)
        QSKIP("needs root to run the updater as another user");
    constexpr int nobody = 65534;
    TempFolder temp;
    QDir().mkpath(temp.path("client/Update"));
    QDir().mkpath(temp.path("state"));
    temp.write("client/Update.inf", "1.0\r\n");
    for (const QString name : {"", "client", "client/Update", "state"}) {
        QVERIFY(::chmod(QFile::encodeName(temp.path(name)).constData(), 0755) == 0);
        const uid_t owner = name.isEmpty() || name.startsWith(unwritable) ? 0 : nobody;
        QVERIFY(::chown(QFile::encodeName(temp.path(name)).constData(), owner, owner) == 0);
    }
    TestServer server;
    server.setFile("/KVTA/ZE/UpdateNote.xml", "2.0\r\n");

    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("HOME"), temp.path("state"));
    env.insert(QStringLiteral("XDG_STATE_HOME"), temp.path("state"));
    process.setProcessEnvironment(env);
    process.start(QStringLiteral("setpriv"), {QStringLiteral("--reuid=%1").arg(nobody), QStringLiteral("--regid=%1").arg(nobody), "--clear-groups", RUN_DRIVER,
                                              temp.path("client"), server.url()});
    const DriverEnding ending = finishDriver(process);

    QVERIFY2(ending.messages.size() == 1, qPrintable(ending.errors));
    QCOMPARE(ending.messages[0].text,
             QStringLiteral("当前用户不能写入程序所在的文件夹,无法更新,未做任何更改。请以安装本程序的用户运行更新程序,"
                            "或请管理员给当前用户写入此文件夹的权限：")
                 + temp.path(unwritable));
    QCOMPARE(server.requests().size(), 0);
    const QByteArray log = temp.read(logFolder + QStringLiteral("/Update.log"));
    QVERIFY2(log.contains("refused") && log.contains(QFile::encodeName(temp.path(unwritable))), log.constData());
}

QTEST_GUILESS_MAIN(UnwritableFolderTest)
#include "tst_unwritablefolder.moc"

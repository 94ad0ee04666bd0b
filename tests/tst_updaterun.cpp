// The update run end to end: the window in a process of its own, a real HTTP
// server on 127.0.0.1, message boxes answered with OK, the end observed as
// the process's end.

#include "platform/codepage.h"

#include "support/tempfolder.h"
#include "support/testserver.h"

#include <QProcess>
#include <QTest>

#include <csignal>
#include <sys/stat.h>

namespace {

const QString title = QStringLiteral("系统提示");
const QString upToDate = QStringLiteral("文件已是最新版本,无需更新！");
const QString failed = QStringLiteral("更新失败,请重新操作！");
const QString success = QStringLiteral("恭喜您：您已更新成最新版本,请重新登录系统！");

QByteArray gbk(const QString &text)
{
    return platform::CodePage("GBK").encode(text);
}

struct Message
{
    QString icon, title, text, button;
    int buttons = 0;
};

struct Ending
{
    int exitCode = -1;
    QList<Message> messages;
    bool returned = false; // the run ended with the window open
    QString statusLine, lastStatus, fileList;
    QList<QString> pressed;
    QString errors;
};

// An application folder with its working folder and a local stamp.
class AppFolder : public TempFolder
{
public:
    explicit AppFolder(const QByteArray &stamp = "1.0\r\n")
    {
        QDir().mkpath(path("Update"));
        if (!stamp.isNull())
            write("Update.inf", stamp);
    }

    QStringList working() const { return QDir(path("Update")).entryList(QDir::Files | QDir::Hidden); }
};

void startDriver(QProcess &process, const AppFolder &app, const TestServer &server, const QStringList &options)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(RUN_DRIVER), QStringList{app.path(), server.url()} + options);
}

Ending drive(const AppFolder &app, const TestServer &server, const QStringList &options = {})
{
    QProcess process;
    startDriver(process, app, server, options);
    Ending ending;
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
    }
    ending.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    ending.errors = QString::fromUtf8(process.readAllStandardError());
    const QStringList lines = QString::fromUtf8(process.readAllStandardOutput()).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const QStringList f = line.split(QLatin1Char('\t'));
        if (f[0] == QLatin1String("MESSAGE") && f.size() >= 5) {
            ending.messages.append({f[1], f[2], f[3], f[4], f.value(5).toInt()});
        } else if (f[0] == QLatin1String("RETURNED")) {
            ending.returned = true;
            ending.statusLine = f.value(1);
            ending.lastStatus = f.value(2);
            ending.fileList = f.value(3);
        } else if (f[0] == QLatin1String("PRESSED")) {
            ending.pressed.append(f.value(1));
        }
    }
    return ending;
}

// A server that publishes version 2.0 with the given manifest lines.
void publish(TestServer &server, const QStringList &lines, const QString &ending = QStringLiteral("\r\n"))
{
    server.setFile("/KVTA/ZE/UpdateNote.xml", "2.0\r\n");
    QString manifest;
    for (const QString &line : lines)
        manifest += line + ending;
    server.setFile("/KVTA/ZE/LoadUpdate.inf", gbk(manifest));
}

int requestsFor(const TestServer &server, const QByteArray &target)
{
    int count = 0;
    for (const auto &request : server.requests())
        count += request.target == target;
    return count;
}

} // namespace

class UpdateRunTest : public QObject
{
    Q_OBJECT

private slots:
    void equalStampsNeedNoUpdate();
    void fullUpdate();
    void smallerRemoteStampUpdatesToo();
    void errorPageForTheStampIsAnError();
    void missingLocalStamp();
    void missingWorkingFolder();
    void malformedManifestLines_data();
    void malformedManifestLines();
    void nameInsideTheRemotePath();
    void lineFeedOnlyManifestIsRefused();
    void traversalNameIsRefused_data();
    void traversalNameIsRefused();
    void missingListedFileFails();
    void truncatedListedFileFails();
    void emptyListedFileIsInstalled();
    void stampAtTheEnd_data();
    void stampAtTheEnd();
    void readOnlyTargetInstallsNothing();
    void pressDuringARunIsIgnored();
    void cancelDuringADownload_data();
    void cancelDuringADownload();
    void killDuringInstallation();
};

void UpdateRunTest::equalStampsNeedNoUpdate()
{
    TestServer server;
    server.setFile("/KVTA/ZE/UpdateNote.xml", "1.50\r\n");
    AppFolder app("0.9\r\n1.5");
    const Ending ending = drive(app, server);
    QCOMPARE(ending.exitCode, 0);
    QCOMPARE(ending.messages.size(), 1);
    QCOMPARE(ending.messages[0].text, upToDate);
    QCOMPARE(ending.messages[0].title, title);
    QCOMPARE(ending.messages[0].icon, QStringLiteral("information"));
    QCOMPARE(ending.messages[0].button, QStringLiteral("确定"));
    QCOMPARE(ending.messages[0].buttons, 1);
    QVERIFY(!ending.returned);
    QCOMPARE(requestsFor(server, "/KVTA/ZE/LoadUpdate.inf"), 0);
}

void UpdateRunTest::fullUpdate()
{
    TestServer server;
    const QString chinese = QStringLiteral("主程序.exe");
    publish(server, {QStringLiteral("0001files/client.dll name client.dll"),
                     QStringLiteral("0001files/") + chinese + QStringLiteral(" name ") + chinese,
                     QStringLiteral("0001files/big.dat name big.dat")});
    server.setFile("/files/client.dll", "new client library");
    server.setFile("/files/" + gbk(chinese).toPercentEncoding("/"), "new main program");
    server.setFile("/files/big.dat", patternBytes(300000));
    AppFolder app;
    app.write("client.dll", "old client library, longer than the new one");
    app.write("keep.txt", "not in the manifest");

    const Ending ending = drive(app, server);
    QCOMPARE(ending.exitCode, 0);
    QCOMPARE(ending.messages.size(), 1);
    QCOMPARE(ending.messages[0].text, success);
    QCOMPARE(ending.messages[0].title, title);
    QCOMPARE(ending.messages[0].icon, QStringLiteral("information"));

    QCOMPARE(app.read("client.dll"), QByteArray("new client library"));
    QCOMPARE(app.read(chinese), QByteArray("new main program"));
    QVERIFY(app.read("big.dat") == patternBytes(300000));
    QCOMPARE(app.read("keep.txt"), QByteArray("not in the manifest"));
    QCOMPARE(app.read("Update.inf"), QByteArray("2.0\r\n"));
    QVERIFY(!app.exists("UpdateNote.xml"));
    QVERIFY(app.exists("LoadUpdate.inf"));
    QCOMPARE(app.working(), QStringList());
    QCOMPARE(requestsFor(server, "/KVTA/ZE/UpdateNote.xml"), 2);
}

void UpdateRunTest::smallerRemoteStampUpdatesToo()
{
    TestServer server;
    publish(server, {QStringLiteral("0001a.txt name a.txt")});
    server.setFile("/KVTA/ZE/UpdateNote.xml", "0.5");
    server.setFile("/a.txt", "AAAA");
    AppFolder app("3.0");
    const Ending ending = drive(app, server);
    QCOMPARE(ending.messages.value(0).text, success);
    QCOMPARE(app.read("a.txt"), QByteArray("AAAA"));
    QCOMPARE(app.read("Update.inf"), QByteArray("0.5"));
}

void UpdateRunTest::errorPageForTheStampIsAnError()
{
    TestServer server; // no stamp published: the server answers with an HTML 404 page
    AppFolder app(QByteArray(""));
    const Ending ending = drive(app, server);
    QCOMPARE(ending.exitCode, 3);
    QVERIFY(ending.returned);
    QCOMPARE(ending.messages.size(), 1);
    QVERIFY2(ending.messages[0].text.contains(QLatin1String("404")), qPrintable(ending.messages[0].text));
    QCOMPARE(ending.messages[0].icon, QStringLiteral("none"));
    QCOMPARE(ending.messages[0].title, QStringLiteral("客户端在线更新"));
    QCOMPARE(requestsFor(server, "/KVTA/ZE/LoadUpdate.inf"), 0);
}

void UpdateRunTest::missingLocalStamp()
{
    TestServer server;
    publish(server, {QStringLiteral("0001a.txt name a.txt")});
    AppFolder app(QByteArray{});
    const Ending ending = drive(app, server);
    QVERIFY(ending.returned);
    QVERIFY(ending.messages.value(0).text.startsWith(QStringLiteral("文件未找到")));
    QVERIFY(ending.messages.value(0).text.endsWith(QLatin1String("Update.inf")));
    QCOMPARE(requestsFor(server, "/KVTA/ZE/LoadUpdate.inf"), 0);
}

void UpdateRunTest::missingWorkingFolder()
{
    TestServer server;
    publish(server, {QStringLiteral("0001a.txt name a.txt")});
    AppFolder app;
    QDir(app.path("Update")).removeRecursively();
    const Ending ending = drive(app, server);
    QVERIFY(ending.returned);
    QVERIFY(ending.messages.value(0).text.startsWith(QStringLiteral("路径未找到")));
    QCOMPARE(ending.statusLine, QStringLiteral("连接状态： 正在下载数据..."));
}

void UpdateRunTest::malformedManifestLines_data()
{
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("blank line") << QStringList{"0001a.txt name a.txt", "", "0001b.txt name b.txt"};
    QTest::newRow("no name") << QStringList{"0001a.txt name a.txt", "0001b.txt NAME b.txt"};
    QTest::newRow("word too early") << QStringList{"0001a.txt name a.txt", "01 name b.txt"};
    QTest::newRow("ends after the word") << QStringList{"0001a.txt name a.txt", "0001b.txt name"};
    QTest::newRow("two breaks at the end") << QStringList{"0001a.txt name a.txt", "0001b.txt name b.txt", ""};
}

void UpdateRunTest::malformedManifestLines()
{
    QFETCH(QStringList, lines);
    TestServer server;
    publish(server, lines);
    server.setFile("/a.txt", "A");
    server.setFile("/b.txt", "B");
    AppFolder app;
    const Ending ending = drive(app, server);
    QVERIFY(ending.returned);
    QCOMPARE(ending.messages.size(), 1);
    QVERIFY2(ending.messages[0].text.startsWith(QStringLiteral("无效的过程调用或参数")),
             qPrintable(ending.messages[0].text));
    QVERIFY(app.working().contains("a.txt"));
    QVERIFY(!app.exists("a.txt"));
    QCOMPARE(app.read("Update.inf"), QByteArray("1.0\r\n"));
    QVERIFY(ending.fileList.startsWith(QLatin1String("a.txt\\r\\n")));
}

void UpdateRunTest::nameInsideTheRemotePath()
{
    TestServer server;
    publish(server, {QStringLiteral("0001dl/renamed.dll name new.dll")});
    server.setFile("/dl/r", "fetched from dl/r");
    AppFolder app;
    const Ending ending = drive(app, server);
    QCOMPARE(ending.messages.value(0).text, success);
    QCOMPARE(app.read(".dll name new.dll"), QByteArray("fetched from dl/r"));
}

void UpdateRunTest::lineFeedOnlyManifestIsRefused()
{
    // Line feeds alone do not end a line: the whole file is one line, whose
    // local name holds line feeds, which no file name may.
    TestServer server;
    publish(server, {QStringLiteral("0001a.txt name a.txt"), QStringLiteral("0001b.txt name b.txt")},
            QStringLiteral("\n"));
    server.setFile("/a.txt", "A");
    server.setFile("/b.txt", "B");
    AppFolder app;
    const Ending ending = drive(app, server);
    QVERIFY(ending.returned);
    QVERIFY(ending.messages.value(0).text.startsWith(QStringLiteral("无效的过程调用或参数")));
    QCOMPARE(requestsFor(server, "/a.txt") + requestsFor(server, "/b.txt"), 0);
}

void UpdateRunTest::traversalNameIsRefused_data()
{
    QTest::addColumn<QString>("line");
    QTest::newRow("parent folder") << "0001evil.txt name ../evil.txt";
    QTest::newRow("parent folder, backslash") << "0001evil.txt name sub\\..\\..\\evil.txt";
    QTest::newRow("absolute") << "0001evil.txt name /tmp/evil.txt";
}

void UpdateRunTest::traversalNameIsRefused()
{
    QFETCH(QString, line);
    TestServer server;
    publish(server, {line});
    server.setFile("/evil.txt", "evil");
    AppFolder app;
    const Ending ending = drive(app, server);
    QVERIFY(ending.returned);
    QVERIFY(ending.messages.value(0).text.startsWith(QStringLiteral("无效的过程调用或参数")));
    QCOMPARE(requestsFor(server, "/evil.txt"), 0);
    QVERIFY(!app.exists("evil.txt"));
    QVERIFY(ending.fileList.isEmpty());
}

void UpdateRunTest::missingListedFileFails()
{
    TestServer server;
    publish(server, {QStringLiteral("0001a.txt name a.txt"), QStringLiteral("0001gone.txt name gone.txt"),
                     QStringLiteral("0001c.txt name c.txt")});
    server.setFile("/a.txt", "A");
    server.setFile("/c.txt", "C");
    AppFolder app;
    const Ending ending = drive(app, server);
    QCOMPARE(ending.exitCode, 0);
    QVERIFY(!ending.returned);
    QCOMPARE(ending.messages.size(), 1);
    QCOMPARE(ending.messages[0].text, failed);
    QCOMPARE(ending.messages[0].title, title);
    QCOMPARE(requestsFor(server, "/c.txt"), 0);
    QVERIFY(!app.exists("a.txt"));
    QCOMPARE(app.read("Update.inf"), QByteArray("1.0\r\n"));
}

void UpdateRunTest::truncatedListedFileFails()
{
    TestServer server;
    publish(server, {QStringLiteral("0001a.txt name a.txt")});
    TestServer::Route cut;
    cut.mode = TestServer::Route::Mode::CutShort;
    cut.body = patternBytes(100000);
    cut.sendBytes = 60000;
    server.setRoute("/a.txt", cut);
    AppFolder app;
    app.write("Update/left-from-before.bin", patternBytes(200000)); // would satisfy a folder-size bound
    const Ending ending = drive(app, server);
    QCOMPARE(ending.messages.value(0).text, failed);
    QVERIFY(!app.exists("a.txt"));
    QCOMPARE(app.read("Update.inf"), QByteArray("1.0\r\n"));
}

void UpdateRunTest::emptyListedFileIsInstalled()
{
    TestServer server;
    publish(server, {QStringLiteral("0001empty.txt name empty.txt"), QStringLiteral("0001kb.bin name kb.bin")});
    server.setFile("/empty.txt", "");
    server.setFile("/kb.bin", patternBytes(1000));
    AppFolder app;
    app.write("empty.txt", "old content");
    const Ending ending = drive(app, server);
    QCOMPARE(ending.messages.value(0).text, success);
    QVERIFY(app.exists("empty.txt"));
    QCOMPARE(app.read("empty.txt"), QByteArray());
    QVERIFY(app.read("kb.bin") == patternBytes(1000));
}

void UpdateRunTest::stampAtTheEnd_data()
{
    QTest::addColumn<bool>("empty"); // else gone
    QTest::newRow("gone: the update fails") << false;
    QTest::newRow("empty: installed, old stamp kept") << true;
}

void UpdateRunTest::stampAtTheEnd()
{
    QFETCH(bool, empty);
    TestServer server;
    publish(server, {QStringLiteral("0001a.txt name a.txt")});
    TestServer::Route once;
    once.body = "2.0\r\n";
    once.servings = 1;
    if (empty)
        once.afterwards = std::make_shared<TestServer::Route>();
    server.setRoute("/KVTA/ZE/UpdateNote.xml", once);
    server.setFile("/a.txt", "A");
    AppFolder app;
    const Ending ending = drive(app, server);
    QCOMPARE(ending.messages.value(0).text, empty ? success : failed);
    QCOMPARE(app.exists("a.txt"), empty);
    QCOMPARE(app.read("Update.inf"), QByteArray("1.0\r\n"));
    QVERIFY(!app.exists("UpdateNote.xml"));
    if (empty)
        QCOMPARE(app.working(), QStringList());
}

void UpdateRunTest::readOnlyTargetInstallsNothing()
{
    TestServer server;
    publish(server, {QStringLiteral("0001a.txt name a.txt"), QStringLiteral("0001b.txt name b.txt")});
    server.setFile("/a.txt", "new A");
    server.setFile("/b.txt", "new B");
    AppFolder app;
    app.write("a.txt", "old A");
    ::chmod(QFile::encodeName(app.write("b.txt", "old B")).constData(), 0444);
    const Ending ending = drive(app, server);
    QVERIFY(ending.returned);
    QVERIFY(ending.messages.value(0).text.startsWith(QStringLiteral("没有权限")));
    QCOMPARE(app.read("a.txt"), QByteArray("old A"));
    QCOMPARE(app.read("b.txt"), QByteArray("old B"));
    QCOMPARE(app.read("Update.inf"), QByteArray("1.0\r\n"));
}

void UpdateRunTest::pressDuringARunIsIgnored()
{
    TestServer server;
    publish(server, {QStringLiteral("0001a.bin name a.bin")});
    server.setFile("/a.bin", patternBytes(50000));
    AppFolder app;
    const Ending ending = drive(app, server, {QStringLiteral("--press-during-run")});
    QCOMPARE(ending.pressed, QList<QString>{QStringLiteral("1")});
    QCOMPARE(ending.messages.size(), 1);
    QCOMPARE(ending.messages[0].text, success);
    QCOMPARE(requestsFor(server, "/KVTA/ZE/UpdateNote.xml"), 2);
    QCOMPARE(requestsFor(server, "/a.bin"), 1);
}

void UpdateRunTest::cancelDuringADownload_data()
{
    QTest::addColumn<QString>("option");
    QTest::newRow("cancel button") << "--cancel-on=slow.bin";
    QTest::newRow("close button") << "--close-on=slow.bin";
}

void UpdateRunTest::cancelDuringADownload()
{
    QFETCH(QString, option);
    TestServer server;
    publish(server, {QStringLiteral("0001slow.bin name slow.bin")});
    TestServer::Route slow;
    slow.mode = TestServer::Route::Mode::Throttled;
    slow.body = patternBytes(400000);
    slow.chunk = 4096;
    slow.intervalMs = 20;
    server.setRoute("/slow.bin", slow);
    AppFolder app;
    const Ending ending = drive(app, server, {option});
    QCOMPARE(ending.exitCode, 0);
    QVERIFY(ending.messages.isEmpty());
    QVERIFY(!ending.returned);
    const QByteArray partial = app.read("Update/slow.bin");
    QVERIFY(partial.size() >= 512 && partial.size() < 400000);
    QVERIFY(partial == slow.body.left(partial.size()));
    QVERIFY(!app.exists("slow.bin"));
    QCOMPARE(app.read("Update.inf"), QByteArray("1.0\r\n"));
}

void UpdateRunTest::killDuringInstallation()
{
    TestServer server;
    publish(server, {QStringLiteral("0001big.bin name big.bin")});
    const QByteArray fresh = patternBytes(48 * 1024 * 1024, 3);
    server.setFile("/big.bin", fresh);
    AppFolder app;
    const QByteArray old = patternBytes(1024 * 1024, 4);
    app.write("big.bin", old);

    QProcess process;
    startDriver(process, app, server, {});
    QVERIFY(process.waitForStarted());
    // Kill as soon as the installation starts writing beside the target.
    QElapsedTimer clock;
    clock.start();
    while (process.state() == QProcess::Running && !app.exists(".big.bin.updating") && clock.elapsed() < 60000)
        QTest::qWait(1);
    ::kill(pid_t(process.processId()), SIGKILL);
    process.waitForFinished();

    const QByteArray installed = app.read("big.bin");
    QVERIFY2(installed == old || installed == fresh, "the target is half-written");
    if (installed == old)
        QCOMPARE(app.read("Update.inf"), QByteArray("1.0\r\n"));
}

QTEST_GUILESS_MAIN(UpdateRunTest)
#include "tst_updaterun.moc"

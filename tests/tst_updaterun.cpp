// The update run end to end: the window in the test's process, or in one of
// its own where only that shows what is tested, a real HTTP server on
// 127.0.0.1, message boxes answered with OK.

#include "app/translations.h"
#include "platform/text/codepage.h"

#include "support/quicklimits.h"
#include "support/rundriving.h"
#include "support/smalldisk.h"
#include "support/windowrun.h"

#include <QProcess>
#include <QScopeGuard>
#include <QTest>

#include <csignal>
#include <filesystem>
#include <fcntl.h>
#include <optional>
#include <unistd.h>
#include <sys/stat.h>

namespace {

using End = update::RunOutcome::End;

const QString title = QStringLiteral("系统提示");
const QString upToDate = QStringLiteral("文件已是最新版本,无需更新！");
const QString failed = QStringLiteral("更新失败,请重新操作！");
// What the log says of a download that failed so, before the URL.
const QString statusFailure = QStringLiteral("服务器返回错误状态,暂时无法下载此文件,请稍后重试；如果仍然失败,请联系软件供应商：");
// The update failure's message for a download that failed so: which URL is the log's.
const QString statusFailed = QStringLiteral("服务器返回错误状态,暂时无法下载此文件。\n本次更新未做任何更改。\n"
                                            "请稍后重试；\n如果仍然失败,请联系软件供应商。");
QString failedFor(const QString &why)
{
    return failed + QLatin1Char('\n') + why;
}
const QString success = QStringLiteral("恭喜您：您已更新成最新版本,请重新登录系统！");

QByteArray gbk(const QString &text)
{
    return platform::CodePage("GBK").encode(text);
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

// Everything in a folder, dangling links and FIFOs included.
QStringList entriesOf(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// What a folder holds, name and content, so that any change shows.
QMap<QString, QByteArray> snapshot(const TempFolder &folder)
{
    QMap<QString, QByteArray> files;
    for (const QString &name : entriesOf(folder.path()))
        files.insert(name, folder.read(name));
    return files;
}

bool isRegularFile(const QString &path)
{
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode);
}

} // namespace

class UpdateRunTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
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
    void linksAndFifosAreNeverFollowed_data();
    void linksAndFifosAreNeverFollowed();
    void secondRunIsRefused();
    void manifestNotFetched_data();
    void manifestNotFetched();
    void applicationFolderOfTheExecutable_data();
    void applicationFolderOfTheExecutable();
    void installationIsAllOrNothing_data();
    void installationIsAllOrNothing();
    void fullDiskNamesTheTarget_data();
    void fullDiskNamesTheTarget();
    void pressDuringARunIsIgnored();
    void cancelDuringADownload_data();
    void cancelDuringADownload();
    void killDuringInstallation();
    void failedSyncInstallsNothing_data();
    void failedSyncInstallsNothing();
    void everyWholeReleaseInstalls_data();
    void subfoldersInstall_data();
    void subfoldersInstall();
    void everyWholeReleaseInstalls();
};

void UpdateRunTest::initTestCase()
{
    installChineseTranslations(*QCoreApplication::instance());
}

void UpdateRunTest::equalStampsNeedNoUpdate()
{
    TestServer server;
    server.setFile("/KVTA/ZE/UpdateNote.xml", "1.50\r\n");
    DriverAppFolder app("0.9\r\n1.5");
    const WindowEnding ending = TestWindow(app.path(), server).run();
    QCOMPARE(ending.end, End::UpToDate);
    QCOMPARE(ending.messages.size(), 1);
    QCOMPARE(ending.messages[0].text, upToDate);
    QCOMPARE(ending.messages[0].title, title);
    QCOMPARE(ending.messages[0].icon, QStringLiteral("information"));
    QCOMPARE(ending.messages[0].button, QStringLiteral("确定"));
    QCOMPARE(ending.messages[0].buttons, 1);
    QVERIFY(!ending.returned);
    QCOMPARE(requestCount(server, "/KVTA/ZE/LoadUpdate.inf"), 0);
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
    DriverAppFolder app;
    app.write("client.dll", "old client library, longer than the new one");
    app.write("keep.txt", "not in the manifest");

    const WindowEnding ending = TestWindow(app.path(), server).run();
    QCOMPARE(ending.end, End::Installed);
    QVERIFY(!ending.returned);
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
    QCOMPARE(requestCount(server, "/KVTA/ZE/UpdateNote.xml"), 2);
}

void UpdateRunTest::smallerRemoteStampUpdatesToo()
{
    TestServer server;
    publish(server, {QStringLiteral("0001a.txt name a.txt")});
    server.setFile("/KVTA/ZE/UpdateNote.xml", "0.5");
    server.setFile("/a.txt", "AAAA");
    DriverAppFolder app("3.0");
    const WindowEnding ending = TestWindow(app.path(), server).run();
    QCOMPARE(ending.messages.value(0).text, success);
    QCOMPARE(app.read("a.txt"), QByteArray("AAAA"));
    QCOMPARE(app.read("Update.inf"), QByteArray("0.5"));
}

void UpdateRunTest::errorPageForTheStampIsAnError()
{
    TestServer server; // no stamp published: the server answers with an HTML 404 page
    DriverAppFolder app(QByteArray(""));
    const WindowEnding ending = TestWindow(app.path(), server).run();
    QCOMPARE(ending.end, End::Refused);
    QVERIFY(ending.returned);
    QCOMPARE(ending.messages.size(), 1);
    // What to do; which file and the status itself are for the log.
    QCOMPARE(ending.messages[0].text, statusFailed);
    QVERIFY(QString::fromUtf8(app.read("Update.log")).contains(QLatin1String("status 404")));
    QVERIFY(QString::fromUtf8(app.read("Update.log")).contains(statusFailure + server.url("KVTA/ZE/UpdateNote.xml")));
    QCOMPARE(ending.messages[0].icon, QStringLiteral("none"));
    QCOMPARE(ending.messages[0].title, QStringLiteral("客户端在线更新"));
    QCOMPARE(requestCount(server, "/KVTA/ZE/LoadUpdate.inf"), 0);
}

void UpdateRunTest::missingLocalStamp()
{
    TestServer server;
    publish(server, {QStringLiteral("0001a.txt name a.txt")});
    DriverAppFolder app(QByteArray{});
    const WindowEnding ending = TestWindow(app.path(), server).run();
    QVERIFY(ending.returned);
    QVERIFY(ending.messages.value(0).text.startsWith(QStringLiteral("文件未找到")));
    QVERIFY(QString::fromUtf8(app.read("Update.log")).contains(QLatin1String("Update.inf")));
    QCOMPARE(requestCount(server, "/KVTA/ZE/LoadUpdate.inf"), 0);
}

void UpdateRunTest::missingWorkingFolder()
{
    TestServer server;
    publish(server, {QStringLiteral("0001a.txt name a.txt")});
    DriverAppFolder app;
    QDir(app.path("Update")).removeRecursively();
    const WindowEnding ending = TestWindow(app.path(), server).run();
    QVERIFY(ending.returned);
    QVERIFY(ending.messages.value(0).text.startsWith(QStringLiteral("路径未找到")));
    QCOMPARE(ending.statusLine, QStringLiteral("路径未找到"));
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
    DriverAppFolder app;
    const WindowEnding ending = TestWindow(app.path(), server).run();
    QVERIFY(ending.returned);
    QCOMPARE(ending.messages.size(), 1);
    QVERIFY2(ending.messages[0].text.startsWith(QStringLiteral("无效的过程调用或参数")),
             qPrintable(ending.messages[0].text));
    QVERIFY(app.working().contains("a.txt"));
    QVERIFY(!app.exists("a.txt"));
    QCOMPARE(app.read("Update.inf"), QByteArray("1.0\r\n"));
    QVERIFY(ending.fileList.startsWith(QLatin1String("a.txt\r\n")));
}

void UpdateRunTest::nameInsideTheRemotePath()
{
    TestServer server;
    publish(server, {QStringLiteral("0001dl/renamed.dll name new.dll")});
    server.setFile("/dl/r", "fetched from dl/r");
    DriverAppFolder app;
    const WindowEnding ending = TestWindow(app.path(), server).run();
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
    DriverAppFolder app;
    const WindowEnding ending = TestWindow(app.path(), server).run();
    QVERIFY(ending.returned);
    QVERIFY(ending.messages.value(0).text.startsWith(QStringLiteral("无效的过程调用或参数")));
    QCOMPARE(requestCount(server, "/a.txt") + requestCount(server, "/b.txt"), 0);
}

void UpdateRunTest::traversalNameIsRefused_data()
{
    QTest::addColumn<QString>("line");
    QTest::newRow("parent folder") << "0001evil.txt name ../evil.txt";
    QTest::newRow("parent folder, backslash") << "0001evil.txt name sub\\..\\..\\evil.txt";
    QTest::newRow("absolute") << "0001evil.txt name /tmp/evil.txt";
    QTest::newRow("subfolder, dot part") << "0001evil.txt name sub\\.\\evil.txt";
    QTest::newRow("the local stamp") << "0001evil.txt name Update.inf";
    QTest::newRow("1 MB line") << "0001evil.txt name " + QString(1024 * 1024, QLatin1Char('x'));
}

void UpdateRunTest::traversalNameIsRefused()
{
    QFETCH(QString, line);
    TestServer server;
    publish(server, {line});
    server.setFile("/evil.txt", "evil");
    DriverAppFolder app;
    const WindowEnding ending = TestWindow(app.path(), server).run();
    QVERIFY(ending.returned);
    QVERIFY(ending.messages.value(0).text.startsWith(QStringLiteral("无效的过程调用或参数")));
    QVERIFY(ending.messages.value(0).text.size() < 1000);
    QCOMPARE(requestCount(server, "/evil.txt"), 0);
    QVERIFY(!app.exists("evil.txt"));
    QVERIFY(ending.fileList.isEmpty());
    QCOMPARE(app.read("Update.inf"), QByteArray("1.0\r\n"));
}

void UpdateRunTest::missingListedFileFails()
{
    TestServer server;
    publish(server, {QStringLiteral("0001a.txt name a.txt"), QStringLiteral("0001gone.txt name gone.txt"),
                     QStringLiteral("0001c.txt name c.txt")});
    server.setFile("/a.txt", "A");
    server.setFile("/c.txt", "C");
    DriverAppFolder app;
    const WindowEnding ending = TestWindow(app.path(), server).run();
    QCOMPARE(ending.end, End::UpdateFailure);
    QVERIFY(!ending.returned);
    QCOMPARE(ending.messages.size(), 1);
    QCOMPARE(ending.messages[0].text, failedFor(statusFailed));
    QCOMPARE(ending.messages[0].title, title);
    // Sent ahead at most, never installed.
    QVERIFY(requestCount(server, "/c.txt") <= 1);
    QVERIFY(!app.exists("a.txt") && !app.exists("c.txt"));
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
    DriverAppFolder app;
    app.write("Update/left-from-before.bin", patternBytes(200000)); // would satisfy a folder-size bound
    const WindowEnding ending = TestWindow(app.path(), server).run();
    QCOMPARE(ending.messages.value(0).text,
             failedFor(QStringLiteral("网络请求失败,连接中断,文件未能下载完整。\n本次更新未做任何更改。\n"
                                      "请检查网络连接后重试。")));
    QVERIFY(!app.exists("a.txt"));
    QCOMPARE(app.read("Update.inf"), QByteArray("1.0\r\n"));
}

void UpdateRunTest::emptyListedFileIsInstalled()
{
    TestServer server;
    publish(server, {QStringLiteral("0001empty.txt name empty.txt"), QStringLiteral("0001kb.bin name kb.bin")});
    server.setFile("/empty.txt", "");
    server.setFile("/kb.bin", patternBytes(1000));
    DriverAppFolder app;
    app.write("empty.txt", "old content");
    const WindowEnding ending = TestWindow(app.path(), server).run();
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
    DriverAppFolder app;
    const WindowEnding ending = TestWindow(app.path(), server).run();
    QCOMPARE(ending.messages.value(0).text, empty ? success : failedFor(statusFailed));
    QCOMPARE(app.exists("a.txt"), empty);
    QCOMPARE(app.read("Update.inf"), QByteArray("1.0\r\n"));
    QVERIFY(!app.exists("UpdateNote.xml"));
    if (empty)
        QCOMPARE(app.working(), QStringList());
}

void UpdateRunTest::linksAndFifosAreNeverFollowed_data()
{
    QTest::addColumn<QString>("at");   // where, in the application folder
    QTest::addColumn<QString>("kind"); // link, dangling, fifo, file, large
    QTest::addColumn<bool>("succeeds");
    QTest::newRow("link at a download target") << "Update/a.txt" << "link" << true;
    QTest::newRow("FIFO at a download target") << "Update/a.txt" << "fifo" << true;
    QTest::newRow("link at an installation target") << "a.txt" << "link" << true;
    QTest::newRow("FIFO at an installation target") << "a.txt" << "fifo" << true;
    QTest::newRow("link at the manifest copy") << "LoadUpdate.inf" << "link" << true;
    QTest::newRow("FIFO at the manifest copy") << "LoadUpdate.inf" << "fifo" << true;
    QTest::newRow("dangling link in the working folder") << "Update/gone" << "dangling" << true;
    QTest::newRow("link at the local stamp") << "Update.inf" << "link" << false;
    QTest::newRow("FIFO at the local stamp") << "Update.inf" << "fifo" << false;
    QTest::newRow("working folder is a link") << "Update" << "link" << false;
    QTest::newRow("working folder is a file") << "Update" << "file" << false;
    QTest::newRow("local stamp over 64 KiB") << "Update.inf" << "large" << false;
}

void UpdateRunTest::linksAndFifosAreNeverFollowed()
{
    QFETCH(QString, at);
    QFETCH(QString, kind);
    QFETCH(bool, succeeds);
    TestServer server;
    publish(server, {QStringLiteral("0001a.txt name a.txt")});
    server.setFile("/a.txt", "new A");
    DriverAppFolder app;
    TempFolder outside;
    outside.write("Update.inf", "1.0\r\n");
    outside.write("a.txt", "outside");
    const QByteArray native = QFile::encodeName(app.path(at));
    if (at == "Update")
        QDir(app.path()).rmdir(at);
    else
        QFile::remove(app.path(at));
    if (kind == "link")
        QVERIFY(QFile::link(outside.path(at == "Update" ? "" : QFileInfo(at).fileName()), app.path(at)));
    else if (kind == "dangling")
        QVERIFY(QFile::link(outside.path("nowhere"), app.path(at)));
    else if (kind == "fifo")
        QCOMPARE(::mkfifo(native.constData(), 0644), 0);
    else if (kind == "large")
        app.write(at, QByteArray(64 * 1024, '\n') + "1.0\r\n");
    else
        app.write(at, "a file");
    const QMap<QString, QByteArray> before = snapshot(outside);

    const WindowEnding ending = TestWindow(app.path(), server).run();
    QCOMPARE(snapshot(outside), before);
    if (succeeds) {
        QCOMPARE(ending.messages.value(0).text, success);
        QVERIFY(isRegularFile(app.path("a.txt")));
        QCOMPARE(app.read("a.txt"), QByteArray("new A"));
        QVERIFY(isRegularFile(app.path("LoadUpdate.inf")));
        QCOMPARE(app.read("Update.inf"), QByteArray("2.0\r\n"));
        QCOMPARE(entriesOf(app.path("Update")), QStringList());
    } else {
        QVERIFY(ending.returned);
        QCOMPARE(ending.messages.size(), 1);
        QCOMPARE(ending.messages[0].icon, QStringLiteral("none"));
        QVERIFY(QString::fromUtf8(app.read("Update.log")).contains(app.path(at)));
        QCOMPARE(requestCount(server, "/KVTA/ZE/LoadUpdate.inf"), 0);
        QVERIFY(!app.exists("a.txt"));
    }
}

void UpdateRunTest::secondRunIsRefused()
{
    TestServer server;
    const QByteArray body = patternBytes(400000);
    publish(server, {QStringLiteral("0001a.bin name a.bin")});
    server.setFile("/a.bin", body);
    // The first run waits for its stamp, holding the folder, long enough for
    // a second one to start and be turned away.
    TestServer::Route slowStamp;
    slowStamp.body = "2.0\r\n";
    slowStamp.delayMs = 5000;
    slowStamp.servings = 1;
    slowStamp.afterwards = std::make_shared<TestServer::Route>();
    slowStamp.afterwards->body = slowStamp.body;
    server.setRoute("/KVTA/ZE/UpdateNote.xml", slowStamp);
    DriverAppFolder app;

    QProcess first;
    startDriver(first, app.path(), server, {});
    QElapsedTimer clock;
    clock.start();
    while (requestCount(server, "/KVTA/ZE/UpdateNote.xml") == 0 && clock.elapsed() < 60000)
        QTest::qWait(5);
    const WindowEnding second = TestWindow(app.path(), server).run();
    QCOMPARE(second.end, End::FolderInUse);
    QVERIFY(second.returned);
    QCOMPARE(second.messages.size(), 1);
    QCOMPARE(second.messages[0].text, QStringLiteral("另一个更新正在进行,请稍后再试！"));
    QCOMPARE(second.messages[0].title, title);
    QCOMPARE(second.messages[0].icon, QStringLiteral("information"));
    QCOMPARE(requestCount(server, "/KVTA/ZE/UpdateNote.xml"), 1);

    const DriverEnding ending = finishDriver(first);
    QCOMPARE(ending.messages.value(0).text, success);
    QVERIFY(app.read("a.bin") == body);
    QCOMPARE(app.read("Update.inf"), QByteArray("2.0\r\n"));
    QCOMPARE(requestCount(server, "/KVTA/ZE/UpdateNote.xml"), 2); // the first run's only
}

void UpdateRunTest::manifestNotFetched_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("silent");
    QTest::addColumn<QString>("why"); // what the message adds; empty: the download arrived, only not whole
    const QString timeout = QStringLiteral("网络连接超时,更新服务器长时间没有响应。\n本次更新未做任何更改。\n"
                                           "请检查网络连接后重试。");
    QTest::newRow("503") << 503 << QByteArray("0001new.txt name new.txt\r\n") << false << statusFailed;
    QTest::newRow("204") << 204 << QByteArray() << false << statusFailed;
    QTest::newRow("empty body") << 200 << QByteArray() << false << QString();
    QTest::newRow("time-out") << 200 << QByteArray("0001new.txt name new.txt\r\n") << true << timeout;
    QTest::newRow("over 8 MiB") << 200 << QByteArray("0001new.txt name new.txt\r\n").repeated(330000) << false
                                << QString();
}

void UpdateRunTest::manifestNotFetched()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, silent);
    QFETCH(QString, why);
    TestServer server;
    publish(server, {QStringLiteral("0001new.txt name new.txt")});
    TestServer::Route manifest;
    manifest.status = status;
    manifest.body = body;
    if (silent)
        manifest.mode = TestServer::Route::Mode::NoResponse;
    server.setRoute("/KVTA/ZE/LoadUpdate.inf", manifest);
    server.setFile("/old.txt", "old release");
    server.setFile("/new.txt", "new release");
    DriverAppFolder app;
    app.write("LoadUpdate.inf", "0001old.txt name old.txt\r\n"); // an earlier run's copy

    // Short waits and retries, so that a run through every retry ends quickly.
    WindowEnding ending = TestWindow(app.path(), server, std::nullopt, quickLimits()).run();
    QCOMPARE(ending.messages.value(0).text,
             why.isEmpty() ? failed : failedFor(why));
    QCOMPARE(requestCount(server, "/old.txt"), 0);
    QVERIFY(!app.exists("old.txt"));
    QCOMPARE(app.read("Update.inf"), QByteArray("1.0\r\n"));

    publish(server, {QStringLiteral("0001new.txt name new.txt")});
    ending = TestWindow(app.path(), server, std::nullopt, quickLimits()).run();
    QCOMPARE(ending.messages.value(0).text, success);
    QCOMPARE(app.read("new.txt"), QByteArray("new release"));
    QCOMPARE(app.read("Update.inf"), QByteArray("2.0\r\n"));
}

void UpdateRunTest::applicationFolderOfTheExecutable_data()
{
    QTest::addColumn<QByteArray>("folderName");
    QTest::addColumn<bool>("representable");
    QTest::newRow("UTF-8 name") << QStringLiteral("客户端").toUtf8() << true;
    QTest::newRow("GBK bytes") << gbk(QStringLiteral("客户端")) << false;
}

void UpdateRunTest::applicationFolderOfTheExecutable()
{
    QFETCH(QByteArray, folderName);
    QFETCH(bool, representable);
    TestServer server;
    publish(server, {QStringLiteral("0001a.txt name a.txt")});
    server.setFile("/a.txt", "new A");
    TempFolder root;
    // The driver is copied into the folder and started through a link with a
    // name Qt can hold; the kernel reports the real path.
    const QByteArray folder = QFile::encodeName(root.path()) + '/' + folderName;
    QCOMPARE(::mkdir(folder.constData(), 0755), 0);
    // QTemporaryDir cannot name it to remove it.
    const auto removeFolder = qScopeGuard([&] { std::filesystem::remove_all(folder.toStdString()); });
    QCOMPARE(::mkdir((folder + "/Update").constData(), 0755), 0);
    QVERIFY(QFile::copy(QStringLiteral(RUN_DRIVER), root.path("driver")));
    QCOMPARE(::rename(QFile::encodeName(root.path("driver")).constData(), (folder + "/run_driver").constData()), 0);
    QCOMPARE(::symlink((folder + "/run_driver").constData(), QFile::encodeName(root.path("launcher")).constData()), 0);
    {
        const int fd = ::open((folder + "/Update.inf").constData(), O_WRONLY | O_CREAT, 0644);
        QVERIFY(fd >= 0);
        QCOMPARE(::write(fd, "1.0\r\n", 5), ssize_t(5));
        ::close(fd);
    }

    const DriverEnding ending = driveRun(QStringLiteral("-"), server, {}, root.path("launcher"));
    if (representable) {
        QCOMPARE(ending.messages.value(0).text, success);
        QCOMPARE(root.read(QString::fromUtf8(folderName) + "/a.txt"), QByteArray("new A"));
    } else {
        QVERIFY(ending.returned);
        QCOMPARE(ending.messages.size(), 1);
        QVERIFY2(ending.messages[0].text.contains(QStringLiteral("无法用系统编码表示")),
                 qPrintable(ending.messages[0].text));
        QCOMPARE(server.requests().size(), 0);
    }
}

void UpdateRunTest::installationIsAllOrNothing_data()
{
    QTest::addColumn<QString>("obstacle");
    QTest::addColumn<QString>("message");
    QTest::newRow("read-only target") << "read-only" << QStringLiteral("没有权限");
    QTest::newRow("directory in the way") << "directory" << QStringLiteral("路径/文件访问错误");
    QTest::newRow("name too long with the staging suffix") << "long" << QStringLiteral("路径/文件访问错误");
}

void UpdateRunTest::installationIsAllOrNothing()
{
    QFETCH(QString, obstacle);
    QFETCH(QString, message);
    const QString second = obstacle == "long" ? QString(250, QLatin1Char('b')) : QStringLiteral("b.txt");
    TestServer server;
    publish(server, {QStringLiteral("0001a.txt name a.txt"), QStringLiteral("0001b.txt name ") + second,
                     QStringLiteral("0001c.txt name c.txt")});
    server.setFile("/a.txt", "new A");
    server.setFile("/b.txt", "new B");
    server.setFile("/c.txt", "new C");
    DriverAppFolder app;
    app.write("a.txt", "old A");
    if (obstacle == "read-only")
        ::chmod(QFile::encodeName(app.write(second, "old B")).constData(), 0444);
    else if (obstacle == "directory")
        QDir().mkpath(app.path(second + "/inside"));
    const WindowEnding ending = TestWindow(app.path(), server).run();
    QVERIFY(ending.returned);
    QVERIFY2(ending.messages.value(0).text.startsWith(message), qPrintable(ending.messages.value(0).text));
    QVERIFY(QString::fromUtf8(app.read("Update.log")).contains(app.path(second)));
    QCOMPARE(app.read("a.txt"), QByteArray("old A"));
    QCOMPARE(app.read(second), QByteArray(obstacle == "read-only" ? "old B" : ""));
    QVERIFY(!app.exists("c.txt"));
    QCOMPARE(app.read("Update.inf"), QByteArray("1.0\r\n"));
    QCOMPARE(entriesOf(app.path()).filter(QStringLiteral(".updating")), QStringList());
}

void UpdateRunTest::fullDiskNamesTheTarget_data()
{
    QTest::addColumn<bool>("duringInstallation"); // else during the download
    QTest::newRow("download") << false;
    QTest::newRow("installation") << true;
}

void UpdateRunTest::fullDiskNamesTheTarget()
{
    QFETCH(bool, duringInstallation);
    TestServer server;
    publish(server, {QStringLiteral("0001a.txt name a.txt"), QStringLiteral("0001big.bin name big.bin")});
    server.setFile("/a.txt", "new A");
    server.setFile("/big.bin", patternBytes(2 * 1024 * 1024));
    TempFolder root;
    const QString app = root.path("app");
    SmallDisk disk(app, 1024 * 1024);
    if (!disk.isMounted())
        QSKIP("cannot mount a small file system here");
    // The working folder on a disk of its own makes the installation copy.
    std::optional<SmallDisk> working;
    if (duringInstallation) {
        working.emplace(app + "/Update", 8 * 1024 * 1024);
        QVERIFY(working->isMounted());
    }
    QDir().mkpath(app + "/Update");
    TempFolder::writeFile(app + "/Update.inf", "1.0\r\n");
    TempFolder::writeFile(app + "/a.txt", "old A");

    const WindowEnding ending = TestWindow(app, server).run();
    QVERIFY(ending.returned);
    const QString text = ending.messages.value(0).text;
    QVERIFY2(text.startsWith(QStringLiteral("磁盘已满")), qPrintable(text));
    QVERIFY2(text.contains(app + (duringInstallation ? "/big.bin。" : "/Update/big.bin。")), qPrintable(text));
    QCOMPARE(TempFolder::readFile(app + "/a.txt"), QByteArray("old A"));
    QCOMPARE(TempFolder::readFile(app + "/Update.inf"), QByteArray("1.0\r\n"));
    QCOMPARE(entriesOf(app).filter(QStringLiteral(".updating")), QStringList());
}

void UpdateRunTest::pressDuringARunIsIgnored()
{
    TestServer server;
    publish(server, {QStringLiteral("0001a.bin name a.bin")});
    server.setFile("/a.bin", patternBytes(50000));
    DriverAppFolder app;
    TestWindow window(app.path(), server);
    QList<bool> running; // when the start button was pressed again
    QObject::connect(&window.engine(), &download::Cls_DownLoad::entDLFileDowning, &window, [&] {
        if (running.isEmpty()) {
            window.startButton().click();
            running.append(window.updateRun().isRunning());
        }
    });
    const WindowEnding ending = window.run();
    QCOMPARE(running, QList<bool>{true});
    QCOMPARE(ending.messages.size(), 1);
    QCOMPARE(ending.messages[0].text, success);
    QCOMPARE(requestCount(server, "/KVTA/ZE/UpdateNote.xml"), 2);
    QCOMPARE(requestCount(server, "/a.bin"), 1);
}

namespace {

// What the run after the cancel finds on the server.
enum class Next { OtherRelease, SameFile, ReplacedFile };

} // namespace

void UpdateRunTest::cancelDuringADownload_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<int>("after");
    QTest::newRow("cancel button") << "--cancel-on=slow.bin" << int(Next::OtherRelease);
    QTest::newRow("close button") << "--close-on=slow.bin" << int(Next::OtherRelease);
    QTest::newRow("cancel, the next run goes on") << "--cancel-on=slow.bin" << int(Next::SameFile);
    QTest::newRow("cancel, the file replaced before the next run") << "--cancel-on=slow.bin"
                                                                   << int(Next::ReplacedFile);
}

void UpdateRunTest::cancelDuringADownload()
{
    QFETCH(QString, option);
    QFETCH(int, after);
    TestServer server;
    publish(server, {QStringLiteral("0001slow.bin name slow.bin")});
    TestServer::Route slow;
    slow.mode = TestServer::Route::Mode::Throttled;
    // Large enough, and with a validator, for the next run to go on with it.
    const bool goesOn = Next(after) != Next::OtherRelease;
    slow.body = patternBytes(goesOn ? 2 * 1024 * 1024 : 400000);
    slow.etag = goesOn ? "\"slow-1\"" : "";
    slow.chunk = 4096;
    slow.intervalMs = 20;
    server.setRoute("/slow.bin", slow);
    DriverAppFolder app;
    const DriverEnding ending = driveRun(app.path(), server, {option});
    QCOMPARE(ending.exitCode, 0);
    QVERIFY(ending.messages.isEmpty());
    QVERIFY(!ending.returned);
    const QByteArray partial = app.read("Update/slow.bin");
    QVERIFY(partial.size() >= 512 && partial.size() < 400000);
    QVERIFY(partial == slow.body.left(partial.size()));
    QVERIFY(!app.exists("slow.bin"));
    QCOMPARE(app.read("Update.inf"), QByteArray("1.0\r\n"));
    QVERIFY(app.read("Update.log").endsWith(" end: cancelled\n"));

    if (goesOn) {
        slow.mode = TestServer::Route::Mode::Normal;
        if (Next(after) == Next::ReplacedFile) {
            slow.body = patternBytes(slow.body.size(), 2);
            slow.etag = "\"slow-2\"";
        }
        server.setRoute("/slow.bin", slow);
        server.clearRequests();
        QCOMPARE(TestWindow(app.path(), server).run().messages.value(0).text, success);
        QVERIFY(app.read("slow.bin") == slow.body);
        const TestServer::Request request = server.requests().value(requestCount(server, "/KVTA/ZE/UpdateNote.xml"));
        QCOMPARE(request.target, QByteArray("/slow.bin"));
        QCOMPARE(request.headers.value("range"), "bytes=" + QByteArray::number(partial.size()) + '-');
        QCOMPARE(request.headers.value("if-range"), QByteArray("\"slow-1\""));
        QCOMPARE(entriesOf(app.path("Update")), QStringList());
        return;
    }
    // A release without that file: the partial leftover is removed, never installed.
    publish(server, {QStringLiteral("0001a.txt name a.txt")});
    server.setFile("/a.txt", "A");
    const WindowEnding next = TestWindow(app.path(), server).run();
    QCOMPARE(next.messages.value(0).text, success);
    QVERIFY(!app.exists("slow.bin"));
    QCOMPARE(app.read("a.txt"), QByteArray("A"));
    QCOMPARE(entriesOf(app.path("Update")), QStringList());
}

void UpdateRunTest::killDuringInstallation()
{
    TestServer server;
    publish(server, {QStringLiteral("0001big.bin name big.bin")});
    const QByteArray fresh = patternBytes(48 * 1024 * 1024, 3);
    server.setFile("/big.bin", fresh);
    DriverAppFolder app;
    const QByteArray old = patternBytes(1024 * 1024, 4);
    app.write("big.bin", old);

    QProcess process;
    startDriver(process, app.path(), server, {});
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

    // The next run undoes what was left, and what an earlier killed
    // installation left too, and completes the installation.
    app.write(".stale.dll.updating", "staged by an installation killed long ago");
    TestWindow(app.path(), server).run();
    QVERIFY(app.read("big.bin") == fresh);
    QCOMPARE(app.read("Update.inf"), QByteArray("2.0\r\n"));
    QCOMPARE(entriesOf(app.path()).filter(QStringLiteral(".updating")), QStringList());
}

void UpdateRunTest::failedSyncInstallsNothing_data()
{
    QTest::addColumn<QString>("error"); // that syncfs fails with, by strace's fault injection
    QTest::addColumn<QString>("message");
    QTest::newRow("I/O error") << "EIO" << QStringLiteral("路径/文件访问错误");
    QTest::newRow("no space") << "ENOSPC" << QStringLiteral("磁盘已满");
}

void UpdateRunTest::failedSyncInstallsNothing()
{
    QFETCH(QString, error);
    QFETCH(QString, message);
    TestServer server;
    publish(server, {QStringLiteral("0001a.txt name a.txt")});
    server.setFile("/a.txt", "new A");
    DriverAppFolder app;
    app.write("a.txt", "old A");
    QProcess strace;
    // LeakSanitizer cannot run under ptrace; the sanitizer build's other checks still do.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const QString asanOptions = environment.value("ASAN_OPTIONS");
    environment.insert("ASAN_OPTIONS", asanOptions + (asanOptions.isEmpty() ? "" : ":") + "detect_leaks=0");
    strace.setProcessEnvironment(environment);
    strace.start("strace", {"-fqqo/dev/null", "--inject=syncfs:error=" + error, RUN_DRIVER, app.path(), server.url()});
    const DriverEnding ending = finishDriver(strace);
    QVERIFY(ending.messages.value(0).text.startsWith(message) && app.read("a.txt") == "old A");
    QCOMPARE(app.read("Update.inf"), QByteArray("1.0\r\n"));
    QVERIFY(app.read("Update.log").contains(message.toUtf8()));
}

void UpdateRunTest::everyWholeReleaseInstalls_data()
{
    QTest::addColumn<QString>("leftover");  // in the working folder before the run: none, read-only, foreign
    QTest::addColumn<QByteArray>("content"); // of the listed file a.bin, new to the client
    QTest::addColumn<QByteArray>("stamp");
    QTest::addColumn<int>("mode"); // of the installed a.bin, before the umask
    const QByteArray elf = QByteArray("\x7f" "ELF\x02\x01\x01") + patternBytes(3000);
    QTest::newRow("release of four bytes") << "none" << QByteArray("A") << QByteArray("2\r\n") << 0644;
    QTest::newRow("new ELF program") << "none" << elf << QByteArray("2.0\r\n") << 0755;
    QTest::newRow("new script") << "none" << QByteArray("#!/bin/sh\nexit 0\n") << QByteArray("2.0\r\n") << 0755;
    QTest::newRow("read-only leftover") << "read-only" << QByteArray("new A") << QByteArray("2.0\r\n") << 0644;
    QTest::newRow("download name planted by another user")
        << "foreign" << QByteArray("new A") << QByteArray("2.0\r\n") << 0644;
}

void UpdateRunTest::everyWholeReleaseInstalls()
{
    QFETCH(QString, leftover);
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, stamp);
    QFETCH(int, mode);
    TestServer server;
    publish(server, {QStringLiteral("0001a.bin name a.bin")});
    server.setFile("/KVTA/ZE/UpdateNote.xml", stamp);
    server.setFile("/a.bin", content);
    DriverAppFolder app;
    if (leftover == "read-only")
        ::chmod(QFile::encodeName(app.write("Update/old.bin", "old")).constData(), 0444);
    else if (leftover == "foreign" && !plantForeignFile(app.path("Update/a.bin"), 0666))
        QSKIP("only root can plant another user's file");

    QCOMPARE(TestWindow(app.path(), server).run().messages.value(0).text, success);
    QVERIFY(app.read("a.bin") == content);
    QCOMPARE(app.read("Update.inf"), stamp);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    struct stat info {};
    QCOMPARE(::lstat(QFile::encodeName(app.path("a.bin")).constData(), &info), 0);
    QCOMPARE(int(info.st_mode & 07777), mode & ~int(mask));
    QCOMPARE(info.st_uid, ::geteuid());
    QCOMPARE(info.st_nlink, nlink_t(1));
    if (leftover == "read-only") {
        // Left where it is, it blocks no later run.
        QCOMPARE(app.working(), QStringList{QStringLiteral("old.bin")});
        server.setFile("/KVTA/ZE/UpdateNote.xml", "3.0\r\n");
        QCOMPARE(TestWindow(app.path(), server).run().messages.value(0).text, success);
        QCOMPARE(app.read("Update.inf"), QByteArray("3.0\r\n"));
    }
}

void UpdateRunTest::subfoldersInstall_data()
{
    QTest::addColumn<QString>("obstacle");
    QTest::addColumn<QString>("message"); // empty: installed
    QTest::newRow("new folders") << "" << "";
    QTest::newRow("folders there") << "there" << "";
    QTest::newRow("planted working subfolder") << "planted" << "";
    QTest::newRow("linked client folder") << "link" << QStringLiteral("程序的子文件夹是指向别处的链接或不是文件夹");
    QTest::newRow("folder in the way in the last folder") << "directory" << QStringLiteral("路径/文件访问错误");
}

void UpdateRunTest::subfoldersInstall()
{
    QFETCH(QString, obstacle);
    QFETCH(QString, message);
    const QString chinese = QStringLiteral("资源/图标.png");
    TestServer server;
    publish(server, {QStringLiteral("0001files/a.so name plugins/a.so"),
                     QStringLiteral("0001files/b.qm name locale\\zh_CN\\b.qm"),
                     QStringLiteral("0001files/c.png name 资源\\图标.png")});
    server.setFile("/files/a.so", "new A");
    server.setFile("/files/b.qm", "new B");
    server.setFile("/files/c.png", "new C");
    DriverAppFolder app;
    TempFolder outside;
    outside.write("a.so", "outside");
    if (obstacle == "there") {
        app.write("plugins/a.so", "old A");
        QVERIFY(QDir().mkpath(app.path("locale/zh_CN")));
    } else if (obstacle == "planted") {
        QVERIFY(QFile::link(outside.path(""), app.path("Update/plugins")));
    } else if (obstacle == "link") {
        QVERIFY(QFile::link(outside.path(""), app.path("plugins")));
    } else if (obstacle == "directory") {
        QVERIFY(QDir().mkpath(app.path(chinese + "/inside")));
    }
    const QMap<QString, QByteArray> before = snapshot(outside);

    const WindowEnding ending = TestWindow(app.path(), server).run();
    QCOMPARE(snapshot(outside), before);
    QCOMPARE(entriesOf(app.path()).filter(QStringLiteral(".updating")), QStringList());
    if (message.isEmpty()) {
        QCOMPARE(ending.messages.value(0).text, success);
        QCOMPARE(app.read("plugins/a.so"), QByteArray("new A"));
        QCOMPARE(app.read("locale/zh_CN/b.qm"), QByteArray("new B"));
        QCOMPARE(app.read(chinese), QByteArray("new C"));
        QCOMPARE(app.read("Update.inf"), QByteArray("2.0\r\n"));
        QCOMPARE(entriesOf(app.path("Update")), QStringList());
        return;
    }
    QVERIFY2(ending.messages.value(0).text.startsWith(message), qPrintable(ending.messages.value(0).text));
    QCOMPARE(app.read("Update.inf"), QByteArray("1.0\r\n"));
    QVERIFY(!app.exists("locale"));
    if (obstacle == "link")
        QCOMPARE(requestCount(server, "/files/a.so"), 0);
    else
        QVERIFY(!app.exists("plugins"));
}

QTEST_MAIN(UpdateRunTest)
#include "tst_updaterun.moc"

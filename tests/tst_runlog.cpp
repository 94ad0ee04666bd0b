// The run's log for support and the messages of a network failure: whole runs
// of the window in the test's process against a real server on 127.0.0.1.

#include "app/translations.h"
#include "platform/core/config.h"
#include "platform/files/boundedlog.h"
#include "release/sitelayout.h"
#include "update/runlog.h"

#include "support/quicklimits.h"
#include "support/rundriving.h"
#include "support/tempfolder.h"
#include "support/testcertificates.h"
#include "support/windowrun.h"

#include <QDateTime>
#include <QFileInfo>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>

#include <ctime>
#include <unistd.h>

namespace {

using End = update::RunOutcome::End;
using Mode = TestServer::Route::Mode;

const QString stampUrlPath = QStringLiteral("KVTA/ZE/UpdateNote.xml");

// Version 2.0 with one listed file, a.bin, that the server serves as `file`.
void publish(TestServer &server, const TestServer::Route &file)
{
    server.setFile("/KVTA/ZE/UpdateNote.xml", "2.0\r\n");
    server.setFile("/KVTA/ZE/LoadUpdate.inf", "0001files/a.bin name a.bin\r\n");
    server.setRoute("/files/a.bin", file);
}

TestServer::Route served(const QByteArray &body, int status = 200, Mode mode = Mode::Normal)
{
    TestServer::Route route;
    route.body = body;
    route.status = status;
    route.mode = mode;
    return route;
}

// A route that answers once so, then well, with the same validators.
TestServer::Route onceThen(TestServer::Route first)
{
    auto then = std::make_shared<TestServer::Route>(first);
    then->status = 200;
    then->mode = Mode::Normal;
    then->retryAfter.clear();
    first.servings = 1;
    first.afterwards = then;
    return first;
}

// An application folder at version 1.0 with its working folder.
struct AppFolder : TempFolder
{
    explicit AppFolder(const QByteArray &stamp = "1.0\r\n")
    {
        QDir().mkpath(path("Update"));
        write("Update.inf", stamp);
    }
};

// The captions of the window's status line, each change once: looked at
// every 20 ms and whenever a transfer waits or goes on, after the window
// has heard of it.
class StatusLines : public platform::TransferObserver
{
public:
    explicit StatusLines(TestWindow &window)
        : m_window(window), m_registration(window.engine().httpClient().observers(), *this)
    {
        QObject::connect(&m_watch, &QTimer::timeout, [this] { look(); });
        m_watch.start(20);
    }
    void retryWaiting(const QString &, const platform::Error &, std::chrono::milliseconds) override { look(); }
    void retryStarted(const QString &) override { look(); }
    void transferEnded(const platform::TransferReport &) override {}
    QStringList shown;

private:
    void look()
    {
        const QString caption = m_window.statusLine().caption();
        if (shown.value(shown.size() - 1) != caption)
            shown.append(caption);
    }
    TestWindow &m_window;
    QTimer m_watch;
    platform::ObserverRegistration m_registration;
};

} // namespace

class RunLogTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { installChineseTranslations(*QCoreApplication::instance()); }
    void linesOfARun_data();
    void linesOfARun();
    void timeInZones_data();
    void timeInZones();
    void networkFailures_data();
    void networkFailures();
    void boundAndRotation_data();
    void boundAndRotation();
    void unwritableLog_data();
    void unwritableLog();
    void unwritableFolder_data();
    void unwritableFolder();
    void retryCountdown_data();
    void retryCountdown();
    void forgedLines_data();
    void forgedLines();
};

void RunLogTest::linesOfARun_data()
{
    QTest::addColumn<QByteArray>("localStamp");
    QTest::addColumn<int>("fileStatus");
    QTest::addColumn<bool>("signedMode");
    QTest::addColumn<QStringList>("lines"); // each found in the log, in this order

    const QString start = QStringLiteral(" start updater %1 (").arg(QString::fromUtf8(config::version));
    QTest::newRow("installed") << QByteArray("1.0\r\n") << 200 << false
                               << QStringList{start + "unsigned) server http://127.0.0.1:",
                                              " stamps remote \"2.0\" local \"1.0\": differ",
                                              "/KVTA/ZE/LoadUpdate.inf status 200 bytes 28 time ",
                                              "/files/a.bin status 200 bytes 5 time ",
                                              " installed a.bin\n", " installed Update.inf\n", " end: installed\n"};
    QTest::newRow("a listed file missing")
        << QByteArray("1.0\r\n") << 404 << false
        << QStringList{" stamps remote", "/files/a.bin status 404 bytes 0 time ", " attempts 1 resumes 0 failed: ",
                       " (404)\n", " end: update failure"};
    QTest::newRow("signed, up to date")
        << QByteArray("2\r\n") << 200 << true
        << QStringList{start + "signed, key B98B5730F24C0A6E) server ", ": equal\n", " end: up to date\n"};
}

void RunLogTest::linesOfARun()
{
    QFETCH(QByteArray, localStamp);
    QFETCH(int, fileStatus);
    QFETCH(bool, signedMode);
    QFETCH(QStringList, lines);
    TestServer server;
    publish(server, served("bytes", fileStatus));
    AppFolder app(localStamp);
    std::optional<release::PublicKey> key;
    if (signedMode)
        key = release::PublicKey::fromBase64("RWRuCkzyMFeLud3mwhobmuRsJfQa5bYCKZ3gau0+rqS9xfWrh1sdqy+B", {});
    TestWindow(app.path(), server, key).run();

    const QString log = QString::fromUtf8(app.read("Update.log"));
    qsizetype at = 0;
    for (const QString &line : lines) {
        at = log.indexOf(line, at);
        QVERIFY2(at >= 0, qPrintable(line + QStringLiteral(" not in:\n") + log));
    }
    // Local time with its offset, then the event, on every line.
    for (const QString &line : log.trimmed().split(QLatin1Char('\n')))
        QVERIFY2(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d \\S"))
                     .match(line).hasMatch(), qPrintable(line));
}

void RunLogTest::timeInZones_data()
{
    QTest::addColumn<QByteArray>("zone"); // a POSIX TZ rule: no zone files needed
    QTest::addColumn<QString>("offset");

    QTest::newRow("UTC") << QByteArray("UTC0") << QStringLiteral("+00:00");
    QTest::newRow("east, whole hours") << QByteArray("CST-8") << QStringLiteral("+08:00");
    QTest::newRow("west, half an hour") << QByteArray("NST3:30") << QStringLiteral("-03:30");
}

// The time on a line is the local time at the zone's offset, and names the
// instant it was written.
void RunLogTest::timeInZones()
{
    QFETCH(QByteArray, zone);
    QFETCH(QString, offset);

    const QByteArray kept = qgetenv("TZ");
    const auto restore = qScopeGuard([&] {
        kept.isNull() ? qunsetenv("TZ") : qputenv("TZ", kept);
        ::tzset();
    });
    qputenv("TZ", zone);
    ::tzset();
    AppFolder app;
    platform::TransferObservers observers;
    update::RunLog(update::AppPaths(app.path()), observers).write(QStringLiteral("event"));

    const QString time = QString::fromUtf8(app.read("Update.log")).section(QLatin1Char(' '), 0, 0);
    QVERIFY2(time.endsWith(offset), qPrintable(time));
    const QDateTime logged = QDateTime::fromString(time, Qt::ISODateWithMs);
    QVERIFY2(logged.isValid(), qPrintable(time));
    QVERIFY2(std::abs(logged.msecsTo(QDateTime::currentDateTimeUtc())) < 60'000, qPrintable(time));
}

void RunLogTest::networkFailures_data()
{
    QTest::addColumn<QString>("server"); // "refused", "tls" or "http"
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("message");  // the log's sentence before the URL; the message starts with its first clause
    QTest::addColumn<QString>("logged");   // the cause, in the log only

    QTest::newRow("refused") << "refused" << 200 << int(Mode::Normal)
                             << QStringLiteral("网络请求失败,无法连接更新服务器,请检查网络连接后重试")
                             << QStringLiteral("Couldn't connect to server");
    const QString status = QStringLiteral("服务器返回错误状态,暂时无法下载此文件,请稍后重试；如果仍然失败,请联系软件供应商");
    QTest::newRow("404") << "http" << 404 << int(Mode::Normal) << status << QStringLiteral("status 404");
    QTest::newRow("500") << "http" << 500 << int(Mode::Normal) << status << QStringLiteral("after: 服务器返回错误状态");
    QTest::newRow("cut connection") << "http" << 200 << int(Mode::CutShort)
                                    << QStringLiteral("网络请求失败,连接中断,文件未能下载完整,请检查网络连接后重试")
                                    << QStringLiteral("transfer closed with 4 bytes remaining");
    QTest::newRow("untrusted certificate")
        << "tls" << 200 << int(Mode::Normal)
        << QStringLiteral("服务器证书验证失败,已拒绝连接。请检查本机的日期和时间；如果仍然失败,请联系软件供应商")
        << QStringLiteral("SSL certificate problem");
}

void RunLogTest::networkFailures()
{
    QFETCH(QString, server);
    QFETCH(int, status);
    QFETCH(int, mode);
    QFETCH(QString, message);
    QFETCH(QString, logged);
    static const TestCertificates certificates;
    QVERIFY(certificates.ok());
    TestServer http(server == QLatin1String("tls") ? std::optional(certificates.server("selfsigned")) : std::nullopt);
    TestServer::Route stamp = served("2.0\r\n", status, Mode(mode));
    stamp.sendBytes = 1;
    http.setRoute("/KVTA/ZE/UpdateNote.xml", stamp);
    const QString baseUrl =
        server == QLatin1String("refused") ? QStringLiteral("http://127.0.0.1:%1/").arg(unusedPort()) : http.url();
    AppFolder app;

    const WindowEnding ending = TestWindow(app.path(), baseUrl, std::nullopt, quickLimits()).run();
    QCOMPARE(ending.end, End::Refused);
    // The message says what happened and what to do; which URL is the log's.
    const QString box = ending.messages.value(0).text;
    QVERIFY2(box.startsWith(message.section(QLatin1Char(','), 0, 0)) && !box.contains(baseUrl), qPrintable(box));
    const QString log = QString::fromUtf8(app.read("Update.log"));
    QVERIFY2(log.contains(logged), qPrintable(log));
    QVERIFY2(log.contains(QStringLiteral(" refusal: ") + message + QStringLiteral("：") + baseUrl + stampUrlPath),
             qPrintable(log));
}

void RunLogTest::boundAndRotation_data()
{
    QTest::addColumn<qint64>("before"); // bytes in the log before, -1: none
    QTest::addColumn<int>("lines");     // of 100 bytes each, added
    QTest::addColumn<qint64>("after");
    QTest::addColumn<qint64>("older"); // bytes in the older part, -1: none

    QTest::newRow("new log") << qint64(-1) << 3 << qint64(300) << qint64(-1);
    QTest::newRow("up to the bound") << qint64(1000) << 10 << qint64(2000) << qint64(-1);
    QTest::newRow("past it: rotated") << qint64(1950) << 2 << qint64(200) << qint64(1950);
    QTest::newRow("rotated twice: one older part") << qint64(0) << 41 << qint64(100) << qint64(2000);
}

void RunLogTest::boundAndRotation()
{
    QFETCH(qint64, before);
    QFETCH(int, lines);
    QFETCH(qint64, after);
    QFETCH(qint64, older);
    TempFolder dir;
    if (before >= 0)
        dir.write("Update.log", QByteArray(before, 'o'));
    {
        platform::BoundedLog log(dir.path("Update.log"), dir.path("Update.log.1"), 2000);
        for (int i = 0; i < lines; ++i)
            log.append(QByteArray(99, char('a' + i % 26)));
    }
    QCOMPARE(QFileInfo(dir.path("Update.log")).size(), after);
    QCOMPARE(dir.exists("Update.log.1") ? QFileInfo(dir.path("Update.log.1")).size() : -1, older);
}

void RunLogTest::unwritableLog_data()
{
    QTest::addColumn<QString>("blocker");
    for (const char *blocker : {"symlink", "hard link", "folder", "read-only", "older part a folder"})
        QTest::newRow(blocker) << QString::fromLatin1(blocker);
}

void RunLogTest::unwritableLog()
{
    QFETCH(QString, blocker);
    TestServer server;
    publish(server, served("bytes"));
    AppFolder app;
    TempFolder outside;
    const QString elsewhere = outside.write("elsewhere.log", "not the updater's");
    const QString log = app.path("Update.log");
    if (blocker == QLatin1String("symlink"))
        QFile::link(elsewhere, log);
    else if (blocker == QLatin1String("hard link"))
        QVERIFY(::link(QFile::encodeName(elsewhere).constData(), QFile::encodeName(log).constData()) == 0);
    else if (blocker == QLatin1String("folder"))
        QVERIFY(QDir().mkpath(log));
    else if (blocker == QLatin1String("read-only"))
        QFile::setPermissions(app.write("Update.log", "kept"), QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
    else {
        app.write("Update.log", QByteArray(sitelayout::largestRunLog, 'o'));
        QVERIFY(QDir().mkpath(app.path("Update.log.1")));
    }
    const QStringList entries = QDir(app.path()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);

    // The run ends as one without a log would, and nothing was written through the link.
    const WindowEnding ending = TestWindow(app.path(), server).run();
    QCOMPARE(ending.end, End::Installed);
    QCOMPARE(ending.messages.value(0).text, QStringLiteral("恭喜您：您已更新成最新版本,请重新登录系统！"));
    QCOMPARE(app.read("a.bin"), QByteArray("bytes"));
    QCOMPARE(outside.read("elsewhere.log"), QByteArray("not the updater's"));
    QCOMPARE(QFileInfo(log).isSymLink(), blocker == QLatin1String("symlink"));
    if (blocker == QLatin1String("read-only"))
        QCOMPARE(app.read("Update.log"), QByteArray("kept"));
    QStringList now = QDir(app.path()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    now.removeAll(QStringLiteral("a.bin"));
    now.removeAll(QStringLiteral("LoadUpdate.inf"));
    QCOMPARE(now, entries);
}

void RunLogTest::unwritableFolder_data()
{
    QTest::addColumn<QString>("unwritable"); // left to root; the rest is the user's
    QTest::addColumn<QString>("logFolder");
    QTest::newRow("client folder") << "client" << "state/updater";
    QTest::newRow("working folder") << "client/Update" << "client";
}

// Refused before any request, with what to do, and logged, as another user (root's rights do not decide).
void RunLogTest::unwritableFolder()
{
    QFETCH(QString, unwritable);
    QFETCH(QString, logFolder);
    if (::geteuid() != 0)
        QSKIP("needs root to run the updater as another user");
    TempFolder temp;
    temp.write("client/Update.inf", "1.0\r\n");
    for (const QString name : {"", "client", "client/Update", "state"}) {
        const uid_t owner = name.isEmpty() || name.startsWith(unwritable) ? 0 : 65534;
        const QByteArray path = QFile::encodeName(temp.path(name));
        QVERIFY(QDir().mkpath(temp.path(name)) && ::chmod(path, 0755) == 0 && ::chown(path, owner, owner) == 0);
    }
    TestServer server;
    QProcess process;
    process.start(QStringLiteral("setpriv"), {"--reuid=65534", "--regid=65534", "--clear-groups", "env",
                                              "XDG_STATE_HOME=" + temp.path("state"), "QT_QPA_PLATFORM=offscreen",
                                              RUN_DRIVER, temp.path("client"), server.url()});
    const QString text = finishDriver(process).messages.value(0).text;
    QVERIFY2(text.contains(QStringLiteral("请以安装本程序的用户运行更新程序")) && text.contains(temp.path(unwritable)),
             qPrintable(text));
    QVERIFY(server.requests().isEmpty());
    QVERIFY(temp.read(logFolder + QStringLiteral("/Update.log")).contains("end: refused"));
}

void RunLogTest::retryCountdown_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("retryAfter");
    QTest::addColumn<QStringList>("shown"); // in a row on the status line: the wait, then as before

    QTest::newRow("stamp: server busy") << QByteArray("/KVTA/ZE/UpdateNote.xml") << 503 << QByteArray("2")
                                        << QStringList{QStringLiteral("服务器暂时无法响应,2 秒后重试..."),
                                                       QStringLiteral("服务器暂时无法响应,1 秒后重试..."),
                                                       QStringLiteral("正在连接...")};
    QTest::newRow("file: connection broke before its body")
        << QByteArray("/files/a.bin") << 200 << QByteArray()
        << QStringList{QStringLiteral("连接中断,2 秒后重试..."),
                       QStringLiteral("连接中断,1 秒后重试..."), QStringLiteral("连接状态： 正在下载数据...")};
}

void RunLogTest::retryCountdown()
{
    QFETCH(QByteArray, target);
    QFETCH(int, status);
    QFETCH(QByteArray, retryAfter);
    QFETCH(QStringList, shown);
    TestServer server;
    publish(server, served("bytes"));
    TestServer::Route fault = served(target.endsWith("a.bin") ? "bytes" : "2.0\r\n", status,
                                     status == 200 ? Mode::CutShort : Mode::Normal);
    fault.retryAfter = retryAfter;
    fault.etag = "\"v1\"";
    server.setRoute(target, onceThen(fault));
    platform::NetworkLimits limits = quickLimits();
    limits.firstRetryWait = std::chrono::milliseconds(1500);
    limits.longestRetryAfter = std::chrono::milliseconds(2000);
    AppFolder app;
    TestWindow window(app.path(), server, std::nullopt, limits);
    const StatusLines lines(window);
    QCOMPARE(window.run().end, End::Installed);
    const qsizetype at = lines.shown.indexOf(shown[0]);
    QVERIFY2(at >= 0, qPrintable(lines.shown.join(QLatin1Char('|'))));
    QVERIFY2(lines.shown.mid(at, shown.size()) == shown, qPrintable(lines.shown.join(QLatin1Char('|'))));
}

void RunLogTest::forgedLines_data()
{
    QTest::addColumn<QString>("event"); // what the log hears
    QTest::addColumn<QString>("value"); // the text from outside in it
    QTest::addColumn<QString>("line");  // what it logs, after the time
    QTest::newRow("terminal controls in a stamp")
        << "stamp" << QStringLiteral("\x1b\a\b\r\x7f\\x\"") << QStringLiteral(R"(remote "\x1b\x07\x08\x0d\x7f\\x\"" local)");
    QTest::newRow("C1, direction, separator, tag; %N in a name") << "form"
        << QStringLiteral("%1\u0085\u202e\u2028\U000e0001") << QStringLiteral(R"(%1\x85\u202e\u2028\U000e0001 patch)");
    QTest::newRow("%1B in a URL") << "request" << "http://h/%1B" << "http://h/%1B status 404 bytes 0 time 7 ms attempts 1 ";
    QTest::newRow("an error's subject and detail")
        << "refusal" << QStringLiteral("\x1b]0;\a") << QStringLiteral(R"(路径/文件访问错误 \x1b]0;\x07：\x1b]0;\x07)");
    QTest::newRow("a URL that cannot be sent")
        << "unsent" << "http://h/%zz" << "http://h/%zz status 0 bytes 0 time 0 ms attempts 0 resumes 0 failed: ";
}

// Each field as itself, once, escaped; every request tried has its line.
void RunLogTest::forgedLines()
{
    QFETCH(QString, event);
    QFETCH(QString, value);
    QFETCH(QString, line);
    AppFolder app;
    platform::HttpClient client;
    update::RunLog log(update::AppPaths(app.path()), client.observers());
    using platform::Error;
    if (event == QLatin1String("stamp"))
        log.stampsCompared(value, QStringLiteral("1"), false);
    else if (event == QLatin1String("form"))
        log.formTaken({value, update::FormTaken::Form::Patch, 10, 3});
    else if (event == QLatin1String("request"))
        log.transferEnded({value, 404, 0, std::chrono::milliseconds(7), 1, 0, true, Error(Error::Code::HttpStatus)});
    else if (event == QLatin1String("refusal"))
        log.ended({End::Refused, Error(Error::Code::FileAccess, value, value)});
    else
        QVERIFY(!client.openSession({})->openUrl(value));
    const QString logged = QString::fromUtf8(app.read("Update.log"));
    QVERIFY2(logged.contains(QLatin1Char(' ') + line) && logged.count(QLatin1Char('\n')) == 1 + (event == "refusal"),
             qPrintable(logged));
}

QTEST_MAIN(RunLogTest)
#include "tst_runlog.moc"

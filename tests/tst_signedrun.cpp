// Signed releases end to end: the window in the test's process with the
// publisher's key, a real HTTP server on 127.0.0.1, releases signed by the
// real minisign program.

#include "app/translations.h"
#include "download/cls_download.h"
#include "platform/text/codepage.h"
#include "release/sitelayout.h"

#include "support/rundriving.h"
#include "support/windowrun.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QStandardPaths>
#include <QTest>

#include <sys/stat.h>

namespace {

using End = update::RunOutcome::End;

const QString success = QStringLiteral("恭喜您：您已更新成最新版本,请重新登录系统！");
constexpr qint64 releaseTime = 1700000000;

QByteArray gbk(const QString &text)
{
    return platform::CodePage("GBK").encode(text);
}

struct ListedFile
{
    QString remotePath; // under the base URL
    QString name;       // in the application folder
    QByteArray content;
};

// What a publisher puts beside the files.
struct Published
{
    QByteArray manifest, index, signature;
};

ino_t inodeOf(const QString &path)
{
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_ino : 0;
}

QByteArray sha256Hex(const QByteArray &content)
{
    return QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex();
}

QByteArray sha256Line(const QByteArray &content, const QByteArray &path)
{
    return sha256Hex(content) + "  " + path + '\n';
}

} // namespace

class SignedRunTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void signedFullUpdate_data();
    void signedFullUpdate();
    void refusals_data();
    void refusals();
    void filesAtHand_data();
    void filesAtHand();
    void rewrittenAfterItsCheck_data();
    void rewrittenAfterItsCheck();
    void leftoversOfOthersAreFetchedAgain_data();
    void leftoversOfOthersAreFetchedAgain();
    void freshness_data();
    void freshness();
    void rotatingKeys_data();
    void rotatingKeys();

private:
    QByteArray minisign(const QStringList &arguments);
    QByteArray sign(const QByteArray &index, const QString &secretKey, const QByteArray &trustedComment,
                    bool legacy = false);
    Published publish(TestServer &server, const QList<ListedFile> &files, qint64 timestamp = releaseTime);
    // files/a.bin, 400000 bytes unless `size`, and files/b.bin; a.bin's bytes.
    QByteArray publishAandB(TestServer &server, qsizetype size = 400000);
    void republishIndex(TestServer &server, const QByteArray &index, const QByteArray &signature);
    // A run whose build accepts the named keys.
    WindowEnding drive(const DriverAppFolder &app, const TestServer &server,
                       const QStringList &keys = {QStringLiteral("publisher")});
    // A signed run's ending as the data rows state it.
    void verifyEnding(const WindowEnding &ending, End end, const QString &message);

    TempFolder m_keys;
    QString m_publicKey; // base64, as UPDATER_PUBLIC_KEY
};

QByteArray SignedRunTest::minisign(const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("minisign"), arguments);
    if (!process.waitForFinished(30000) || process.exitCode() != 0)
        qWarning().noquote() << "minisign" << arguments.join(QLatin1Char(' ')) << "failed:" << process.readAll();
    return process.readAll();
}

void SignedRunTest::initTestCase()
{
    QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("minisign")).isEmpty(), "the minisign program is missing");
    for (const QString &name : {QStringLiteral("publisher"), QStringLiteral("other"), QStringLiteral("next")})
        minisign({"-G", "-W", "-f", "-p", m_keys.path(name + ".pub"), "-s", m_keys.path(name + ".key")});
    m_publicKey = QString::fromLatin1(m_keys.read("publisher.pub").split('\n').value(1));
    QCOMPARE(m_publicKey.size(), 56);
    installChineseTranslations(*QCoreApplication::instance());
}

QByteArray SignedRunTest::sign(const QByteArray &index, const QString &secretKey, const QByteArray &trustedComment,
                               bool legacy)
{
    const QString file = m_keys.write("LoadUpdate.sha256", index);
    QFile::remove(file + ".minisig");
    QStringList arguments{"-S", "-s", m_keys.path(secretKey + ".key"), "-m", file,
                          "-t", QString::fromLatin1(trustedComment)};
    if (legacy)
        arguments.prepend("-l");
    minisign(arguments);
    return m_keys.read("LoadUpdate.sha256.minisig");
}

// Version 2.0 with the given files: stamp, manifest, files, the index of
// their digests (paths as the client requests them) and its signature.
Published SignedRunTest::publish(TestServer &server, const QList<ListedFile> &files, qint64 timestamp)
{
    Published published;
    const QByteArray stamp = "2.0\r\n";
    QString manifest;
    for (const ListedFile &file : files)
        manifest += QStringLiteral("0001") + file.remotePath + QStringLiteral(" name ") + file.name
                    + QStringLiteral("\r\n");
    published.manifest = gbk(manifest);
    server.setFile("/KVTA/ZE/UpdateNote.xml", stamp);
    server.setFile("/KVTA/ZE/LoadUpdate.inf", published.manifest);
    published.index = sha256Line(stamp, "KVTA/ZE/UpdateNote.xml")
                      + sha256Line(published.manifest, "KVTA/ZE/LoadUpdate.inf");
    for (const ListedFile &file : files) {
        server.setFile("/" + gbk(file.remotePath).toPercentEncoding("/"), file.content);
        published.index += sha256Line(file.content, gbk(file.remotePath));
    }
    published.signature = sign(published.index, QStringLiteral("publisher"),
                               "timestamp:" + QByteArray::number(timestamp) + " file:LoadUpdate.sha256");
    republishIndex(server, published.index, published.signature);
    return published;
}

QByteArray SignedRunTest::publishAandB(TestServer &server, qsizetype size)
{
    const QByteArray content = patternBytes(size);
    publish(server, {{QStringLiteral("files/a.bin"), QStringLiteral("a.bin"), content},
                     {QStringLiteral("files/b.bin"), QStringLiteral("b.bin"), "b"}});
    return content;
}

void SignedRunTest::republishIndex(TestServer &server, const QByteArray &index, const QByteArray &signature)
{
    server.setFile("/KVTA/ZE/LoadUpdate.sha256", index);
    server.setFile("/KVTA/ZE/LoadUpdate.sha256.minisig", signature);
}

WindowEnding SignedRunTest::drive(const DriverAppFolder &app, const TestServer &server, const QStringList &keys)
{
    QByteArrayList lines;
    for (const QString &name : keys)
        lines.append(m_keys.read(name + ".pub").split('\n').value(1));
    return TestWindow(app.path(), server, release::KeyRing::fromText(lines.join(';'), QStringLiteral("keys"))).run();
}

void SignedRunTest::verifyEnding(const WindowEnding &ending, End end, const QString &message)
{
    QCOMPARE(ending.end, end);
    // A refusal leaves the window open.
    QCOMPARE(ending.returned, end == End::Refused);
    if (!message.isEmpty())
        QVERIFY2(ending.messages.value(0).text.startsWith(message), qPrintable(ending.messages.value(0).text));
}

void SignedRunTest::signedFullUpdate_data()
{
    QTest::addColumn<bool>("legacy");
    QTest::addColumn<bool>("keptByOtherKey"); // a later release by another key was installed before
    QTest::newRow("prehashed (minisign's default)") << false << false;
    QTest::newRow("legacy (minisign -l)") << true << false;
    QTest::newRow("kept signature by another key is no reference") << false << true;
}

void SignedRunTest::signedFullUpdate()
{
    QFETCH(bool, legacy);
    QFETCH(bool, keptByOtherKey);
    TestServer server;
    const QString chinese = QStringLiteral("主程序.exe");
    const QList<ListedFile> files{{QStringLiteral("files/client.dll"), QStringLiteral("client.dll"), "new client"},
                                  {QStringLiteral("files/") + chinese, chinese, "new main program"},
                                  {QStringLiteral("files/big.dat"), QStringLiteral("big.dat"), patternBytes(300000)},
                                  {QString::fromLatin1(sitelayout::storedFile(sha256Hex("stored"))),
                                   QStringLiteral("stored.dat"), "stored"}};
    Published published = publish(server, files);
    if (legacy) {
        published.signature = sign(published.index, QStringLiteral("publisher"), "timestamp:1700000000", true);
        republishIndex(server, published.index, published.signature);
    }
    DriverAppFolder app;
    app.write("client.dll", "old client library");
    if (keptByOtherKey) {
        app.write("LoadUpdate.sha256", published.index);
        app.write("LoadUpdate.sha256.minisig", sign(published.index, QStringLiteral("other"), "timestamp:1800000000"));
    }

    const WindowEnding ending = drive(app, server);
    QCOMPARE(ending.end, End::Installed);
    QVERIFY(!ending.returned);
    QCOMPARE(ending.messages.value(0).text, success);
    for (const ListedFile &file : files)
        QVERIFY(app.read(file.name) == file.content);
    QCOMPARE(app.read("Update.inf"), QByteArray("2.0\r\n"));
    QCOMPARE(app.read("LoadUpdate.sha256"), published.index);
    QCOMPARE(app.read("LoadUpdate.sha256.minisig"), published.signature);
    QCOMPARE(app.working(), QStringList());
    // Only a file stored under its signed digest may come from a cache.
    for (const TestServer::Request &request : server.requests())
        QVERIFY2(request.headers.contains("cache-control") != request.target.startsWith("/KVTA/ZE/files/"),
                 request.target.constData());

    // The same release again (an equal timestamp) is accepted.
    app.write("Update.inf", "1.0\r\n");
    const WindowEnding again = drive(app, server);
    QCOMPARE(again.messages.value(0).text, success);
    QCOMPARE(app.read("Update.inf"), QByteArray("2.0\r\n"));
}

enum class Fault {
    TamperedFile,
    ExtraManifestLine,
    PathNotInIndex,
    MissingIndex,
    IndexCutShort,
    MissingSignature,
    OversizedSignature,
    OtherKey,
    TamperedIndex,
    EditedTrustedComment,
    NoTimestamp,
    FutureTimestamp,
};

void SignedRunTest::refusals_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("named");
    QTest::addColumn<QString>("refusedDownload"); // in the working folder, gone afterwards
    QTest::addColumn<bool>("manifestFetched");

    const QString mismatch = QStringLiteral("文件摘要与发布索引不符");
    const QString signature = QStringLiteral("KVTA/ZE/LoadUpdate.sha256.minisig");
    QTest::newRow("tampered file") << Fault::TamperedFile << mismatch << "a.bin（files/a.bin）" << "a.bin" << true;
    QTest::newRow("tampered manifest (an extra line)")
        << Fault::ExtraManifestLine << mismatch << "KVTA/ZE/LoadUpdate.inf" << "LoadUpdate.inf" << true;
    QTest::newRow("remote path missing from the index")
        << Fault::PathNotInIndex << QStringLiteral("文件不在发布索引中") << "b.bin（files/b.bin）" << QString() << true;
    QTest::newRow("missing index") << Fault::MissingIndex << QStringLiteral("服务器返回错误状态,")
                                   << "KVTA/ZE/LoadUpdate.sha256" << QString() << false;
    QTest::newRow("index cut short") << Fault::IndexCutShort << QStringLiteral("网络请求失败")
                                     << "KVTA/ZE/LoadUpdate.sha256" << QString() << false;
    QTest::newRow("missing signature") << Fault::MissingSignature << QStringLiteral("服务器返回错误状态,")
                                       << signature << QString() << false;
    QTest::newRow("signature over 1 MiB")
        << Fault::OversizedSignature << QStringLiteral("文件超过大小上限") << signature << QString() << false;
    QTest::newRow("signature by another key")
        << Fault::OtherKey << QStringLiteral("签名所用的密钥不是发布者的密钥") << signature << QString() << false;
    QTest::newRow("index changed after signing")
        << Fault::TamperedIndex << QStringLiteral("签名验证失败") << signature << QString() << false;
    QTest::newRow("edited trusted comment") << Fault::EditedTrustedComment
                                            << QStringLiteral("签名的可信注释验证失败") << signature << QString() << false;
    QTest::newRow("no timestamp in the trusted comment")
        << Fault::NoTimestamp << QStringLiteral("签名的可信注释缺少时间戳") << signature << QString() << false;
    QTest::newRow("signed over a day ahead of the clock")
        << Fault::FutureTimestamp << QStringLiteral("签名时间比本机时钟晚一天以上") << signature << QString() << false;
}

void SignedRunTest::refusals()
{
    QFETCH(Fault, fault);
    QFETCH(QString, description);
    QFETCH(QString, named);
    QFETCH(QString, refusedDownload);
    QFETCH(bool, manifestFetched);

    TestServer server;
    const QList<ListedFile> files{{QStringLiteral("files/a.bin"), QStringLiteral("a.bin"), patternBytes(5000)},
                                  {QStringLiteral("files/b.bin"), QStringLiteral("b.bin"), "b"}};
    const Published published = publish(server, files);
    DriverAppFolder app;
    app.write("a.bin", "installed a");

    switch (fault) {
    case Fault::TamperedFile:
        server.setFile("/files/a.bin", patternBytes(5000, 2));
        break;
    case Fault::ExtraManifestLine:
        server.setFile("/KVTA/ZE/LoadUpdate.inf", published.manifest + "0001files/evil.exe name evil.exe\r\n");
        break;
    case Fault::PathNotInIndex: {
        QList<QByteArray> lines = published.index.split('\n');
        lines.removeIf([](const QByteArray &line) { return line.endsWith("files/b.bin"); });
        const QByteArray index = lines.join('\n');
        republishIndex(server, index, sign(index, QStringLiteral("publisher"), "timestamp:1700000000"));
        break;
    }
    case Fault::MissingIndex:
        server.removeRoute("/KVTA/ZE/LoadUpdate.sha256");
        break;
    case Fault::IndexCutShort: {
        TestServer::Route cut;
        cut.body = published.index;
        cut.mode = TestServer::Route::Mode::CutShort;
        cut.sendBytes = published.index.size() / 2;
        server.setRoute("/KVTA/ZE/LoadUpdate.sha256", cut);
        break;
    }
    case Fault::MissingSignature:
        server.removeRoute("/KVTA/ZE/LoadUpdate.sha256.minisig");
        break;
    case Fault::OversizedSignature:
        server.setFile("/KVTA/ZE/LoadUpdate.sha256.minisig", published.signature + QByteArray(1 << 20, ' '));
        break;
    case Fault::OtherKey:
        republishIndex(server, published.index, sign(published.index, QStringLiteral("other"), "timestamp:1700000000"));
        break;
    case Fault::TamperedIndex: {
        QByteArray index = published.index;
        index.replace(sha256Line(files[0].content, "files/a.bin"), sha256Line("evil", "files/a.bin"));
        republishIndex(server, index, published.signature);
        break;
    }
    case Fault::EditedTrustedComment: {
        QByteArray signature = published.signature;
        signature.replace("timestamp:1700000000", "timestamp:1900000000");
        republishIndex(server, published.index, signature);
        break;
    }
    case Fault::NoTimestamp:
        republishIndex(server, published.index, sign(published.index, QStringLiteral("publisher"), "file:none"));
        break;
    case Fault::FutureTimestamp: {
        const QByteArray ahead = QByteArray::number(QDateTime::currentSecsSinceEpoch() + 2 * 86400);
        republishIndex(server, published.index, sign(published.index, QStringLiteral("publisher"), "timestamp:" + ahead));
        break;
    }
    }

    QMap<QString, QByteArray> before;
    for (const QString &name : QDir(app.path()).entryList(QDir::Files | QDir::Hidden))
        before.insert(name, app.read(name));

    const WindowEnding ending = drive(app, server);
    QCOMPARE(ending.end, End::Refused);
    QVERIFY(ending.returned);
    QCOMPARE(ending.messages.size(), 1);
    const QString text = ending.messages[0].text;
    QVERIFY2(text.startsWith(description) && !text.contains(named), qPrintable(text));
    QVERIFY(QString::fromUtf8(app.read("Update.log")).contains(named));
    QCOMPARE(ending.messages[0].icon, QStringLiteral("none"));

    // Nothing installed: the folder is as it was, but for the manifest copy
    // that a verified manifest replaces and the run's log.
    for (auto it = before.cbegin(); it != before.cend(); ++it)
        QCOMPARE(app.read(it.key()), it.value());
    QStringList now = QDir(app.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    now.removeAll(QStringLiteral("LoadUpdate.inf"));
    now.removeAll(QStringLiteral("Update.log"));
    QCOMPARE(now, before.keys());
    if (!refusedDownload.isEmpty())
        QVERIFY(!app.working().contains(refusedDownload));
    // The index and its signature were held in memory only.
    QVERIFY(app.working().filter(QStringLiteral("LoadUpdate.sha256")).isEmpty());
    QCOMPARE(requestCount(server, "/KVTA/ZE/LoadUpdate.inf") == 1, manifestFetched);
    // A file the index lists may have been asked for ahead, never one it lacks.
    QCOMPARE(requestCount(server, "/files/evil.exe"), 0);
    QVERIFY(requestCount(server, "/files/b.bin") <= 1);
}

void SignedRunTest::filesAtHand_data()
{
    QTest::addColumn<bool>("cancelledFirst"); // an earlier run was cancelled in the middle of a.bin
    QTest::addColumn<QByteArray>("leftover");  // a.bin in the working folder before the run
    QTest::addColumn<QByteArray>("installed"); // a.bin in the application folder before the run
    QTest::addColumn<bool>("asLinks");         // those two are links to files that hold the bytes
    QTest::addColumn<int>("requests");         // GETs of a.bin in all
    QTest::addColumn<bool>("replaced");        // whether the installed a.bin is a new file

    const QByteArray content = patternBytes(400000);
    QTest::newRow("partial leftover of a cancelled run") << true << QByteArray() << QByteArray() << false << 2 << true;
    QTest::newRow("whole leftover") << false << content << QByteArray() << false << 0 << true;
    QTest::newRow("leftover of other bytes") << false << patternBytes(400000, 2) << QByteArray() << false << 1 << true;
    QTest::newRow("whole leftover, but a link") << false << content << QByteArray() << true << 1 << true;
    QTest::newRow("already installed") << false << QByteArray() << content << false << 0 << false;
    QTest::newRow("an older file installed") << false << QByteArray() << QByteArray("old") << false << 1 << true;
    QTest::newRow("installed, but a link") << false << QByteArray() << content << true << 1 << true;
}

void SignedRunTest::filesAtHand()
{
    QFETCH(bool, cancelledFirst);
    QFETCH(QByteArray, leftover);
    QFETCH(QByteArray, installed);
    QFETCH(bool, asLinks);
    QFETCH(int, requests);
    QFETCH(bool, replaced);

    TestServer server;
    const QByteArray content = publishAandB(server);
    DriverAppFolder app;
    if (cancelledFirst) {
        TestServer::Route slow;
        slow.mode = TestServer::Route::Mode::Throttled;
        slow.body = content;
        slow.chunk = 4096;
        slow.intervalMs = 20;
        server.setRoute("/files/a.bin", slow);
        // Cancel ends the program at once: a process of its own.
        const QStringList options{QStringLiteral("--public-key=") + m_publicKey, QStringLiteral("--cancel-on=a.bin")};
        QCOMPARE(driveRun(app.path(), server, options).exitCode, 0);
        QVERIFY(app.read("Update/a.bin").size() < content.size());
        server.setFile("/files/a.bin", content);
    }
    TempFolder elsewhere;
    const auto place = [&](const QString &name, const QByteArray &bytes) {
        if (!asLinks)
            app.write(name, bytes);
        else
            QVERIFY(QFile::link(elsewhere.write(QStringLiteral("target"), bytes), app.path(name)));
    };
    if (!leftover.isNull())
        place(QStringLiteral("Update/a.bin"), leftover);
    if (!installed.isNull())
        place(QStringLiteral("a.bin"), installed);
    const ino_t inodeBefore = inodeOf(app.path("a.bin"));

    const WindowEnding ending = drive(app, server);
    QCOMPARE(ending.messages.value(0).text, success);
    QCOMPARE(requestCount(server, "/files/a.bin"), requests);
    QVERIFY(app.read("a.bin") == content);
    QCOMPARE(app.read("b.bin"), QByteArray("b"));
    QCOMPARE(inodeOf(app.path("a.bin")) != inodeBefore, replaced);
    QVERIFY(QFileInfo(app.path("a.bin")).isFile() && !QFileInfo(app.path("a.bin")).isSymLink());
    QVERIFY(elsewhere.read(QStringLiteral("target")).isNull() || elsewhere.read(QStringLiteral("target")) == content);
    QCOMPARE(app.working(), QStringList());
}

// A window that rewrites the working folder's a.bin in place, through its
// name, once the run lists b.bin: a.bin's digest has been checked by then.
class RewritingWindow : public TestWindow
{
public:
    using TestWindow::TestWindow;
    QString file;
    QByteArray after;

    void appendToList(const QString &text) override
    {
        TestWindow::appendToList(text);
        QFile a(file);
        if (text.startsWith(QLatin1String("b.bin")) && a.open(QIODevice::ReadWrite) && a.write(after) >= 0)
            a.resize(after.size());
    }
};

namespace {

const qsizetype largeSize = download::Cls_DownLoad::smallestLeased + 1000;

} // namespace

void SignedRunTest::rewrittenAfterItsCheck_data()
{
    QTest::addColumn<bool>("leftover"); // a.bin whole in the working folder before the run, not downloaded
    QTest::addColumn<QByteArray>("after");
    QTest::newRow("download rewritten in place") << false << patternBytes(400000, 2);
    QTest::newRow("download appended to") << false << patternBytes(400000) + 'x';
    QTest::newRow("download cut short") << false << patternBytes(1000);
    QTest::newRow("whole leftover rewritten in place") << true << patternBytes(400000, 2);
    // Held under its write lease: the rewriter's open breaks it.
    QTest::newRow("large download rewritten in place") << false << patternBytes(largeSize, 2);
    QTest::newRow("large download cut short") << false << patternBytes(1000);
}

void SignedRunTest::rewrittenAfterItsCheck()
{
    QFETCH(bool, leftover);
    QFETCH(QByteArray, after);
    TestServer server;
    const QByteArray content =
        publishAandB(server, QByteArray(QTest::currentDataTag()).startsWith("large") ? largeSize : 400000);
    DriverAppFolder app;
    app.write("a.bin", "installed a");
    if (leftover)
        app.write("Update/a.bin", content);
    RewritingWindow window(app.path(), server.url(), release::KeyRing::fromText(m_publicKey.toLatin1(), "keys"), {});
    window.file = app.path("Update/a.bin");
    window.after = after;
    const WindowEnding ending = window.run();
    verifyEnding(ending, End::Refused, QStringLiteral("文件摘要与发布索引不符"));
    QVERIFY(QString::fromUtf8(app.read("Update.log")).contains(QStringLiteral("a.bin（files/a.bin）")));
    QVERIFY(app.read("a.bin") == "installed a" && !app.exists("b.bin") && app.read("Update.inf") == "1.0\r\n"
            && !app.working().contains(QStringLiteral("a.bin")));
    QCOMPARE(drive(app, server).messages.value(0).text, success);
    QVERIFY(app.read("a.bin") == content);
}

void SignedRunTest::leftoversOfOthersAreFetchedAgain_data()
{
    QTest::addColumn<QString>("kind"); // how the whole leftover Update/a.bin is not the updater's own
    QTest::newRow("a hard link to a file elsewhere") << "hard link";
    QTest::newRow("another user's") << "foreign";
    QTest::newRow("writable by others") << "writable";
}

void SignedRunTest::leftoversOfOthersAreFetchedAgain()
{
    QFETCH(QString, kind);
    TestServer server;
    const QByteArray content = patternBytes(400000);
    publish(server, {{QStringLiteral("files/a.bin"), QStringLiteral("a.bin"), content}});
    DriverAppFolder app;
    TempFolder elsewhere;
    const QString leftover = app.write(QStringLiteral("Update/a.bin"), content);
    if (kind == "hard link") {
        QFile::remove(leftover);
        const QString outside = elsewhere.write(QStringLiteral("outside"), content);
        ::chmod(QFile::encodeName(outside).constData(), 0600);
        QCOMPARE(::link(QFile::encodeName(outside).constData(), QFile::encodeName(leftover).constData()), 0);
    } else if (kind == "foreign" && !plantForeignFile(leftover, 0644)) {
        QSKIP("only root can plant another user's file");
    } else if (kind == "writable") {
        ::chmod(QFile::encodeName(leftover).constData(), 0666);
    }
    const WindowEnding ending = drive(app, server);
    QCOMPARE(ending.messages.value(0).text, success);
    QCOMPARE(requestCount(server, "/files/a.bin"), 1);
    QVERIFY(app.read("a.bin") == content);
    struct stat info {};
    QCOMPARE(::lstat(QFile::encodeName(app.path("a.bin")).constData(), &info), 0);
    QCOMPARE(info.st_uid, ::geteuid());
    QCOMPARE(info.st_nlink, nlink_t(1));
    if (kind == "hard link") {
        QCOMPARE(::lstat(QFile::encodeName(elsewhere.path("outside")).constData(), &info), 0);
        QCOMPARE(int(info.st_mode & 07777), 0600);
    }
}

void SignedRunTest::freshness_data()
{
    QTest::addColumn<QByteArray>("kept");    // trusted comment of the kept pair; empty: none kept
    QTest::addColumn<QByteArray>("current"); // trusted comment of the server's signature
    QTest::addColumn<QString>("signer");
    QTest::addColumn<bool>("stampsEqual");
    QTest::addColumn<End>("end");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("signatureRequests");

    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const QByteArray fresh = "timestamp:1700000000 expires:" + QByteArray::number(now + 86400);
    const QByteArray expired = "timestamp:1700000000 expires:" + QByteArray::number(now - 60);
    const QByteArray keptExpiring = "timestamp:1700000000 expires:1700086400";
    const QByteArray noExpiry = "timestamp:1700000000";
    const QString publisher = QStringLiteral("publisher");
    const QString stale = QStringLiteral("无法确认是否有新版本：发布签名已过期");
    QTest::newRow("fresh release") << QByteArray() << fresh << publisher << false << End::Installed << success << 1;
    QTest::newRow("expired release") << QByteArray() << expired << publisher << false << End::Refused
                                     << QStringLiteral("发布签名已过期") << 1;
    QTest::newRow("equal stamps, current signature expired")
        << keptExpiring << expired << publisher << true << End::Refused << stale << 1;
    QTest::newRow("equal stamps, current signature fresh")
        << keptExpiring << fresh << publisher << true << End::UpToDate << QString() << 1;
    QTest::newRow("equal stamps, current signature by an unknown key")
        << keptExpiring << fresh << QStringLiteral("other") << true << End::Refused
        << QStringLiteral("签名所用的密钥不是发布者的密钥") << 1;
    // The signature requested beside the stamp serves the whole run.
    QTest::newRow("stamps differ, expiry kept")
        << keptExpiring << fresh << publisher << false << End::Installed << success << 1;
    QTest::newRow("stamps differ, expiry kept, current signature expired")
        << keptExpiring << expired << publisher << false << End::Refused << QStringLiteral("发布签名已过期") << 1;
    QTest::newRow("equal stamps, no expiry kept")
        << noExpiry << expired << publisher << true << End::UpToDate << QString() << 0;
}

void SignedRunTest::freshness()
{
    QFETCH(QByteArray, kept);
    QFETCH(QByteArray, current);
    QFETCH(QString, signer);
    QFETCH(bool, stampsEqual);
    QFETCH(End, end);
    QFETCH(QString, message);
    QFETCH(int, signatureRequests);

    TestServer server;
    const Published published = publish(server, {{QStringLiteral("files/a.bin"), QStringLiteral("a.bin"), "a"}});
    republishIndex(server, published.index, sign(published.index, signer, current));
    DriverAppFolder app(stampsEqual ? "2.0\r\n" : "1.0\r\n");
    if (!kept.isEmpty()) {
        app.write("LoadUpdate.sha256", published.index);
        app.write("LoadUpdate.sha256.minisig", sign(published.index, QStringLiteral("publisher"), kept));
    }

    verifyEnding(drive(app, server), end, message);
    QCOMPARE(requestCount(server, "/KVTA/ZE/LoadUpdate.sha256.minisig"), signatureRequests);
    QCOMPARE(app.exists("a.bin"), end == End::Installed);
    if (stampsEqual)
        QCOMPARE(requestCount(server, "/KVTA/ZE/LoadUpdate.sha256"), 0);
}

void SignedRunTest::rotatingKeys_data()
{
    QTest::addColumn<QStringList>("accepted"); // the build's keys
    QTest::addColumn<QString>("signer");       // of the release on the server
    QTest::addColumn<QString>("keptBy");       // of a later release installed before; empty: none
    QTest::addColumn<End>("end");
    QTest::addColumn<QString>("message");

    const QString wrongKey = QStringLiteral("签名所用的密钥不是发布者的密钥");
    // An older release than the one installed is what a stale cache shows:
    // nothing to install, and no alarm.
    const QString older = QStringLiteral("文件已是最新版本,无需更新！");
    const QStringList oldKey{QStringLiteral("publisher")}, newKey{QStringLiteral("next")};
    const QStringList both = oldKey + newKey;
    QTest::newRow("old key only") << oldKey << "publisher" << QString() << End::Installed << success;
    QTest::newRow("both keys, signed by the old") << both << "publisher" << QString() << End::Installed << success;
    QTest::newRow("both keys, signed by the new") << both << "next" << QString() << End::Installed << success;
    QTest::newRow("new key only") << newKey << "next" << QString() << End::Installed << success;
    QTest::newRow("both keys, signed by an unknown key") << both << "other" << QString() << End::Refused << wrongKey;
    QTest::newRow("dropped key") << newKey << "publisher" << QString() << End::Refused << wrongKey;
    QTest::newRow("rollback, one key") << oldKey << "publisher" << "publisher" << End::UpToDate << older;
    QTest::newRow("rollback to the old key's release") << both << "publisher" << "next" << End::UpToDate << older;
    QTest::newRow("rollback to the new key's release") << both << "next" << "publisher" << End::UpToDate << older;
}

void SignedRunTest::rotatingKeys()
{
    QFETCH(QStringList, accepted);
    QFETCH(QString, signer);
    QFETCH(QString, keptBy);
    QFETCH(End, end);
    QFETCH(QString, message);

    TestServer server;
    const Published published = publish(server, {{QStringLiteral("files/a.bin"), QStringLiteral("a.bin"), "a"}});
    republishIndex(server, published.index, sign(published.index, signer, "timestamp:1700000000"));
    DriverAppFolder app;
    if (!keptBy.isEmpty()) {
        app.write("LoadUpdate.sha256", published.index);
        app.write("LoadUpdate.sha256.minisig", sign(published.index, keptBy, "timestamp:1700000001"));
    }

    verifyEnding(drive(app, server, accepted), end, message);
    QCOMPARE(app.read("a.bin"), end == End::Installed ? QByteArray("a") : QByteArray());
}

QTEST_MAIN(SignedRunTest)
#include "tst_signedrun.moc"

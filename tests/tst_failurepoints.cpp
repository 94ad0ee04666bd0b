// Every failure point of a whole update run: each file-system call that the
// run makes on the client folder fails in turn (EIO, ENOSPC), or the run is
// killed there, in a process of its own (the run driver with the failure
// shim preloaded). Each time the folder holds the old release or the new one
// whole, the user saw one message (none when killed before the end), no
// signal but the kill ended the run, and a clean run afterwards installs the
// new release. Releases from a real HTTP server on 127.0.0.1, signed by the
// real minisign program, the patch made by the real zstd program.
// Under ctest a sample runs: a fixed stride through the points and the last
// three. FAILURE_POINTS=all runs every point (bench/failurepoints.sh).

#include "platform/files/replacement.h"
#include "release/sitelayout.h"

#include "support/rundriving.h"

#include <QCryptographicHash>
#include <QStandardPaths>
#include <QTest>

#include <map>

namespace {

const QString success = QStringLiteral("恭喜您：您已更新成最新版本,请重新登录系统！");
const QString upToDate = QStringLiteral("文件已是最新版本,无需更新！");

enum class Kind { Unsigned, Signed, Patch, Subfolders, Tree };

// A release as the client folder holds it: each listed file's bytes (null:
// absent) and the local stamp.
using Release = std::map<QString, QByteArray>;

QByteArray sha256(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

QByteArray run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitCode() != 0)
        qWarning().noquote() << program << arguments.join(QLatin1Char(' ')) << "failed:" << process.readAllStandardError();
    return process.readAllStandardOutput();
}

Release held(const TempFolder &app, const Release &like)
{
    Release now;
    for (const auto &[name, bytes] : like)
        now[name] = app.exists(name) ? app.read(name) : QByteArray();
    return now;
}

// The call that the shim failed, as it named it: "NAME failed" or "NAME killed".
QString failingCall(const QString &errors, long at)
{
    const QString mark = QStringLiteral("failshim call %1 ").arg(at);
    const qsizetype found = errors.indexOf(mark);
    return found < 0 ? QString() : errors.mid(found + mark.size()).section(QLatin1Char('\n'), 0, 0);
}

} // namespace

class FailurePointsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void everyPointHeld_data();
    void everyPointHeld();

private:
    // Publishes version 2.0 of the kind on the server; the old release and the new one.
    std::pair<Release, Release> publish(Kind kind, TestServer &server);
    // The driver on `app`, its `at`th call failing with `error` (0: killed there); 0 fails none.
    DriverEnding drive(const QString &app, const TestServer &server, const QStringList &options, long at, int error);

    TempFolder m_work;
    QString m_publicKey;
};

void FailurePointsTest::initTestCase()
{
    for (const char *program : {"minisign", "zstd"})
        QVERIFY2(!QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty(), program);
    run(QStringLiteral("minisign"), {"-G", "-W", "-f", "-p", m_work.path("key.pub"), "-s", m_work.path("key.key")});
    m_publicKey = QString::fromLatin1(m_work.read("key.pub").split('\n').value(1));
}

std::pair<Release, Release> FailurePointsTest::publish(Kind kind, TestServer &server)
{
    const QByteArray stamp = "2.0\r\n";
    Release old{{QStringLiteral("Update.inf"), "1.0\r\n"}};
    Release fresh{{QStringLiteral("Update.inf"), stamp}};
    QByteArray manifest;
    QByteArray index = sha256(stamp) + "  KVTA/ZE/UpdateNote.xml\n";
    const auto list = [&](const QByteArray &name, const QByteArray &before, const QByteArray &after) {
        manifest += "0001files/" + name + " name " + name + "\r\n";
        server.setFile("/files/" + name, after);
        index += sha256(after) + "  files/" + name + '\n';
        old[QString::fromLatin1(name)] = before;
        fresh[QString::fromLatin1(name)] = after;
    };
    if (kind == Kind::Patch) {
        const QByteArray before = patternBytes(300000);
        const QByteArray after = QByteArray(before).replace(1000, 9, "release 2");
        list("client.dll", before, after);
        const QByteArray patch = run(QStringLiteral("zstd"), {"-q", "-f", "-c", "-19", "--patch-from="
                                                              + m_work.write("old", before), m_work.write("new", after)});
        const QByteArray path = sitelayout::patchForm(sha256(before), sha256(after));
        server.setFile('/' + path, patch);
        index += sha256(patch) + "  " + path + '\n';
    } else {
        list("a.txt", "old A", "new A");
        list("c.txt", QByteArray(), "new C");
    }
    if (kind == Kind::Subfolders)
        list("sub/deeper/b.txt", QByteArray(), "new B");
    if (kind == Kind::Tree) {
        // Release 1 kept its tree: "gone/b.txt" goes with its folder, the
        // file "x" becomes a folder; the user's own file stays.
        list("x/y.txt", QByteArray(), "new Y");
        const QByteArray keptTree = "f 644 a.txt\nf 644 gone/b.txt\nf 644 x\n";
        const QByteArray tree = "f 644 a.txt\nf 644 c.txt\nf 644 x/y.txt\n";
        const QByteArray keptIndex = sha256(keptTree) + "  KVTA/ZE/LoadUpdate.tree\n";
        run(QStringLiteral("minisign"), {"-S", "-s", m_work.path("key.key"), "-m", m_work.write("kept", keptIndex),
                                         "-t", "timestamp:1690000000"});
        const std::pair<const char *, QByteArray> kept[] = {{"LoadUpdate.tree", keptTree},
                                                            {"LoadUpdate.sha256", keptIndex},
                                                            {"LoadUpdate.sha256.minisig", m_work.read("kept.minisig")}};
        for (const auto &[name, bytes] : kept)
            old[QString::fromLatin1(name)] = bytes;
        fresh[QStringLiteral("LoadUpdate.tree")] = tree;
        const std::tuple<const char *, QByteArray, QByteArray> others[] = {
            {"gone/b.txt", "old B", QByteArray()}, {"x", "file x", QByteArray()}, {"user.txt", "user's", "user's"}};
        for (const auto &[name, before, after] : others) {
            old[QString::fromLatin1(name)] = before;
            fresh[QString::fromLatin1(name)] = after;
        }
        server.setFile("/KVTA/ZE/LoadUpdate.tree", tree);
        index += sha256(tree) + "  KVTA/ZE/LoadUpdate.tree\n";
    }
    server.setFile("/KVTA/ZE/UpdateNote.xml", stamp);
    server.setFile("/KVTA/ZE/LoadUpdate.inf", manifest);
    index += sha256(manifest) + "  KVTA/ZE/LoadUpdate.inf\n";
    if (kind != Kind::Unsigned) {
        run(QStringLiteral("minisign"), {"-S", "-s", m_work.path("key.key"), "-m", m_work.write("index", index), "-t",
                                         "timestamp:1700000000"});
        server.setFile("/KVTA/ZE/LoadUpdate.sha256", index);
        server.setFile("/KVTA/ZE/LoadUpdate.sha256.minisig", m_work.read("index.minisig"));
        if (kind == Kind::Tree) {
            fresh[QStringLiteral("LoadUpdate.sha256")] = index;
            fresh[QStringLiteral("LoadUpdate.sha256.minisig")] = m_work.read("index.minisig");
        }
    }
    return {old, fresh};
}

DriverEnding FailurePointsTest::drive(const QString &app, const TestServer &server, const QStringList &options,
                                      long at, int error)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("LD_PRELOAD", FAILSHIM);
    environment.insert("FAILSHIM_FOLDER", app);
    environment.insert("FAILSHIM_AT", QString::number(at));
    environment.insert("FAILSHIM_ERRNO", QString::number(error));
    // The sanitizer build's runtime need not come first: the shim does.
    const QString asanOptions = environment.value("ASAN_OPTIONS");
    environment.insert("ASAN_OPTIONS", asanOptions + (asanOptions.isEmpty() ? "" : ":") + "verify_asan_link_order=0");
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(RUN_DRIVER, QStringList{app, server.url()} + options);
    return finishDriver(process);
}

void FailurePointsTest::everyPointHeld_data()
{
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<int>("error"); // that the failing call fails with; 0: the run is killed there
    const std::pair<const char *, Kind> kinds[] = {
        {"unsigned", Kind::Unsigned},
        {"signed", Kind::Signed},
        {"signed with a patch", Kind::Patch},
        {"signed, new subfolders", Kind::Subfolders},
        {"signed tree with removals", Kind::Tree}};
    const std::pair<const char *, int> errors[] = {{"EIO", EIO}, {"ENOSPC", ENOSPC}, {"killed", 0}};
    for (const auto &[kindName, kind] : kinds) {
        for (const auto &[errorName, error] : errors)
            QTest::addRow("%s, %s", kindName, errorName) << kind << error;
    }
}

void FailurePointsTest::everyPointHeld()
{
    QFETCH(Kind, kind);
    QFETCH(int, error);
    TestServer server;
    const auto [old, fresh] = publish(kind, server);
    const QStringList options =
        kind == Kind::Unsigned ? QStringList() : QStringList{QStringLiteral("--public-key=") + m_publicKey};
    const auto oldFolder = [&old](const DriverAppFolder &app) {
        for (const auto &[name, bytes] : old) {
            if (!bytes.isNull())
                app.write(name, bytes);
        }
        return QFileInfo(app.path()).canonicalFilePath();
    };

    // The run's calls, counted on a run that fails none.
    long calls = 0;
    {
        DriverAppFolder app;
        const DriverEnding counted = drive(oldFolder(app), server, options, 0, 0);
        QCOMPARE(counted.messages.value(0).text, success);
        QVERIFY(held(app, fresh) == fresh);
        const qsizetype at = counted.errors.lastIndexOf("failshim call ");
        QVERIFY2(at >= 0, qPrintable(counted.errors));
        calls = counted.errors.mid(at + 14).section(QLatin1Char(' '), 0, 0).toLong();
        QVERIFY(calls > 0);
    }
    const bool every = qEnvironmentVariable("FAILURE_POINTS") == QLatin1String("all");
    const long stride = every ? 1 : std::max(1L, calls / 12);
    const long offset = every ? 0 : (int(kind) * 3 + error % 7) % stride;

    int tried = 0;
    QStringList notHeld;
    for (long at = 1; at <= calls; ++at) {
        if (at % stride != offset && at <= calls - 3)
            continue;
        ++tried;
        DriverAppFolder app;
        const QString folder = oldFolder(app);
        const DriverEnding ending = drive(folder, server, options, at, error);
        const QString call = failingCall(ending.errors, at);
        const bool killed = call.endsWith(QLatin1String(" killed"));
        // A killed run's folder as the next start finds it, once it has
        // undone or finished what the kill cut off.
        if (killed)
            platform::filesystem::Replacement::recover(folder);
        const Release now = held(app, fresh);
        const QString text = ending.messages.value(0).text;
        QString why;
        if (ending.exitCode == -1 && !killed)
            why = QStringLiteral("ended by a signal");
        else if (!killed && ending.exitCode != 0 && ending.exitCode != 3)
            why = QStringLiteral("exit code %1").arg(ending.exitCode);
        else if (now != old && now != fresh)
            why = QStringLiteral("the folder holds neither release");
        else if (now == old && (app.exists("sub") || (kind == Kind::Tree && !app.exists("gone"))))
            why = QStringLiteral("a folder created for the new release stayed, or one removed did not come back");
        else if (now == fresh && kind == Kind::Tree && (app.exists("gone") || !QFileInfo(app.path("x")).isDir()))
            why = QStringLiteral("a folder that the new release dropped stayed");
        else if (killed ? ending.messages.size() > 1 : ending.messages.size() != 1)
            why = QStringLiteral("%1 messages").arg(ending.messages.size());
        else if (!ending.messages.isEmpty() && ((text == success) != (now == fresh) || text.isEmpty()))
            why = QStringLiteral("message \"%1\" with the %2 release").arg(text, now == fresh ? "new" : "old");
        else {
            const DriverEnding clean = driveRun(folder, server, options);
            if (clean.messages.value(0).text != (now == fresh ? upToDate : success) || held(app, fresh) != fresh)
                why = QStringLiteral("the clean run afterwards: ") + clean.messages.value(0).text;
        }
        if (!why.isEmpty())
            notHeld.append(QStringLiteral("point %1 (%2): %3").arg(at).arg(call, why));
    }
    qInfo().noquote() << QTest::currentDataTag() << "- calls" << calls << "points tried" << tried << "held"
                      << tried - notHeld.size();
    QVERIFY2(notHeld.isEmpty(), qPrintable(notHeld.join(QLatin1Char('\n'))));
}

QTEST_MAIN(FailurePointsTest)
#include "tst_failurepoints.moc"

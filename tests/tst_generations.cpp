// Two generations of a signed site, published by the real updater-publish:
// whatever mix of their fixed files a cache or a killed publication serves,
// a signed client installs one whole release, finds itself up to date, or
// says neutrally that the release is being published. Tampering is refused.

#include "app/translations.h"
#include "release/sitelayout.h"

#include "support/programs.h"
#include "support/rundriving.h"
#include "support/windowrun.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QStandardPaths>
#include <QTest>

#include <sys/stat.h>

namespace {

using End = update::RunOutcome::End;
// The release a client has installed: one older than both, or either of the two.
enum class Client { Older, Old, New };
using Site = QMap<QString, QByteArray>; // path under the base URL -> body

const QString beingPublished = QStringLiteral("服务器上的版本正在发布,请稍后再试！");
// The files that differ between two generations, in the order the publisher renames them.
const QStringList fixedFiles{sitelayout::indexPath, sitelayout::signaturePath, sitelayout::manifestPath,
                             sitelayout::stampPath};

// The files under `root`, but for the run log that every run adds to.
Site snapshot(const QString &root)
{
    Site files;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files[QDir(root).relativeFilePath(path)] = TempFolder::readFile(path);
    }
    files.remove(sitelayout::runLog);
    return files;
}

// What a client holds of one whole release.
struct Generation
{
    QByteArray stamp, a, index, signature;
};

} // namespace

Q_DECLARE_METATYPE(Site)

class GenerationsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void everyMixEndsWhole_data();
    void everyMixEndsWhole();
    void tamperingIsRefused_data();
    void tamperingIsRefused();
    void wholeTreesFollowTheRelease_data();
    void wholeTreesFollowTheRelease();

private:
    void publish(const QString &site, const QByteArray &version);
    Site mix(const QString &picks, bool newFolder) const;
    Site killedAfter(qsizetype renames) const;
    void addRows(const QString &name, const Site &site);
    QString expected(const Site &site, Client client) const;

    TempFolder m_keys, m_old, m_new;
    QByteArray m_publicKey;
    Site m_oldSite, m_newSite;
    QStringList m_newFolder; // the second release's own folder
    QMap<QString, Generation> m_generations;
};

void GenerationsTest::publish(const QString &site, const QByteArray &version)
{
    TempFolder from;
    from.write(QStringLiteral("a.bin"), "a of " + version);
    from.write(QStringLiteral("b.bin"), patternBytes(5000));
    runProgram(QStringLiteral(PUBLISHER), {"release", "--from", from.path(), "--site", site, "--version",
                                           QString::fromLatin1(version), "--secret-key", m_keys.path("k.key")});
}

void GenerationsTest::initTestCase()
{
    QVERIFY(!QStandardPaths::findExecutable(QStringLiteral("minisign")).isEmpty());
    installChineseTranslations(*QCoreApplication::instance());
    runProgram(QStringLiteral("minisign"),
               {"-G", "-W", "-f", "-p", m_keys.path("k.pub"), "-s", m_keys.path("k.key")});
    m_publicKey = m_keys.read("k.pub").split('\n').value(1);
    publish(m_old.path(), "1");
    runProgram(QStringLiteral("cp"), {"-a", m_old.path() + "/.", m_new.path()});
    // Clients order releases by the time they were signed: the second one is
    // signed later even if both are published within one second, as the
    // publisher keeps a time that a clock ahead left.
    runProgram(QStringLiteral("minisign"),
               {"-S", "-s", m_keys.path("k.key"), "-m", m_new.path(sitelayout::indexPath), "-t",
                "timestamp:" + QString::number(QDateTime::currentSecsSinceEpoch() + 1)});
    publish(m_new.path(), "2");
    m_oldSite = snapshot(m_old.path());
    m_newSite = snapshot(m_new.path());
    for (const QString &path : m_newSite.keys()) {
        if (!m_oldSite.contains(path) && path.startsWith(QString(sitelayout::releasesFolder)))
            m_newFolder << path;
    }
    QCOMPARE(m_newFolder.size(), 4); // its index, manifest, stamp and tree
    for (const auto &[name, site, version] : {std::tuple{"old", &m_oldSite, "1"}, std::tuple{"new", &m_newSite, "2"}})
        m_generations[name] = {QByteArray(version) + "\r\n", "a of " + QByteArray(version),
                               site->value(sitelayout::indexPath), site->value(sitelayout::signaturePath)};

    // The old release signed by hand at the fixed paths: sha256sum and minisign.
    TempFolder hand;
    runProgram(QStringLiteral("cp"), {"-a", m_old.path() + "/.", hand.path()});
    QDir(hand.path(sitelayout::releasesFolder)).removeRecursively();
    QStringList listed{sitelayout::stampPath, sitelayout::manifestPath};
    for (const QString &path : m_oldSite.keys()) {
        if (path.startsWith(QStringLiteral("KVTA/ZE/files/")))
            listed << path;
    }
    hand.write(sitelayout::indexPath, runProgram(QStringLiteral("sha256sum"), listed, hand.path()));
    QFile::remove(hand.path(sitelayout::signaturePath));
    runProgram(QStringLiteral("minisign"),
               {"-S", "-s", m_keys.path("k.key"), "-m", hand.path(sitelayout::indexPath), "-t",
                "timestamp:" + QString::number(QDateTime::currentSecsSinceEpoch())});
    const Site handSite = snapshot(hand.path());
    m_generations["hand"] = {"1\r\n", "a of 1", handSite.value(sitelayout::indexPath),
                             handSite.value(sitelayout::signaturePath)};
    m_generations["hand mixed"] = m_generations["hand"];
}

// Each fixed file from the old ('o') or the new ('n') site, in the order of fixedFiles.
Site GenerationsTest::mix(const QString &picks, bool newFolder) const
{
    Site site = m_newSite;
    for (qsizetype i = 0; i < fixedFiles.size(); ++i)
        site[fixedFiles[i]] = (picks[i] == QLatin1Char('o') ? m_oldSite : m_newSite).value(fixedFiles[i]);
    if (!newFolder) {
        for (const QString &path : m_newFolder)
            site.remove(path);
    }
    return site;
}

// The old site after the second publication's first renames: its new
// stored files, its folder, then the fixed files; what it had staged beside
// the rest stays under hidden names.
Site GenerationsTest::killedAfter(qsizetype renames) const
{
    QStringList order;
    for (const QString &path : m_newSite.keys()) {
        if (!m_oldSite.contains(path) && !m_newFolder.contains(path))
            order << path;
    }
    order << m_newFolder << fixedFiles;
    Site site = m_oldSite;
    for (qsizetype i = 0; i < order.size(); ++i) {
        const QString &path = order[i];
        if (i < renames)
            site[path] = m_newSite.value(path);
        else if (i == renames || (fixedFiles.contains(path) && renames >= order.size() - fixedFiles.size()))
            site[path.section(QLatin1Char('/'), 0, -2) + "/." + path.section(QLatin1Char('/'), -1)
                 + sitelayout::publishingInfix + "4242"] = m_newSite.value(path);
    }
    return site;
}

// What the design promises: the signature leads to one release, which is
// there whole, or not yet.
QString GenerationsTest::expected(const Site &site, Client client) const
{
    const bool newSignature = site.value(sitelayout::signaturePath) == m_newSite.value(sitelayout::signaturePath);
    const bool folderWhole = std::all_of(m_newFolder.cbegin(), m_newFolder.cend(),
                                         [&](const QString &path) { return site.contains(path); });
    const bool oldStamp = site.value(sitelayout::stampPath) == m_oldSite.value(sitelayout::stampPath);
    // A client at the new release: an older one is no downgrade, and its own
    // one is only not there yet where the stamp does not already match.
    if (client == Client::New)
        return oldStamp && newSignature && !folderWhole ? QStringLiteral("being published")
                                                        : QStringLiteral("up to date");
    if (client == Client::Old && (oldStamp || !newSignature))
        return QStringLiteral("up to date");
    if (!newSignature)
        return QStringLiteral("old");
    return folderWhole ? QStringLiteral("new") : QStringLiteral("being published");
}

void GenerationsTest::addRows(const QString &name, const Site &site)
{
    const std::pair<Client, QString> clients[]{
        {Client::Older, QString()}, {Client::Old, QStringLiteral(", client at the old")},
        {Client::New, QStringLiteral(", client at the new")}};
    for (const auto &[client, suffix] : clients)
        QTest::newRow(qPrintable(name + suffix)) << site << client << expected(site, client);
}

void GenerationsTest::everyMixEndsWhole_data()
{
    QTest::addColumn<Site>("site");
    QTest::addColumn<Client>("client");
    QTest::addColumn<QString>("outcome");
    for (int bits = 0; bits < 32; ++bits) {
        QString picks;
        for (int i = 0; i < 4; ++i)
            picks += bits & (1 << i) ? QLatin1Char('n') : QLatin1Char('o');
        const bool folder = bits & 16;
        addRows(QStringLiteral("index, signature, manifest, stamp: %1; new folder %2")
                    .arg(picks, folder ? QStringLiteral("present") : QStringLiteral("absent")),
                mix(picks, folder));
    }
    const qsizetype renames = m_newSite.size() - m_oldSite.size() + fixedFiles.size();
    for (qsizetype k = 0; k < renames; ++k)
        addRows(QStringLiteral("publisher killed after %1 renames").arg(k), killedAfter(k));

    Site hand = m_oldSite;
    for (auto it = m_oldSite.cbegin(); it != m_oldSite.cend(); ++it) {
        if (it.key().startsWith(QString(sitelayout::releasesFolder)))
            hand.remove(it.key());
    }
    hand[sitelayout::indexPath] = m_generations["hand"].index;
    hand[sitelayout::signaturePath] = m_generations["hand"].signature;
    QTest::newRow("signed by hand at the fixed paths") << hand << Client::Older << "hand";
    hand[sitelayout::stampPath] = m_newSite.value(sitelayout::stampPath);
    QTest::newRow("signed by hand, the next release's stamp") << hand << Client::Older << "being published";
}

void GenerationsTest::everyMixEndsWhole()
{
    QFETCH(Site, site);
    QFETCH(Client, client);
    QFETCH(QString, outcome);
    TestServer server;
    for (auto it = site.cbegin(); it != site.cend(); ++it)
        server.setFile('/' + it.key().toLatin1(), it.value());
    const Generation *installed = client == Client::Older ? nullptr
                                                          : &m_generations[client == Client::Old ? "old" : "new"];
    DriverAppFolder app(installed ? installed->stamp : QByteArray("0.5\r\n"));
    if (installed) {
        app.write("a.bin", installed->a);
        app.write("b.bin", patternBytes(5000));
        app.write("LoadUpdate.sha256", installed->index);
        app.write("LoadUpdate.sha256.minisig", installed->signature);
    }
    const Site before = snapshot(app.path());

    const auto key = release::PublicKey::fromBase64(m_publicKey, QStringLiteral("key"));
    const WindowEnding ending = TestWindow(app.path(), server, key).run();
    QCOMPARE(ending.messages.size(), 1);
    QCOMPARE(ending.messages[0].icon, QStringLiteral("information"));
    if (outcome == QLatin1String("being published") || outcome == QLatin1String("up to date")) {
        QCOMPARE(ending.end, outcome == QLatin1String("up to date") ? End::UpToDate : End::BeingPublished);
        if (ending.end == End::BeingPublished)
            QCOMPARE(ending.messages[0].text, beingPublished);
        Site now = snapshot(app.path());
        now.remove(sitelayout::manifestCopy);
        Site was = before;
        was.remove(sitelayout::manifestCopy);
        QCOMPARE(now, was);
        return;
    }
    QCOMPARE(ending.end, End::Installed);
    const Generation &whole = m_generations[outcome];
    QCOMPARE(app.read("Update.inf"), whole.stamp);
    QCOMPARE(app.read("a.bin"), whole.a);
    QCOMPARE(app.read("b.bin"), patternBytes(5000));
    QCOMPARE(app.read("LoadUpdate.sha256"), whole.index);
    QCOMPARE(app.read("LoadUpdate.sha256.minisig"), whole.signature);
}

void GenerationsTest::tamperingIsRefused_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("named");

    const QString mismatch = QStringLiteral("文件摘要与发布索引不符");
    const auto copyOf = [&](QLatin1StringView fixed) {
        return *std::find_if(m_newFolder.cbegin(), m_newFolder.cend(),
                             [&](const QString &path) { return path.endsWith(fixed.sliced(8)); });
    };
    QTest::newRow("folder's index, another body") << copyOf(sitelayout::indexPath) << m_oldSite.value(sitelayout::indexPath)
                                                  << mismatch << copyOf(sitelayout::indexPath);
    QTest::newRow("folder's manifest, another body")
        << copyOf(sitelayout::manifestPath) << QByteArray("0001KVTA/ZE/evil name evil.exe\r\n") << mismatch
        << QString(sitelayout::manifestPath);
    QTest::newRow("folder's stamp, another body") << copyOf(sitelayout::stampPath) << QByteArray("2.1\r\n") << mismatch
                                                  << QString(sitelayout::stampPath);
    QByteArray edited = m_newSite.value(sitelayout::signaturePath);
    const QByteArray newDigest = copyOf(sitelayout::indexPath).section(QLatin1Char('/'), -2, -2).toLatin1();
    const QByteArray oldDigest =
        QCryptographicHash::hash(m_oldSite.value(sitelayout::indexPath), QCryptographicHash::Sha256).toHex();
    edited.replace("index:" + newDigest, "index:" + oldDigest);
    QTest::newRow("signature's index field changed") << QString(sitelayout::signaturePath) << edited
                                                     << QStringLiteral("签名的可信注释验证失败")
                                                     << QString(sitelayout::signaturePath);
}

void GenerationsTest::tamperingIsRefused()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, body);
    QFETCH(QString, description);
    QFETCH(QString, named);
    TestServer server;
    for (auto it = m_newSite.cbegin(); it != m_newSite.cend(); ++it)
        server.setFile('/' + it.key().toLatin1(), it.key() == path ? body : it.value());
    DriverAppFolder app("0.5\r\n");
    const auto key = release::PublicKey::fromBase64(m_publicKey, QStringLiteral("key"));
    const WindowEnding ending = TestWindow(app.path(), server, key).run();
    QCOMPARE(ending.end, End::Refused);
    QCOMPARE(ending.messages.size(), 1);
    const QString text = ending.messages[0].text;
    QVERIFY2(text.startsWith(description) && !text.contains(named), qPrintable(text));
    QVERIFY(QString::fromUtf8(app.read("Update.log")).contains(named));
    QVERIFY(!app.exists(QStringLiteral("a.bin")));
    QCOMPARE(app.read("Update.inf"), QByteArray("0.5\r\n"));
}

// A client's source tree: "f MODE PATH=CONTENT", "l PATH=TARGET", "d PATH".
void makeTree(const QString &root, const QStringList &entries)
{
    for (const QString &entry : entries) {
        const QString path = entry.section(' ', -1).section('=', 0, 0), value = entry.section('=', 1);
        const QString full = root + '/' + (entry.startsWith("f ") ? entry.section(' ', 2).section('=', 0, 0) : path);
        QDir().mkpath(QFileInfo(full).absolutePath());
        if (entry.startsWith("f ")) {
            TempFolder::writeFile(full, value.toUtf8());
            ::chmod(QFile::encodeName(full).constData(), mode_t(entry.section(' ', 1, 1).toInt(nullptr, 8)));
        } else if (entry.startsWith("l ")) {
            QVERIFY(QFile::link(value, full));
        } else {
            QDir().mkpath(full);
        }
    }
}

// Every entry below `root` as "MODE PATH" for folders and files, "PATH -> TARGET" for links.
QStringList shapeOf(const QString &root)
{
    QStringList shape;
    for (const QString &path : entriesBelow(root)) {
        const QFileInfo info(root + '/' + path);
        struct stat status {};
        ::lstat(QFile::encodeName(info.filePath()).constData(), &status);
        shape << (info.isSymLink() ? path + " -> " + QFile::decodeName(runProgram("readlink", {info.filePath()}).trimmed())
                                   : QString::number(status.st_mode & 0777, 8) + ' ' + path);
    }
    shape.sort();
    return shape;
}

void GenerationsTest::wholeTreesFollowTheRelease_data()
{
    QTest::addColumn<QList<QStringList>>("releases");
    const QByteArray elf = "\x7f" "ELF\x02\x01\x01";
    const QStringList first{"f 755 bin/app=" + elf, "f 755 bin/run.sh=#!/bin/sh", "f 755 lib/libcore.so.1=core 1",
                            "l lib/libcore.so=libcore.so.1", "f 644 locale/zh_CN/app.qm=qm", "f 644 资源/图标.png=png",
                            "f 644 empty.txt=", "f 644 legacy.txt=old", "f 755 plugins/a.so=a", "f 644 data/x=file",
                            "f 644 docs/readme=read"};
    // Drops a file and a whole folder, adds deeper files, turns a file into
    // a folder, moves the link along its chain, makes a file executable.
    const QStringList second{"f 755 bin/app=" + elf + "2", "f 755 bin/run.sh=#!/bin/sh", "f 755 lib/libcore.so.2=core 2",
                             "l lib/libcore.so=libcore.so.2", "f 644 locale/zh_CN/app.qm=qm",
                             "f 644 locale/zh_CN/LC_MESSAGES/deep/er/more.mo=mo", "f 644 资源/图标.png=png",
                             "f 644 empty.txt=", "f 644 data/x/inner.txt=inner", "f 755 docs/readme=read", "d empty/folder"};
    // The folder back to a file, a Chinese folder swapped for another, a
    // script that loses its bit, the plug-ins back.
    const QStringList third{"f 755 bin/app=" + elf + "3", "f 644 bin/run.sh=#!/bin/sh", "f 755 lib/libcore.so.2=core 2",
                            "l lib/libcore.so=libcore.so.2", "l bin/core=../lib/libcore.so", "f 644 locale/zh_CN/app.qm=qm",
                            "f 644 新资源/图标.png=png", "f 644 empty.txt=", "f 644 data/x=file again",
                            "f 755 plugins/b.so=b", "f 644 docs/readme=read"};
    QTest::newRow("release 1 to 3 of a reshaped tree") << QList<QStringList>{first, second, third};
}

void GenerationsTest::wholeTreesFollowTheRelease()
{
    QFETCH(QList<QStringList>, releases);
    TempFolder site;
    DriverAppFolder app("0\r\n");
    // The user's own files, one in a folder that a release drops.
    const QStringList own{"user/notes.txt", "plugins/mine.so"};
    for (const QString &path : own)
        app.write(path, "the user's");
    const QStringList updaters{"Update", "Update.inf", "Update.log", "LoadUpdate.inf", "LoadUpdate.sha256",
                               "LoadUpdate.sha256.minisig", "LoadUpdate.tree", "user", "user/notes.txt",
                               "plugins/mine.so"};
    const auto key = release::PublicKey::fromBase64(m_publicKey, QStringLiteral("key"));
    for (qsizetype version = 1; version <= releases.size(); ++version) {
        TempFolder from;
        makeTree(from.path(), releases[version - 1]);
        runProgram(QStringLiteral(PUBLISHER), {"release", "--from", from.path(), "--site", site.path(), "--version",
                                               QString::number(version), "--secret-key", m_keys.path("k.key")});
        TestServer server;
        const Site published = snapshot(site.path());
        for (auto it = published.cbegin(); it != published.cend(); ++it)
            server.setFile('/' + it.key().toUtf8(), it.value());
        const WindowEnding ending = TestWindow(app.path(), server, key).run();
        QCOMPARE(ending.end, End::Installed);
        // diff -r: the same files with the same bytes and links; only the
        // updater's own names and the user's files besides.
        const QStringList differences = QString::fromUtf8(runProgram("diff", {"-r", "--no-dereference", from.path(), app.path()}))
                                            .split('\n', Qt::SkipEmptyParts);
        for (const QString &line : differences) {
            const QString only = line.section(": ", 1);
            const QString where = QDir(app.path()).relativeFilePath(line.section(": ", 0, 0).section(' ', 2));
            const QString path = where == "." ? only : where + '/' + only;
            QVERIFY2(line.startsWith("Only in " + app.path()) && (updaters.contains(path) || path == "plugins"),
                     qPrintable(line));
        }
        QStringList installed = shapeOf(app.path());
        installed.removeIf([&](const QString &entry) {
            return updaters.contains(entry.section(' ', -1)) || entry.section(' ', -1).startsWith("Update/");
        });
        installed.sort();
        QStringList expected = shapeOf(from.path());
        if (version == 2)
            expected << "755 plugins";
        expected.sort();
        QCOMPARE(installed, expected);
        for (const QString &path : own)
            QCOMPARE(app.read(path), QByteArray("the user's"));
        const QString log = QString::fromUtf8(app.read("Update.log"));
        if (version == 2) {
            QVERIFY(log.contains("removed legacy.txt") && log.contains("removed plugins/a.so")
                    && log.contains("kept folder, not empty plugins"));
        }
    }
}

QTEST_MAIN(GenerationsTest)
#include "tst_generations.moc"

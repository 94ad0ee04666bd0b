// The publisher through its real executable: key files that minisign uses,
// releases written into a site folder, refusals that leave the site as it
// was, and checks of a site served by a real HTTP server on 127.0.0.1.

#include "platform/text/codepage.h"
#include "release/minisignature.h"
#include "release/minisignkey.h"
#include "release/manifestline.h"
#include "release/releasetree.h"
#include "release/updatermark.h"

#include "support/rundriving.h"
#include "support/smalldisk.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTest>

#include <csignal>
#include <functional>
#include <memory>
#include <optional>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

const QString stampPath = QStringLiteral("KVTA/ZE/UpdateNote.xml");
const QString manifestPath = QStringLiteral("KVTA/ZE/LoadUpdate.inf");
const QString indexPath = QStringLiteral("KVTA/ZE/LoadUpdate.sha256");
const QString signaturePath = QStringLiteral("KVTA/ZE/LoadUpdate.sha256.minisig");
const QString treePath = QStringLiteral("KVTA/ZE/LoadUpdate.tree");

struct Result
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Result runProcess(const QString &program, const QStringList &arguments, const QByteArray &input = {},
                  const std::function<void()> &childSetup = {})
{
    QProcess process;
    if (childSetup)
        process.setChildProcessModifier(childSetup);
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    process.waitForFinished(120000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, process.readAllStandardOutput(),
            process.readAllStandardError()};
}

Result publisher(const QStringList &arguments, const std::function<void()> &childSetup = {})
{
    return runProcess(QStringLiteral(PUBLISHER), arguments, {}, childSetup);
}

// The words of a command line with the test's places put in.
QStringList substituted(QStringList arguments, const QMap<QString, QString> &places)
{
    for (QString &argument : arguments) {
        for (auto it = places.cbegin(); it != places.cend(); ++it)
            argument.replace(it.key(), it.value());
    }
    return arguments;
}

QString sha256Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// A copy of the driver whose build mark names `keys` (empty: unsigned), as
// if it was built with them.
QString markedDriver(const TempFolder &folder, const QByteArray &keys)
{
    QByteArray program = TempFolder::readFile(QStringLiteral(RUN_DRIVER));
    const auto block = release::updatermark::block("1", keys.toStdString());
    const QByteArray start(block.data(), qsizetype(release::updatermark::prefix.size()));
    program.replace(program.indexOf(start + "version="), qsizetype(block.size()), QByteArray(block.data(), block.size()));
    QFile::setPermissions(folder.write(QStringLiteral("run_driver"), program), QFile::ReadOwner | QFile::ExeOwner);
    return folder.path(QStringLiteral("run_driver"));
}

QString storedPath(const QByteArray &content)
{
    const QString digest = sha256Hex(content);
    return QStringLiteral("KVTA/ZE/files/%1/%2").arg(digest.left(2), digest);
}

// Every file and folder under `root` with its bytes and mode, to show that
// a refused release changed nothing.
QMap<QString, QByteArray> snapshot(const QString &root)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString name = QDir(root).relativeFilePath(path);
        QFile file(path);
        files[name] = it.fileInfo().isDir() ? QByteArray("<dir>")
                                             : (file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<?>"));
    }
    return files;
}

// The site as a test server serves it: every file under its path.
void serveSite(TestServer &server, const QString &root)
{
    const auto files = snapshot(root);
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (it.value() != "<dir>")
            server.setFile('/' + it.key().toLatin1(), it.value());
    }
}

// Every file of the site at `root` answered by `from` with `status` and a
// Location of the same path on `to`.
void redirectSite(TestServer &from, int status, const TestServer &to, const QString &root)
{
    const auto files = snapshot(root);
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (it.value() == "<dir>")
            continue;
        TestServer::Route route;
        route.status = status;
        route.location = to.url(it.key()).toLatin1();
        from.setRoute('/' + it.key().toLatin1(), route);
    }
}

// A check's output: one line per expected problem, in order, then the
// verdict; no problem expected: the site passes.
void verifyCheck(const Result &result, const QStringList &expected)
{
    QStringList lines = QString::fromUtf8(result.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QVERIFY(!lines.isEmpty());
    const QString verdict = lines.takeLast();
    if (expected.isEmpty()) {
        QCOMPARE(result.exitCode, 0);
        QVERIFY2(verdict.startsWith(QStringLiteral("OK: ")) && verdict.contains(QStringLiteral("4 files")),
                 qPrintable(verdict));
        QCOMPARE(lines, QStringList());
        return;
    }
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(verdict.startsWith(QStringLiteral("FAILED: ")), qPrintable(verdict));
    QVERIFY2(lines.size() == expected.size(), qPrintable(lines.join(QLatin1Char('\n'))));
    for (qsizetype i = 0; i < expected.size(); ++i)
        QVERIFY2(lines[i].startsWith(expected[i]), qPrintable(lines[i] + QStringLiteral("\n  expected: ") + expected[i]));
}

// A route that replaces what the site serves at `target`.
struct Fault
{
    Fault(QByteArray target, QByteArray body, TestServer::Route::Mode mode = TestServer::Route::Mode::Normal,
          int status = 200, QByteArray contentLength = {}, qint64 sendBytes = 0)
        : target(std::move(target)), body(std::move(body)), mode(mode), status(status),
          contentLength(std::move(contentLength)), sendBytes(sendBytes)
    {
    }
    QByteArray target;
    QByteArray body;
    TestServer::Route::Mode mode;
    int status;
    QByteArray contentLength;
    qint64 sendBytes;
};
using Faults = QList<Fault>;

QByteArray gbk(const QString &text)
{
    return platform::CodePage("GBK").encode(text);
}

// A library as a release ships it, in its version `version`: compressible,
// and each version a little different from the one before.
QByteArray libraryBytes(int version)
{
    QByteArray bytes;
    for (int i = 0; i < 6000; ++i)
        bytes += "symbol_" + QByteArray::number(i) + " = " + QByteArray::number(i % 97 == 0 ? i * version : i * 7)
            + (i % 500 == version ? " changed\n" : "\n");
    return bytes;
}

// The smaller forms an index lists: path to digest.
QMap<QString, QString> smallFormsListed(const QByteArray &index)
{
    QMap<QString, QString> forms;
    for (const QByteArray &line : index.split('\n')) {
        const QString path = QString::fromLatin1(line.mid(66));
        if (path.startsWith(QLatin1String("KVTA/ZE/zst/")))
            forms.insert(path, QString::fromLatin1(line.left(64)));
    }
    return forms;
}

// What a release folder entry is, where it is not a file of some size.
enum Entry : qint64 { Folder = -1, Link = -2, Fifo = -3 };

} // namespace

Q_DECLARE_METATYPE(Faults)

class PublishTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void keygen_data();
    void keygen();
    void keygenRefuses_data();
    void keygenRefuses();
    void releaseWritesTheSite();
    void secondReleaseStoresOnlyTheChangedFile();
    void signedTimeNeverGoesBack_data();
    void signedTimeNeverGoesBack();
    void releaseSignsWithMinisignKeys_data();
    void releaseSignsWithMinisignKeys();
    void releaseRefusals_data();
    void releaseRefusals();
    void releaseTree_data();
    void releaseTree();
    void checkNamesEachFault_data();
    void checkNamesEachFault();
    void checkFollowsRedirects_data();
    void checkFollowsRedirects();
    void checkRefusesAnUntrustedCertificate();
    void conventions_data();
    void conventions();
    void jsonOutcome_data();
    void jsonOutcome();
    void clientFolder_data();
    void clientFolder();
    void updaterInstallsThePublishedRelease_data();
    void updaterInstallsThePublishedRelease();
    void resignRenewsTheSignature_data();
    void resignRenewsTheSignature();
    void checkSeesTheExpiry_data();
    void checkSeesTheExpiry();
    void smallForms_data();
    void smallForms();
    void freshCopyOfTheSiteMakesTheSameForms();
    void prune_data();
    void prune();
    void checkRebuildsEachForm_data();
    void checkRebuildsEachForm();
    void checkSeesAPublicationHalfWay_data();
    void checkSeesAPublicationHalfWay();

private:
    // A folder of release files with Chinese names.
    void writeRelease(const TempFolder &folder, const QByteArray &changed = "version 1") const;
    // A site with one signed release, version 1.
    void makeSite(const TempFolder &site) const;
    // Signed releases 1 to `last` of one file, "lib.so", in `site`: the
    // library's versions, or random bytes of its size.
    void publishLibrary(const TempFolder &site, int first, int last, bool compressible = true,
                        const QStringList &options = {}) const;

    TempFolder m_keys;
    TempFolder m_site; // one signed release, served by checkNamesEachFault
    TempFolder m_formSite; // two releases of lib.so, served by checkRebuildsEachForm
    QString m_publicKey;
    QString m_secretKey;
    QString m_nextPublicKey; // a second key pair, for a key change
    QString m_nextSecretKey;
    QString m_encryptedKey;
    QString m_password;
};

void PublishTest::initTestCase()
{
    QVERIFY2(QFileInfo(QStringLiteral(PUBLISHER)).isExecutable(), PUBLISHER);
    // Our own key files, made by the library: one plain, one encrypted.
    const release::SecretKey key = release::SecretKey::generate();
    m_secretKey = m_keys.write(QStringLiteral("plain.key"), key.toFileText({}));
    m_publicKey = m_keys.write(QStringLiteral("plain.pub"), key.publicKey().toFileText());
    m_encryptedKey = m_keys.write(QStringLiteral("encrypted.key"), key.toFileText("s3cret"));
    const release::SecretKey next = release::SecretKey::generate();
    m_nextSecretKey = m_keys.write(QStringLiteral("next.key"), next.toFileText({}));
    m_nextPublicKey = m_keys.write(QStringLiteral("next.pub"), next.publicKey().toFileText());
    m_password = m_keys.write(QStringLiteral("password"), "s3cret\n");
    makeSite(m_site);
}

void PublishTest::writeRelease(const TempFolder &folder, const QByteArray &changed) const
{
    folder.write(QStringLiteral("客户端.exe"), patternBytes(300000, 1));
    folder.write(QStringLiteral("说明 文档.txt"), changed);
    folder.write(QStringLiteral("a.dll"), patternBytes(1000, 2));
    // The word "name" inside a local name is read back as it is.
    folder.write(QStringLiteral("filename.ini"), "[name]\r\n");
}

void PublishTest::makeSite(const TempFolder &site) const
{
    TempFolder from;
    writeRelease(from);
    const Result result = publisher({"release", "--from", from.path(), "--site", site.path(), "--version", "1",
                                     "--secret-key", m_secretKey});
    QVERIFY2(result.exitCode == 0, result.err.constData());
}

void PublishTest::publishLibrary(const TempFolder &site, int first, int last, bool compressible,
                                 const QStringList &options) const
{
    for (int version = first; version <= last; ++version) {
        TempFolder from;
        from.write(QStringLiteral("lib.so"), compressible ? libraryBytes(version) : patternBytes(200000, version));
        const Result result = publisher(QStringList{"release", "--from", from.path(), "--site", site.path(),
                                                    "--version", QString::number(version), "--secret-key", m_secretKey}
                                        + options);
        QVERIFY2(result.exitCode == 0, result.err.constData());
    }
}

void PublishTest::keygen_data()
{
    QTest::addColumn<bool>("encrypted");
    QTest::newRow("unencrypted, as minisign -W") << false;
    QTest::newRow("encrypted with a password") << true;
}

void PublishTest::keygen()
{
    QFETCH(bool, encrypted);
    TempFolder keys;
    QStringList arguments{"keygen", "--public-key", keys.path("k.pub"), "--secret-key", keys.path("k.key")};
    if (encrypted)
        arguments << "--password-file" << m_password;
    const Result made = publisher(arguments);
    QCOMPARE(made.exitCode, 0);
    // The line to build the updater with is the public key file's key line.
    QCOMPARE(made.out.trimmed(), keys.read("k.pub").split('\n').at(1));
    QCOMPARE(QFile::permissions(keys.path("k.key")) & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());

    // minisign signs with the secret key and verifies with the public key.
    keys.write(QStringLiteral("data"), "payload");
    QStringList sign{"-S", "-s", keys.path("k.key"), "-m", keys.path("data")};
    if (!encrypted)
        sign << "-W";
    const Result signedByMinisign = runProcess(QStringLiteral("minisign"), sign, "s3cret\n");
    QVERIFY2(signedByMinisign.exitCode == 0, signedByMinisign.out + signedByMinisign.err);
    const Result verified = runProcess(QStringLiteral("minisign"), {"-V", "-p", keys.path("k.pub"), "-m", keys.path("data")});
    QVERIFY2(verified.exitCode == 0, verified.out + verified.err);
}

void PublishTest::keygenRefuses_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("existing");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    QTest::newRow("public key exists") << QStringList{"--public-key", "k.pub", "--secret-key", "k.key"} << "k.pub"
                                       << 1 << "k.pub: exists already";
    QTest::newRow("secret key exists") << QStringList{"--public-key", "k.pub", "--secret-key", "k.key"} << "k.key"
                                       << 1 << "k.key: exists already";
    QTest::newRow("password file missing")
        << QStringList{"--public-key", "k.pub", "--secret-key", "k.key", "--password-file", "none"} << "" << 1
        << "none: cannot read the password file";
    QTest::newRow("no secret key option") << QStringList{"--public-key", "k.pub"} << "" << 2 << "required";
    QTest::newRow("same file twice") << QStringList{"--public-key", "k", "--secret-key", "k"} << "" << 2
                                     << "same file";
    QTest::newRow("unknown option") << QStringList{"--public", "k"} << "" << 2 << "Unknown option";
}

void PublishTest::keygenRefuses()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, existing);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    TempFolder keys;
    if (!existing.isEmpty())
        keys.write(existing, "keep me");
    for (QString &argument : arguments) {
        if (!argument.startsWith(QLatin1String("--")))
            argument = keys.path(argument);
    }
    const auto before = snapshot(keys.path());
    const Result result = publisher(QStringList{"keygen"} + arguments);
    QCOMPARE(result.exitCode, exitCode);
    QVERIFY2(QString::fromUtf8(result.err).contains(message), result.err.constData());
    QCOMPARE(snapshot(keys.path()), before);
}

void PublishTest::releaseWritesTheSite()
{
    TempFolder site;
    makeSite(site);
    const platform::CodePage codePage("GBK");

    // The manifest: name order, GBK, CRLF after every line, each line split
    // by the updater's own code into the stored path and the local name.
    const QByteArray manifest = site.read(manifestPath);
    QVERIFY(manifest.endsWith("\r\n"));
    QVERIFY(!manifest.endsWith("\r\n\r\n"));
    QList<QByteArray> lines = manifest.split('\n');
    lines.removeLast();
    const QList<QPair<QString, QByteArray>> expected{
        {QStringLiteral("a.dll"), patternBytes(1000, 2)},
        {QStringLiteral("filename.ini"), QByteArray("[name]\r\n")},
        {QStringLiteral("客户端.exe"), patternBytes(300000, 1)},
        {QStringLiteral("说明 文档.txt"), QByteArray("version 1")},
    };
    QCOMPARE(lines.size(), expected.size());
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QVERIFY(lines[i].endsWith('\r'));
        const ManifestEntry entry = splitManifestLine(codePage.decode(lines[i].chopped(1)));
        QCOMPARE(entry.sFileName, expected[i].first);
        QCOMPARE(entry.sRemotePath, storedPath(expected[i].second));
        QCOMPARE(site.read(entry.sRemotePath), expected[i].second);
    }
    QVERIFY(manifest.contains(gbk(QStringLiteral(" name 客户端.exe\r\n"))));
    QCOMPARE(site.read(stampPath), QByteArray("1\r\n"));

    // The index lists the stamp, the manifest and each stored file; the
    // minisign program verifies its signature, which carries the version.
    const QByteArray index = site.read(indexPath);
    QVERIFY(index.contains(sha256Hex(manifest).toLatin1() + "  " + manifestPath.toLatin1() + '\n'));
    QVERIFY(index.contains(sha256Hex("1\r\n").toLatin1() + "  " + stampPath.toLatin1() + '\n'));
    for (const auto &file : expected)
        QVERIFY(index.contains(sha256Hex(file.second).toLatin1() + "  " + storedPath(file.second).toLatin1() + '\n'));
    const Result verified = runProcess(QStringLiteral("minisign"),
                                       {"-V", "-p", m_publicKey, "-m", site.path(indexPath), "-x", site.path(signaturePath)});
    QVERIFY2(verified.exitCode == 0, verified.out + verified.err);
    QVERIFY(verified.out.contains("\tversion:1"));
    QProcess sum;
    sum.setWorkingDirectory(site.path());
    sum.start(QStringLiteral("sha256sum"), {"--strict", "--quiet", "-c", indexPath});
    QVERIFY(sum.waitForFinished());
    QCOMPARE(sum.exitCode(), 0);
    QVERIFY(verified.out.contains("timestamp:"));
    // Nothing else: no leftovers beside the targets, no lock.
    const QStringList all = snapshot(site.path()).keys();
    QCOMPARE(all.filter(QStringLiteral("publishing")), QStringList());
    QCOMPARE(all.filter(QStringLiteral("lock")), QStringList());
}

void PublishTest::secondReleaseStoresOnlyTheChangedFile()
{
    TempFolder site;
    makeSite(site);
    // What a publication killed half-way left beside a target goes.
    site.write(QStringLiteral("KVTA/ZE/.LoadUpdate.inf.publishing-99999"), "half");
    const auto before = snapshot(site.path());
    TempFolder from;
    writeRelease(from, "version 2, changed");
    const Result result = publisher({"release", "--from", from.path(), "--site", site.path(), "--version", "2",
                                     "--secret-key", m_secretKey});
    QCOMPARE(result.exitCode, 0);
    QVERIFY2(result.out.contains("4 files") && result.out.contains(", 18 bytes stored anew"), result.out.constData());

    const auto after = snapshot(site.path());
    QStringList added;
    for (const QString &path : after.keys()) {
        if (!before.contains(path))
            added << path;
    }
    QVERIFY(!after.contains(QStringLiteral("KVTA/ZE/.LoadUpdate.inf.publishing-99999")));
    // The changed file's new copy (and its folder) and the new release's
    // own folder; the old copies stay for clients that are still
    // downloading the first release.
    const QString stored = storedPath("version 2, changed");
    const QString folder = stored.section(QLatin1Char('/'), 0, -2);
    QStringList expectedAdded = before.contains(folder) ? QStringList{stored} : QStringList{folder, stored};
    const QByteArray indexDigest = sha256Hex(site.read(indexPath)).toLatin1();
    expectedAdded << QString(sitelayout::releasesFolder) + QLatin1Char('/') + QString::fromLatin1(indexDigest);
    const auto copy = [&](QLatin1StringView fixed) {
        return QString::fromLatin1(sitelayout::releaseCopy(indexDigest, fixed));
    };
    expectedAdded << copy(sitelayout::indexPath) << copy(sitelayout::manifestPath) << copy(sitelayout::stampPath)
                  << copy(sitelayout::treePath);
    expectedAdded.sort();
    added.sort();
    QCOMPARE(added, expectedAdded);
    QCOMPARE(site.read(copy(sitelayout::indexPath)), site.read(indexPath));
    QCOMPARE(site.read(copy(sitelayout::stampPath)), QByteArray("2\r\n"));
    QCOMPARE(site.read(copy(sitelayout::manifestPath)), site.read(manifestPath));
    QCOMPARE(after.value(storedPath("version 1")), QByteArray("version 1"));
    QCOMPARE(site.read(stampPath), QByteArray("2\r\n"));
    QVERIFY(site.read(manifestPath).contains(stored.toLatin1() + " name "));
}

void PublishTest::signedTimeNeverGoesBack_data()
{
    QTest::addColumn<qint64>("ahead"); // how far ahead of now the site's release was signed
    QTest::newRow("an hour ahead: a second after it") << qint64(3600);
    QTest::newRow("in the same second: a second after it") << qint64(0);
    QTest::newRow("years ahead, which clients refuse: now") << qint64(100) * 365 * 86400;
}

void PublishTest::signedTimeNeverGoesBack()
{
    // Clients refuse a release signed earlier than the one they have and take
    // an equal time for the same release: the next one is signed after it,
    // even with a clock behind, unless it is more than a day ahead, which
    // clients refuse anyway.
    QFETCH(qint64, ahead);
    TempFolder site, from;
    makeSite(site);
    const release::SecretKey key = release::SecretKey::fromFile(m_secretKey, {});
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    const QByteArray comment = "timestamp:" + QByteArray::number(before + ahead) + "\tversion:1";
    site.write(signaturePath, key.sign(site.read(indexPath), comment).toText());
    writeRelease(from, "version 2");
    const Result result = publisher({"release", "--from", from.path(), "--site", site.path(), "--version", "2",
                                     "--secret-key", m_secretKey});
    QVERIFY2(result.exitCode == 0, result.err.constData());
    const release::Signature signature = release::Signature::parse(site.read(signaturePath), "sig");
    key.publicKey().verify(site.read(indexPath), signature, "sig");
    const qint64 signedAt = signature.timestamp("sig");
    if (ahead < 86400)
        QVERIFY(signedAt > before + ahead && signedAt <= std::max(before + ahead + 1, QDateTime::currentSecsSinceEpoch()));
    else
        QVERIFY(signedAt <= QDateTime::currentSecsSinceEpoch());
    QCOMPARE(signature.trustedComment(), "timestamp:" + QByteArray::number(signedAt) + "\tversion:2\tindex:"
                                             + sha256Hex(site.read(indexPath)).toLatin1());
}

void PublishTest::releaseSignsWithMinisignKeys_data()
{
    QTest::addColumn<bool>("encrypted");
    QTest::newRow("minisign -G -W") << false;
    QTest::newRow("minisign -G, with a password") << true;
}

void PublishTest::releaseSignsWithMinisignKeys()
{
    QFETCH(bool, encrypted);
    TempFolder keys;
    QStringList generate{"-G", "-p", keys.path("m.pub"), "-s", keys.path("m.key")};
    if (!encrypted)
        generate << "-W";
    QCOMPARE(runProcess(QStringLiteral("minisign"), generate, "s3cret\ns3cret\n").exitCode, 0);

    TempFolder site, from;
    writeRelease(from);
    QStringList release{"release", "--from", from.path(), "--site", site.path(), "--version", "3.5",
                        "--secret-key", keys.path("m.key")};
    if (encrypted)
        release << "--password-file" << m_password;
    const Result result = publisher(release);
    QVERIFY2(result.exitCode == 0, result.err.constData());
    const Result verified = runProcess(QStringLiteral("minisign"),
                                       {"-V", "-p", keys.path("m.pub"), "-m", site.path(indexPath), "-x", site.path(signaturePath)});
    QVERIFY2(verified.exitCode == 0, verified.out + verified.err);
}

void PublishTest::releaseRefusals_data()
{
    QTest::addColumn<QString>("name");       // a file to add to the release folder
    QTest::addColumn<qint64>("size");        // its size, or what it is instead (Entry)
    QTest::addColumn<QStringList>("options"); // instead of the default ones, where given
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    const QStringList none;
    // Only a signed release carries empty folders, in its tree.
    QTest::newRow("empty subfolder") << "bin" << qint64(Folder) << QStringList{"--secret-key", ""} << 1
                                     << "bin: an empty folder";
    QTest::newRow("link to a private file") << "key.txt" << qint64(Link) << none << 1 << "key.txt: a symbolic link";
    QTest::newRow("link in a subfolder") << "bin/key.txt" << qint64(Link) << none << 1
                                         << "bin/key.txt: a symbolic link";
    QTest::newRow("FIFO in a subfolder") << QStringLiteral("资源/pipe") << qint64(Fifo) << none << 1
                                         << QStringLiteral("资源/pipe: a FIFO");
    QTest::newRow("the working folder with files") << "Update/a.txt" << qint64(10) << none << 1
                                                   << "updater's own file Update";
    QTest::newRow("a staging name in a subfolder") << "bin/.a.updating-old" << qint64(10) << none << 1
                                                   << "the updater would refuse this name";
    QTest::newRow("FIFO") << "pipe" << qint64(Fifo) << none << 1 << "pipe: a FIFO";
    QTest::newRow("name outside the code page") << QStringLiteral("😀.txt") << qint64(10) << none << 1
                                                << "cannot be written in the code page GBK";
    QTest::newRow("control character") << "a\tb.txt" << qint64(10) << none << 1 << "control character";
    QTest::newRow("backslash") << "a\\b.txt" << qint64(10) << none << 1 << "backslash";
    QTest::newRow("the local stamp") << "Update.inf" << qint64(10) << none << 1 << "updater's own file Update.inf";
    QTest::newRow("the manifest copy") << "loadupdate.inf" << qint64(10) << none << 1
                                       << "updater's own file LoadUpdate.inf";
    QTest::newRow("the kept signature") << "LoadUpdate.sha256.minisig" << qint64(10) << none << 1
                                        << "updater's own file LoadUpdate.sha256.minisig";
    QTest::newRow("the working folder's name") << "Update" << qint64(10) << none << 1 << "updater's own file Update";
    QTest::newRow("a name the updater stages under") << ".a.dll.updating" << qint64(10) << none << 1
                                                     << ".a.dll.updating: the updater would refuse this name";
    QTest::newRow("2 GiB") << "huge.bin" << (qint64(1) << 31) << none << 1 << "huge.bin: 2 GiB or larger";
    const QString planted = QStringLiteral(": a symbolic link inside the site");
    const QString newFolder = storedPath("version 2").section(QLatin1Char('/'), 0, -2);
    QTest::newRow("site folder a link elsewhere") << "" << qint64(0) << QStringList{"SITELINK", newFolder} << 1
                                                  << newFolder + planted;
    QTest::newRow("stored file a link elsewhere") << "" << qint64(0)
                                                  << QStringList{"SITELINK", storedPath(patternBytes(1000, 2))} << 1
                                                  << storedPath(patternBytes(1000, 2)) + planted;
    QTest::newRow("stamp over 64 KiB") << "" << qint64(0) << QStringList{"--version", "2." + QString(70000, '0') + "1"}
                                       << 1 << "UpdateNote.xml: 70005 bytes; every client refuses more than 65536";
    QTest::newRow("manifest over 8 MiB") << "" << qint64(0) << QStringList{"LONGNAMES", "25000"} << 1
                                         << "LoadUpdate.inf: 8425412 bytes; every client refuses more than 8388608";
    QTest::newRow("same version") << "" << qint64(0) << QStringList{"--version", "1.0"} << 1
                                  << "--version 1.0: the site's stamp 1 has the same value";
    QTest::newRow("version not a number") << "" << qint64(0) << QStringList{"--version", "v2"} << 1
                                          << "must be a decimal number";
    QTest::newRow("version with two points") << "" << qint64(0) << QStringList{"--version", "1.2.3"} << 1
                                             << "must be a decimal number";
    QTest::newRow("version 0") << "" << qint64(0) << QStringList{"--version", "0.0"} << 1 << "must not be 0";
    QTest::newRow("unsigned over a signed release") << "" << qint64(0) << QStringList{"--secret-key", ""} << 1
                                                    << "the site serves a signed release";
    QTest::newRow("secret key missing") << "" << qint64(0) << QStringList{"--secret-key", "/nonexistent.key"} << 1
                                        << "/nonexistent.key: file not found";
    QTest::newRow("encrypted key, no password") << "" << qint64(0) << QStringList{"--secret-key", "ENCRYPTED"} << 1
                                                << "the secret key is encrypted";
    QTest::newRow("wrong password") << "" << qint64(0)
                                    << QStringList{"--secret-key", "ENCRYPTED", "--password-file", "WRONG"} << 1
                                    << "wrong password";
    QTest::newRow("release folder missing") << "" << qint64(0) << QStringList{"--from", "/nonexistent"} << 1
                                            << "/nonexistent: release folder not found";
    QTest::newRow("release folder empty") << "" << qint64(0) << QStringList{"--from", "EMPTY"} << 1
                                          << "no files to publish";
    QTest::newRow("site missing") << "" << qint64(0) << QStringList{"--site", "/nonexistent"} << 1
                                  << "/nonexistent: site root not found";
    QTest::newRow("another publication running") << "" << qint64(0) << QStringList{"LOCKED"} << 1
                                                 << "another updater-publish is publishing";
    QTest::newRow("full disk") << "big.bin" << qint64(3 << 20) << QStringList{"FULL", "1048576"} << 1
                               << QStringLiteral("/KVTA/ZE/files/%1: File too large").arg(storedPath(patternBytes(3 << 20)).mid(14));
    QTest::newRow("disk full (a small file system)") << "big.bin" << qint64(3 << 20) << QStringList{"SMALLDISK", ""}
                                                     << 1 << "disk full";
    QTest::newRow("full disk at the index, after 60 new files")
        << "" << qint64(0) << QStringList{"MANY", "", "FULL", "4096"} << 1
        << "/LoadUpdate.sha256: File too large"; // its copy in the release's folder, written first
    QTest::newRow("no version") << "" << qint64(0) << QStringList{"--version", ""} << 2 << "are required";
    QTest::newRow("password without key") << "" << qint64(0) << QStringList{"--secret-key", "", "--password-file", "WRONG"} << 2
                                          << "--password-file needs --secret-key";
}

void PublishTest::releaseRefusals()
{
    QFETCH(QString, name);
    QFETCH(qint64, size);
    QFETCH(QStringList, options);
    QFETCH(int, exitCode);
    QFETCH(QString, message);

    TempFolder site, from, empty, other;
    std::optional<SmallDisk> disk;
    if (options.contains(QStringLiteral("SMALLDISK"))) {
        disk.emplace(site.path(), 1 << 20);
        if (!disk->isMounted())
            QSKIP("cannot mount a small file system here");
    }
    makeSite(site);
    writeRelease(from, "version 2");
    const QByteArray native = QFile::encodeName(from.path(name));
    QDir().mkpath(QFileInfo(from.path(name)).path());
    if (size == Folder) {
        QDir().mkpath(from.path(name));
    } else if (size == Link) {
        QVERIFY(QFile::link(other.write(QStringLiteral("private"), "secret"), from.path(name)));
    } else if (size == Fifo) {
        QCOMPARE(::mkfifo(native.constData(), 0644), 0);
    } else if (!name.isEmpty()) {
        QFile file(from.path(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        if (size > (1 << 24))
            QVERIFY(file.resize(size)); // sparse: no disk space used
        else
            file.write(patternBytes(size));
    }
    other.write(QStringLiteral("wrong"), "not the password\n");

    QMap<QString, QString> values{{"--from", from.path()}, {"--site", site.path()}, {"--version", "2"},
                                  {"--secret-key", m_secretKey}};
    std::function<void()> childSetup;
    std::unique_ptr<QLockFile> lock;
    for (qsizetype i = 0; i < options.size(); ++i) {
        if (options[i] == QLatin1String("LOCKED")) {
            lock = std::make_unique<QLockFile>(site.path(QStringLiteral(".updater-publish.lock")));
            QVERIFY(lock->tryLock(0));
        } else if (options[i] == QLatin1String("FULL")) {
            // A disk that is full after so many bytes: writes beyond fail (EFBIG).
            const rlim_t size = options[++i].toULongLong();
            childSetup = [size] {
                std::signal(SIGXFSZ, SIG_IGN);
                const rlimit limit{size, size};
                setrlimit(RLIMIT_FSIZE, &limit);
            };
        } else if (options[i] == QLatin1String("SMALLDISK")) {
            ++i; // mounted above, before the first release
        } else if (options[i] == QLatin1String("SITELINK")) {
            // Planted in the site: a link in place of a folder or a stored file.
            const QString at = site.path(options[++i]);
            const QString elsewhere = other.path(QStringLiteral("elsewhere"));
            QVERIFY(QFileInfo(at).isFile() ? QFile::rename(at, elsewhere) : QDir().mkpath(elsewhere));
            QDir(at).removeRecursively();
            QVERIFY(QFile::link(elsewhere, at));
        } else if (options[i] == QLatin1String("LONGNAMES")) {
            for (int n = options[++i].toInt(); n > 0; --n)
                from.write(QStringLiteral("%1.dat").arg(n, 240, 10, QLatin1Char('0')), "x");
        } else if (options[i] == QLatin1String("MANY")) {
            ++i;
            for (int n = 0; n < 60; ++n)
                from.write(QStringLiteral("part%1.dat").arg(n), patternBytes(200, 100 + n));
        } else {
            QString value = options[++i];
            value.replace(QLatin1String("ENCRYPTED"), m_encryptedKey)
                .replace(QLatin1String("WRONG"), other.path(QStringLiteral("wrong")))
                .replace(QLatin1String("EMPTY"), empty.path());
            values[options[i - 1]] = value;
        }
    }
    QStringList arguments{"release"};
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        if (!it.value().isEmpty())
            arguments << it.key() << it.value();
    }

    const auto before = snapshot(site.path());
    const auto outside = snapshot(other.path());
    const Result result = publisher(arguments, childSetup);
    QCOMPARE(result.exitCode, exitCode);
    const QString error = QString::fromUtf8(result.err);
    QVERIFY2(error.contains(message), qPrintable(error));
    if (exitCode == 1)
        QVERIFY2(error.count(QLatin1String("updater-publish: ")) == 1, qPrintable(error));
    QCOMPARE(snapshot(site.path()), before);
    QCOMPARE(snapshot(other.path()), outside);
}

void PublishTest::releaseTree_data()
{
    QTest::addColumn<QStringList>("entries"); // in --from: "f MODE PATH", "d PATH", "l PATH -> TARGET"
    QTest::addColumn<bool>("signing");
    QTest::addColumn<QString>("refusal");    // release's message; empty: published
    QTest::addColumn<QByteArray>("replaced"); // in the tree, then signed by hand ("FLIP": a byte of its copy)
    QTest::addColumn<QByteArray>("by");
    QTest::addColumn<QString>("checked"); // check's first problem, or its verdict's tree
    const QStringList client{"f 755 bin/app", "f 755 bin/run.sh", "f 644 lib/libcore.so.1", "f 644 empty.txt",
                             "l lib/libcore.so -> libcore.so.1", "l bin/libcore.so -> ../lib/libcore.so",
                             "d locale/zh_CN", QStringLiteral("f 600 资源/图标.png")};
    const QString whole = QStringLiteral("whole tree: 5 folders, 2 links, 2 executable files");
    const QByteArray none;
    const auto refused = [&](const char *row, const QStringList &entries, const QString &refusal, bool signing = true) {
        QTest::newRow(row) << QStringList{"f 644 a"} + entries << signing << refusal << none << none << QString();
    };
    QTest::newRow("client tree") << client << true << QString() << none << none << whole;
    QTest::newRow("link to a folder inside") << QStringList{"f 644 lib/a", "l lib64 -> lib"} << true << QString()
                                             << none << none << "whole tree: 1 folders, 1 links, 0 executable files";
    QTest::newRow("unsigned: files alone") << QStringList{"f 755 bin/b"} << false << QString() << none << none
                                           << "unsigned";
    refused("unsigned: a link", {"l b -> a"}, "b: a symbolic link", false);
    refused("unsigned: an empty folder", {"d e"}, "e: an empty folder", false);
    refused("link leaving", {"l x/up -> ../../a"}, "x/up: a symbolic link to ../../a, which is absolute, leaves");
    refused("link to nothing", {"l b -> c"}, "b: a symbolic link to c, where there is nothing");
    refused("link named as the kept tree", {"l LoadUpdate.tree -> a"}, "the updater's own file LoadUpdate.tree");
    refused("setuid", {"f 4755 b"}, "b: a setuid, setgid or sticky bit");
    QTest::newRow("tree copy tampered") << client << true << QString() << QByteArray("FLIP") << none
                                        << "COPY: SHA-256 differs from the release index";
    QTest::newRow("hand-signed: a file missing") << client << true << QString() << QByteArray("f 755 bin/app\n")
                                                 << none << treePath + ": its files are not the manifest's local "
                                                                       "names: bin/app is in one";
    QTest::newRow("hand-signed: a link leaving") << client << true << QString() << QByteArray("\nf 755 bin/r")
                                                 << QByteArray("\nl 777 up -> ../x\nf 755 bin/r") << treePath + ":4: malformed";
}

void PublishTest::releaseTree()
{
    QFETCH(QStringList, entries);
    QFETCH(bool, signing);
    QFETCH(QString, refusal);
    QFETCH(QByteArray, replaced);
    QFETCH(QByteArray, by);
    QFETCH(QString, checked);
    TempFolder from, site;
    for (const QString &entry : entries) {
        const QString path = from.path(entry.section(QLatin1Char(' '), entry[0] == QLatin1Char('f') ? 2 : 1)
                                           .section(QStringLiteral(" -> "), 0, 0));
        const QByteArray native = QFile::encodeName(path);
        QDir().mkpath(entry[0] == QLatin1Char('d') ? path : QFileInfo(path).path());
        if (entry[0] == QLatin1Char('f'))
            QCOMPARE(::chmod(QFile::encodeName(TempFolder::writeFile(path, path.toUtf8())),
                             entry.section(QLatin1Char(' '), 1, 1).toUInt(nullptr, 8)), 0);
        else if (entry[0] == QLatin1Char('l'))
            QCOMPARE(::symlink(entry.section(QStringLiteral(" -> "), 1).toUtf8().constData(), native.constData()), 0);
    }
    QStringList release{"release", "--from", from.path(), "--site", site.path(), "--version", "1"};
    if (signing)
        release << "--secret-key" << m_secretKey;
    const Result published = publisher(release);
    if (!refusal.isEmpty()) {
        QCOMPARE(published.exitCode, 1);
        QVERIFY2(QString::fromUtf8(published.err).contains(refusal), published.err.constData());
        QCOMPARE(snapshot(site.path()), (QMap<QString, QByteArray>()));
        return;
    }
    QVERIFY2(published.exitCode == 0, published.err.constData());
    const QByteArray tree = site.read(treePath);
    QCOMPARE(QFileInfo::exists(site.path(treePath)), signing);
    TestServer server;
    serveSite(server, site.path());
    QStringList check{"check", server.url()};
    if (signing) {
        // What the by-hand recipe writes, in the release's folder too.
        const Result found = runProcess(QStringLiteral("sh"), {"-c", "cd \"$0\" && { find . -mindepth 1 ! -type l -printf "
                                        "'%y %m %P\\n'; find . -mindepth 1 -type l -printf '%y %m %P -> %l\\n'; }", from.path()});
        QCOMPARE(tree, release::ReleaseTree::parse(found.out, QStringLiteral("find")).toText());
        const QByteArray index = site.read(indexPath);
        const QString copy = QString::fromLatin1(sitelayout::releaseCopy(sha256Hex(index).toLatin1(), sitelayout::treePath));
        QCOMPARE(site.read(copy), tree);
        check << "--public-key" << m_publicKey;
        checked.replace(QStringLiteral("COPY"), copy);
        if (replaced == "FLIP") {
            server.setFile('/' + copy.toLatin1(), QByteArray(tree).replace("bin/app", "bin/aqp"));
        } else if (!replaced.isEmpty()) {
            const QByteArray edited = QByteArray(tree).replace(replaced, by);
            const QByteArray reindexed = QByteArray(index).replace(sha256Hex(tree).toLatin1(), sha256Hex(edited).toLatin1());
            const QByteArray comment = "timestamp:" + QByteArray::number(QDateTime::currentSecsSinceEpoch());
            server.setFile('/' + treePath.toLatin1(), edited);
            server.setFile('/' + indexPath.toLatin1(), reindexed);
            server.setFile('/' + signaturePath.toLatin1(),
                           release::SecretKey::fromFile(m_secretKey, {}).sign(reindexed, comment).toText());
        }
    }
    const Result result = publisher(check);
    const QStringList lines = QString::fromUtf8(result.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(result.exitCode, int(!replaced.isEmpty()));
    QVERIFY2(replaced.isEmpty() ? lines.last().contains(checked) : lines.first().startsWith(checked),
             result.out.constData());
}

void PublishTest::checkNamesEachFault_data()
{
    using Mode = TestServer::Route::Mode;
    QTest::addColumn<Faults>("faults");
    QTest::addColumn<bool>("withKey");
    QTest::addColumn<QStringList>("expected"); // one problem line each; empty: the site passes

    const QByteArray manifest = m_site.read(manifestPath);
    const QByteArray big = '/' + storedPath(patternBytes(300000, 1)).toLatin1();
    const QByteArray bigBody = patternBytes(300000, 1);
    const QByteArray signature = m_site.read(signaturePath);
    const QByteArray manifestTarget = '/' + manifestPath.toLatin1();
    const QByteArray signatureTarget = '/' + signaturePath.toLatin1();
    const QByteArray stampTarget = '/' + stampPath.toLatin1();
    QByteArray tampered = bigBody;
    tampered[1000] = char(tampered[1000] ^ 1);
    const QByteArray bigName = big.mid(1);
    const release::SecretKey otherKey = release::SecretKey::generate();
    const release::SecretKey ourKey = release::SecretKey::fromFile(m_secretKey, {});
    QList<QByteArray> signatureLines = signature.split('\n');
    signatureLines[2] = "trusted comment: timestamp:9999999999\tversion:1";

    QTest::newRow("good site, signed") << Faults{} << true << QStringList{};
    QTest::newRow("good site, unsigned check") << Faults{} << false << QStringList{};
    QTest::newRow("file missing") << Faults{{big, {}, Mode::Normal, 404}} << true
                                  << QStringList{bigName + ": HTTP status 404"};
    QTest::newRow("file cut short") << Faults{{big, bigBody, Mode::CutShort, 200, {}, 1000}} << true
                                    << QStringList{bigName + ": body shorter than announced (1000 of 300000 bytes)"};
    QTest::newRow("body longer than announced") << Faults{{big, bigBody, Mode::Normal, 200, "299000"}} << false
                                                << QStringList{bigName + ": body longer than announced (300000 "
                                                                         "bytes, 299000 announced)"};
    QTest::newRow("endless body after its length") << Faults{{big, bigBody, Mode::Endless, 200, "1000"}} << false
                                                   << QStringList{bigName + ": body longer than announced (more than "
                                                                            "1049576 bytes, 1000 announced)"};
    QTest::newRow("no Content-Length") << Faults{{big, bigBody, Mode::Chunked}} << false
                                       << QStringList{bigName + ": no Content-Length (chunked transfer); the updater "
                                                                "needs the size"};
    QTest::newRow("tampered file") << Faults{{big, tampered}} << true
                                   << QStringList{bigName + ": SHA-256 differs from the release index"};
    QTest::newRow("empty manifest") << Faults{{manifestTarget, ""}} << false
                                    << QStringList{"KVTA/ZE/LoadUpdate.inf: empty; the updater refuses an empty "
                                                   "manifest"};
    QTest::newRow("blank line") << Faults{{manifestTarget, manifest + "\r\n"}} << false
                                << QStringList{"KVTA/ZE/LoadUpdate.inf line 5: blank line; the updater stops the "
                                               "update there"};
    QTest::newRow("LF-only line ends") << Faults{{manifestTarget, QByteArray(manifest).replace("\r\n", "\n")}} << false
                                       << QStringList{"KVTA/ZE/LoadUpdate.inf: LF-only line ends; the updater ends "
                                                      "lines at CR or CRLF only, so it reads the lines as one",
                                                      "KVTA/ZE/LoadUpdate.inf line 1: the updater refuses the local "
                                                      "name 'a.dll\\n0002KVTA/ZE/files/"};
    QTest::newRow("no name") << Faults{{manifestTarget, manifest + "0004KVTA/ZE/files/x NAME y.dll\r\n"}} << false
                             << QStringList{"KVTA/ZE/LoadUpdate.inf line 5: the updater refuses this line: no 'name' after four "
                                            "characters of lead"};
    QTest::newRow("name inside the remote path")
        << Faults{{manifestTarget, manifest + "0004dl/rename.dll name rename.dll\r\n"}} << false
        << QStringList{"KVTA/ZE/LoadUpdate.inf line 5: the updater splits at the first 'name' and reads remote path "
                       "'dl/r' and local name 'dll name rename.dll' ('name' inside the remote path?)"};
    QTest::newRow("the updater's own file") << Faults{{manifestTarget, manifest + "0005" + bigName + " name Update.inf\r\n"}}
                                            << false
                                            << QStringList{"KVTA/ZE/LoadUpdate.inf line 5: the updater refuses the "
                                                           "local name 'Update.inf': it is the updater's own file "
                                                           "Update.inf"};
    QTest::newRow("bytes outside the code page")
        << Faults{{manifestTarget, manifest + "0004KVTA/ZE/x name \xff\xff.dll\r\n"}} << false
        << QStringList{"KVTA/ZE/LoadUpdate.inf line 5: bytes that the code page GBK cannot decode"};
    QTest::newRow("path missing from the index")
        << Faults{{manifestTarget, manifest + "0004KVTA/ZE/extra.dll name extra.dll\r\n"},
                  {"/KVTA/ZE/extra.dll", "extra"}}
        << true
        << QStringList{"KVTA/ZE/LoadUpdate.inf: SHA-256 differs from the release index",
                       "KVTA/ZE/extra.dll: path missing from the release index"};
    QTest::newRow("index over 16 MiB") << Faults{{'/' + indexPath.toLatin1(), QByteArray(17 << 20, 'a')}} << true
                                       << QStringList{"KVTA/ZE/LoadUpdate.sha256: larger than a client accepts"};
    QTest::newRow("stamp over 64 KiB") << Faults{{stampTarget, QByteArray(70000, '1')}} << false
                                       << QStringList{"KVTA/ZE/UpdateNote.xml: larger than a client accepts"};
    QTest::newRow("signed over a day ahead")
        << Faults{{signatureTarget, ourKey.sign(m_site.read(indexPath), "timestamp:4000000000").toText()}} << true
        << QStringList{"KVTA/ZE/LoadUpdate.sha256.minisig: signed more than one day ahead"};
    QTest::newRow("signature missing") << Faults{{signatureTarget, {}, Mode::Normal, 404}} << true
                                       << QStringList{"KVTA/ZE/LoadUpdate.sha256.minisig: HTTP status 404"};
    QTest::newRow("signature by another key")
        << Faults{{signatureTarget, otherKey.sign(m_site.read(indexPath), "timestamp:1").toText()}} << true
        << QStringList{"KVTA/ZE/LoadUpdate.sha256.minisig: signed by another key (key id differs)"};
    QTest::newRow("edited trusted comment") << Faults{{signatureTarget, signatureLines.join('\n')}} << true
                                            << QStringList{"KVTA/ZE/LoadUpdate.sha256.minisig: trusted comment "
                                                           "signature does not verify"};
    QTest::newRow("stamp without a number") << Faults{{stampTarget, "<html>1</html>"}} << false
                                            << QStringList{"KVTA/ZE/UpdateNote.xml: the stamp has no number (it "
                                                           "reads as 0)"};
    QTest::newRow("stamp differs from the index") << Faults{{stampTarget, "7\r\n"}} << true
                                                  << QStringList{"KVTA/ZE/UpdateNote.xml: SHA-256 differs from the "
                                                                 "release index"};
    const QByteArray indexDigest = sha256Hex(m_site.read(indexPath)).toLatin1();
    const QByteArray manifestCopy = sitelayout::releaseCopy(indexDigest, sitelayout::manifestPath);
    const QByteArray stampCopy = sitelayout::releaseCopy(indexDigest, sitelayout::stampPath);
    QTest::newRow("release folder lacks its manifest") << Faults{{'/' + manifestCopy, {}, Mode::Normal, 404}} << true
                                                       << QStringList{manifestCopy + ": HTTP status 404"};
    QTest::newRow("release folder's stamp changed") << Faults{{'/' + stampCopy, "7\r\n"}} << true
                                                    << QStringList{stampCopy + ": SHA-256 differs from the release "
                                                                               "index"};
    QTest::newRow("endless manifest") << Faults{{manifestTarget, {}, Mode::Endless}} << false
                                      << QStringList{"KVTA/ZE/LoadUpdate.inf: larger than 8 MiB, the most the "
                                                     "updater reads"};
    QTest::newRow("endless stamp") << Faults{{stampTarget, {}, Mode::Endless}} << false
                                   << QStringList{"KVTA/ZE/UpdateNote.xml: larger than a client accepts"};
    QTest::newRow("two faults at once") << Faults{{big, {}, Mode::Normal, 404}, {manifestTarget, manifest + "\r\n"}}
                                        << false
                                        << QStringList{"KVTA/ZE/LoadUpdate.inf line 5: blank line; the updater stops "
                                                       "the update there",
                                                       bigName + ": HTTP status 404"};
}

void PublishTest::checkNamesEachFault()
{
    QFETCH(Faults, faults);
    QFETCH(bool, withKey);
    QFETCH(QStringList, expected);
    TestServer server;
    serveSite(server, m_site.path());
    for (const Fault &fault : faults) {
        TestServer::Route route;
        route.body = fault.body;
        route.mode = fault.mode;
        route.status = fault.status;
        route.contentLength = fault.contentLength;
        route.sendBytes = fault.sendBytes;
        server.setRoute(fault.target, route);
    }
    QStringList arguments{"check", server.url()};
    if (withKey)
        arguments << "--public-key" << m_publicKey;
    verifyCheck(publisher(arguments), expected);
}

void PublishTest::checkFollowsRedirects_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("fileMissing"); // the real site lacks the large file
    QTest::addColumn<QStringList>("expected");
    const QString bigName = storedPath(patternBytes(300000, 1));
    QTest::newRow("302 to the real site") << 302 << false << QStringList{};
    QTest::newRow("307 to the real site") << 307 << false << QStringList{};
    QTest::newRow("302 to a file the real site lacks") << 302 << true << QStringList{bigName + ": HTTP status 404"};
}

void PublishTest::checkFollowsRedirects()
{
    // The base URL's host sends every request on to another host, as a site
    // in front of a CDN does: check follows as a client does.
    QFETCH(int, status);
    QFETCH(bool, fileMissing);
    QFETCH(QStringList, expected);
    TestServer site, front;
    serveSite(site, m_site.path());
    redirectSite(front, status, site, m_site.path());
    if (fileMissing)
        site.removeRoute('/' + storedPath(patternBytes(300000, 1)).toLatin1());
    verifyCheck(publisher({"check", front.url(), "--public-key", m_publicKey}), expected);
}

void PublishTest::checkRefusesAnUntrustedCertificate()
{
    // An HTTPS server on 127.0.0.1 with a self-signed certificate: the check
    // verifies certificates as a client does and names the refusal.
    TempFolder tls;
    const Result made = runProcess(
        QStringLiteral("openssl"),
        {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "1", "-subj",
         "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", tls.path("key.pem"), "-out",
         tls.path("cert.pem")});
    QVERIFY2(made.exitCode == 0, made.err.constData());
    const quint16 port = unusedPort();
    QProcess server;
    server.start(QStringLiteral("openssl"), {"s_server", "-quiet", "-www", "-accept", QStringLiteral("127.0.0.1:%1").arg(port),
                                             "-cert", tls.path("cert.pem"), "-key", tls.path("key.pem")});
    QVERIFY(server.waitForStarted());
    QTcpSocket probe;
    for (int i = 0; i < 100; ++i) {
        probe.connectToHost(QHostAddress::LocalHost, port);
        if (probe.waitForConnected(100))
            break;
        QTest::qWait(50);
    }
    probe.abort();

    const Result result = publisher({"check", QStringLiteral("https://127.0.0.1:%1/").arg(port)});
    server.kill();
    server.waitForFinished();
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.out.startsWith("KVTA/ZE/UpdateNote.xml: TLS connection failed: ")
                 && result.out.contains("FAILED: "),
             result.out.constData());
}

void PublishTest::updaterInstallsThePublishedRelease_data()
{
    QTest::addColumn<bool>("signedMode");
    QTest::newRow("unsigned mode") << false;
    QTest::newRow("signed mode, with the key keygen made") << true;
}

void PublishTest::updaterInstallsThePublishedRelease()
{
    // The real window in its own process updates a client folder from what
    // release wrote, twice: the second release stores only the changed file
    // anew, and the update installs it. In signed mode the window runs with
    // the public key line that keygen printed.
    QFETCH(bool, signedMode);
    TempFolder keys, site;
    QStringList signing{"--secret-key", m_secretKey};
    QStringList driverOptions;
    if (signedMode) {
        signing = QStringList{"--secret-key", keys.path(QStringLiteral("release.key")), "--password-file", m_password};
        const Result made = publisher(QStringList{"keygen", "--public-key", keys.path(QStringLiteral("release.pub"))}
                                      + signing);
        QVERIFY2(made.exitCode == 0, made.err.constData());
        driverOptions << QStringLiteral("--public-key=") + QString::fromLatin1(made.out.trimmed());
    }
    DriverAppFolder client("0.5\r\n");
    TestServer server;
    for (const QByteArray &version : {QByteArray("1"), QByteArray("2")}) {
        TempFolder from;
        writeRelease(from, "version " + version);
        from.write(QStringLiteral("空.log"), "");
        // A tree: the client's subfolders are made as the release has them.
        from.write(QStringLiteral("plugins/a.so"), patternBytes(500, 5));
        from.write(QStringLiteral("locale/zh_CN/b.qm"), "qm");
        from.write(QStringLiteral("资源/图标.png"), "png");
        const auto before = snapshot(site.path());
        const Result published = publisher(QStringList{"release", "--from", from.path(), "--site", site.path(), "--version",
                                            QString::fromLatin1(version)} + signing);
        QVERIFY2(published.exitCode == 0, published.err.constData());
        if (version == "2") {
            const QString stored = storedPath("version 2");
            QStringList added = snapshot(site.path()).keys();
            added.removeIf([&](const QString &path) {
                return before.contains(path) || path == stored.section(QLatin1Char('/'), 0, -2)
                       || path.startsWith(QString(sitelayout::releasesFolder) + QLatin1Char('/'));
            });
            QCOMPARE(added, QStringList{stored});
        }
        serveSite(server, site.path());
        const QStringList withKey{"--public-key", keys.path(QStringLiteral("release.pub"))};
        const Result checked = publisher(QStringList{"check", server.url()} + (signedMode ? withKey : QStringList()));
        QVERIFY2(checked.exitCode == 0, checked.out.constData());

        const DriverEnding ending = driveRun(client.path(), server, driverOptions);
        QCOMPARE(ending.exitCode, 0);
        QVERIFY2(ending.messages.value(0).text.endsWith(QStringLiteral("请重新登录系统！")),
                 qPrintable(ending.messages.value(0).text + ending.errors));
        QCOMPARE(client.read(QStringLiteral("Update.inf")), version + "\r\n");
        QCOMPARE(client.read(QStringLiteral("客户端.exe")), patternBytes(300000, 1));
        QCOMPARE(client.read(QStringLiteral("说明 文档.txt")), "version " + version);
        QCOMPARE(client.read(QStringLiteral("a.dll")), patternBytes(1000, 2));
        QCOMPARE(client.read(QStringLiteral("filename.ini")), QByteArray("[name]\r\n"));
        QVERIFY(client.exists(QStringLiteral("空.log")) && client.read(QStringLiteral("空.log")).isEmpty());
        QCOMPARE(client.read(QStringLiteral("plugins/a.so")), patternBytes(500, 5));
        QCOMPARE(client.read(QStringLiteral("locale/zh_CN/b.qm")), QByteArray("qm"));
        QCOMPARE(client.read(QStringLiteral("资源/图标.png")), QByteArray("png"));
        // Signed mode keeps the accepted index and signature: the site's.
        QCOMPARE(client.exists(QStringLiteral("LoadUpdate.sha256.minisig")), signedMode);
        if (signedMode) {
            QCOMPARE(client.read(QStringLiteral("LoadUpdate.sha256")), site.read(indexPath));
            QCOMPARE(client.read(QStringLiteral("LoadUpdate.sha256.minisig")), site.read(signaturePath));
        }
        QCOMPARE(client.working(), QStringList());
    }
}

void PublishTest::conventions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output"); // a pattern that standard output and error match
    const QStringList release{"release", "--from", "FROM", "--site", "SITE", "--version", "2", "--secret-key", "ENCRYPTED"};
    QTest::newRow("--version") << QStringList{"--version"} << QByteArray() << 0 << "^updater-publish \\d+(\\.\\d+)*\n$";
    QTest::newRow("password on standard input") << release + QStringList{"--password-stdin"} << QByteArray("s3cret\n")
                                                << 0 << "^Published version 2 \\(signed\\)";
    QTest::newRow("wrong password on standard input") << release + QStringList{"--password-stdin"}
                                                      << QByteArray("guess\r\n") << 1 << "wrong password";
    QTest::newRow("empty standard input") << release + QStringList{"--password-stdin"} << QByteArray() << 1
                                          << "standard input: the password's first line is empty";
    QTest::newRow("no terminal, no prompt") << release << QByteArray("s3cret\n") << 1
                                            << "give --password-file or --password-stdin";
    QTest::newRow("file and standard input") << release + QStringList{"--password-stdin", "--password-file", "FROM"}
                                             << QByteArray() << 2 << "not both";
    QTest::newRow("keygen, password on standard input")
        << QStringList{"keygen", "--public-key", "FROM/k.pub", "--secret-key", "FROM/k.key", "--password-stdin"}
        << QByteArray("s3cret\n") << 0 << "secret key encrypted";
    QTest::newRow("base URL without its slash") << QStringList{"check", "URL"} << QByteArray() << 0
                                                << "OK: http://127.0.0.1:\\d+/: ";
    QTest::newRow("base URL that is no http URL") << QStringList{"check", "ftp://127.0.0.1/"} << QByteArray() << 2
                                                  << "BASE_URL must be an http\\(s\\) URL";
}

void PublishTest::conventions()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    TempFolder site, from;
    makeSite(site);
    writeRelease(from, "version 2");
    TestServer server;
    serveSite(server, m_site.path());
    const Result result = runProcess(QStringLiteral(PUBLISHER),
                                     substituted(arguments, {{"FROM", from.path()},
                                                             {"SITE", site.path()},
                                                             {"ENCRYPTED", m_encryptedKey},
                                                             {"URL", server.url().chopped(1)}}),
                                     input);
    const QString printed = QString::fromUtf8(result.out + result.err);
    QCOMPARE(result.exitCode, exitCode);
    QVERIFY2(QRegularExpression(output).match(printed).hasMatch(), qPrintable(printed));
    if (arguments.contains(QStringLiteral("keygen")))
        QVERIFY(release::SecretKey::isEncrypted(from.read(QStringLiteral("k.key")), QStringLiteral("k.key")));
}

void PublishTest::jsonOutcome_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("missing"); // a file the server does not serve
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<QString>("problem"); // the first problem begins so; none: empty
    const QStringList checkSigned{"check", "URL", "--json", "--public-key", "PUB"};
    const QStringList release{"release", "--from", "FROM", "--site", "SITE", "--secret-key", "KEY", "--json", "--version"};
    QTest::newRow("check, signed site") << checkSigned << QByteArray() << 0 << "signature" << QJsonValue("checked")
                                        << "";
    QTest::newRow("check without the key of a signed site")
        << QStringList{"check", "URL", "--json"} << QByteArray() << 0 << "signature" << QJsonValue("not checked") << "";
    QTest::newRow("check, manifest missing") << checkSigned << manifestPath.toLatin1() << 1 << "version"
                                             << QJsonValue("1") << "KVTA/ZE/LoadUpdate.inf: HTTP status 404";
    QTest::newRow("check, signature missing") << checkSigned << signaturePath.toLatin1() << 1 << "signature"
                                              << QJsonValue("not verified")
                                              << "KVTA/ZE/LoadUpdate.sha256.minisig: HTTP status 404";
    QTest::newRow("release") << release + QStringList{"2"} << QByteArray() << 0 << "files" << QJsonValue(4) << "";
    QTest::newRow("release refused") << release + QStringList{"1"} << QByteArray() << 1 << "signed" << QJsonValue(true)
                                     << "--version 1: the site's stamp 1 has the same value";
}

void PublishTest::jsonOutcome()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, missing);
    QFETCH(int, exitCode);
    QFETCH(QString, field);
    QFETCH(QJsonValue, value);
    QFETCH(QString, problem);
    TempFolder site, from;
    makeSite(site);
    writeRelease(from, "version 2");
    TestServer server;
    serveSite(server, m_site.path());
    if (!missing.isEmpty())
        server.removeRoute('/' + missing);
    const Result result = publisher(substituted(arguments, {{"URL", server.url()},
                                                            {"PUB", m_publicKey},
                                                            {"KEY", m_secretKey},
                                                            {"FROM", from.path()},
                                                            {"SITE", site.path()}}));
    QCOMPARE(result.exitCode, exitCode);
    // Standard output holds the one object and nothing else.
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(result.out, &error);
    QVERIFY2(error.error == QJsonParseError::NoError && document.isObject() && result.out.count('\n') == 1,
             result.out.constData());
    const QJsonObject outcome = document.object();
    QCOMPARE(outcome.value(QStringLiteral("verdict")).toString(), exitCode == 0 ? "OK" : "FAILED");
    QCOMPARE(outcome.value(field), value);
    const QJsonArray problems = outcome.value(QStringLiteral("problems")).toArray();
    QCOMPARE(problems.isEmpty(), problem.isEmpty());
    if (!problem.isEmpty())
        QVERIFY2(problems.first().toString().startsWith(problem), qPrintable(problems.first().toString()));
}

void PublishTest::clientFolder_data()
{
    QTest::addColumn<QString>("siteKind");    // signed, unsigned or empty
    QTest::addColumn<QString>("updaterKind"); // program, plain file or folder
    QTest::addColumn<QString>("outKind");     // new, empty, full or file
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    QTest::newRow("signed site, new folder") << "signed" << "program" << "new" << 0 << "";
    QTest::newRow("unsigned site, empty folder") << "unsigned" << "program" << "empty" << 0 << "";
    QTest::newRow("folder not empty") << "signed" << "program" << "full" << 1 << "is not empty";
    QTest::newRow("a file at the folder's name") << "signed" << "program" << "file" << 1 << "exists and is not a folder";
    QTest::newRow("site without a stamp") << "empty" << "program" << "new" << 1 << "the site has no stamp";
    QTest::newRow("updater not executable") << "signed" << "plain file" << "new" << 1 << "not an executable file";
    QTest::newRow("updater a folder") << "signed" << "folder" << "new" << 1 << "not an executable file";
    QTest::newRow("updater a shell script") << "unsigned" << "script" << "new" << 1 << "carries no updater build mark";
    QTest::newRow("updater-publish as updater") << "unsigned" << "publisher" << "new" << 1 << "no updater build mark";
    QTest::newRow("unsigned updater, signed site") << "signed" << "unsigned" << "new" << 1 << "an unsigned updater";
    QTest::newRow("signed updater, unsigned site") << "unsigned" << "signed" << "new" << 1 << "a signed updater";
    QTest::newRow("updater of another key") << "signed" << "next key" << "new" << 1 << "but the site is signed with";
    QTest::newRow("updater a link") << "signed" << "link" << "new" << 1 << "is a symbolic link";
    QTest::newRow("folder a mount point") << "signed" << "program" << "/" << 1 << "is a mount point";
}

void PublishTest::clientFolder()
{
    // The folder an installer ships: a client in it counts as up to date
    // with the site it was made from and takes the next release.
    QFETCH(QString, siteKind);
    QFETCH(QString, updaterKind);
    QFETCH(QString, outKind);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    TempFolder site, from, parent, tools;
    const QStringList signing = siteKind == QLatin1String("signed") ? QStringList{"--secret-key", m_secretKey}
                                                                    : QStringList();
    writeRelease(from);
    if (siteKind != QLatin1String("empty"))
        QCOMPARE(publisher(QStringList{"release", "--from", from.path(), "--site", site.path(), "--version", "1"}
                           + signing).exitCode, 0);
    // The driver is the updater's window, marked for the keys it is run with.
    const QHash<QString, QString> keysOf{{"signed", m_publicKey}, {"next key", m_nextPublicKey}, {"link", m_publicKey}};
    const QString keys = keysOf.value(updaterKind == QLatin1String("program") ? siteKind : updaterKind);
    QString updater = markedDriver(tools, keys.isEmpty() ? QByteArray() : release::PublicKey::fromFile(keys).toBase64());
    if (updaterKind == QLatin1String("plain file"))
        updater = from.path(QStringLiteral("a.dll"));
    else if (updaterKind == QLatin1String("folder"))
        updater = from.path();
    else if (updaterKind == QLatin1String("script"))
        QFile::setPermissions(updater = tools.write(QStringLiteral("a.sh"), "#!/bin/sh\n"), QFile::ReadOwner | QFile::ExeOwner);
    else if (updaterKind == QLatin1String("publisher"))
        updater = QStringLiteral(PUBLISHER);
    else if (updaterKind == QLatin1String("link") && QFile::link(updater, tools.path(QStringLiteral("linked"))))
        updater = tools.path(QStringLiteral("linked"));
    const QString out = outKind == QLatin1String("/") ? outKind : parent.path(QStringLiteral("client"));
    if (outKind == QLatin1String("empty"))
        QVERIFY(QDir().mkdir(out));
    else if (outKind == QLatin1String("full"))
        parent.write(QStringLiteral("client/readme.txt"), "mine");
    else if (outKind == QLatin1String("file"))
        parent.write(QStringLiteral("client"), "mine");

    const auto before = snapshot(parent.path());
    const Result made = publisher({"client", "--site", site.path(), "--updater", updater, "--out", out});
    QCOMPARE(made.exitCode, exitCode);
    if (exitCode != 0) {
        QVERIFY2(QString::fromUtf8(made.err).contains(message), made.err.constData());
        QCOMPARE(snapshot(parent.path()), before);
        return;
    }
    QStringList expected{"Update", "Update.inf", "run_driver"};
    if (!signing.isEmpty())
        expected << "LoadUpdate.sha256" << "LoadUpdate.sha256.minisig" << "LoadUpdate.tree";
    expected.sort();
    QCOMPARE(snapshot(out).keys(), expected);
    QCOMPARE(parent.read(QStringLiteral("client/Update.inf")), QByteArray("1\r\n"));
    if (!signing.isEmpty())
        QCOMPARE(parent.read(QStringLiteral("client/LoadUpdate.tree")), site.read(treePath));
    QVERIFY(QFileInfo(out + QStringLiteral("/run_driver")).isExecutable());

    TestServer server;
    serveSite(server, site.path());
    const QString driver = out + QStringLiteral("/run_driver");
    QStringList driverOptions;
    if (!signing.isEmpty())
        driverOptions << QStringLiteral("--public-key=") + QString::fromLatin1(release::PublicKey::fromFile(m_publicKey).toBase64());
    DriverEnding ending = driveRun(QStringLiteral("-"), server, driverOptions, driver);
    QCOMPARE(ending.messages.value(0).text, QStringLiteral("文件已是最新版本,无需更新！"));
    writeRelease(from, "version 2");
    QCOMPARE(publisher(QStringList{"release", "--from", from.path(), "--site", site.path(), "--version", "2"}
                       + signing).exitCode, 0);
    serveSite(server, site.path());
    ending = driveRun(QStringLiteral("-"), server, driverOptions, driver);
    QVERIFY2(ending.messages.value(0).text.endsWith(QStringLiteral("请重新登录系统！")),
             qPrintable(ending.messages.value(0).text + ending.errors));
    QCOMPARE(parent.read(QStringLiteral("client/Update.inf")), QByteArray("2\r\n"));
    QCOMPARE(parent.read(QStringLiteral("client/说明 文档.txt")), QByteArray("version 2"));
}

void PublishTest::resignRenewsTheSignature_data()
{
    QTest::addColumn<QStringList>("releaseOptions");
    QTest::addColumn<QStringList>("resignOptions");
    QTest::addColumn<bool>("tamperedIndex");
    QTest::addColumn<QByteArray>("indexField"); // added to the release's trusted comment ("OWN": the index's digest)
    QTest::addColumn<qint64>("period"); // of the renewed signature; 0 for none, -1 for a refusal
    QTest::addColumn<QByteArray>("refusal");

    const QStringList tenDays{"--expires-in", "10"};
    const QStringList byNext{"--key", m_nextSecretKey, "--public-key", m_publicKey};
    constexpr qint64 day = 86400;
    const QStringList bySame{"--key", m_secretKey};
    const QByteArray none;
    QTest::newRow("keeps its period") << tenDays << bySame << false << none << 10 * day << none;
    QTest::newRow("a new period") << tenDays << (bySame + QStringList{"--expires-in", "30"}) << false << none
                                  << 30 * day << none;
    QTest::newRow("an expiry where there was none")
        << QStringList() << QStringList{"--secret-key", m_secretKey, "--expires-in", "5"} << false << none << 5 * day
        << none;
    QTest::newRow("no expiry stays none") << QStringList() << bySame << false << none << qint64(0) << none;
    QTest::newRow("by the next key") << tenDays << byNext << false << none << 10 * day << none;
    QTest::newRow("keeps the index it names") << tenDays << bySame << false << QByteArray("OWN") << 10 * day << none;
    QTest::newRow("refused: the signature names another index")
        << tenDays << bySame << false << QByteArray(64, '0') << qint64(-1)
        << QByteArray("the signature names another index");
    QTest::newRow("refused: the signer's key not given")
        << tenDays << QStringList{"--key", m_nextSecretKey} << false << none << qint64(-1)
        << QByteArray("signed by another key");
    QTest::newRow("refused: the index changed after signing")
        << tenDays << bySame << true << none << qint64(-1) << QByteArray("signature does not verify");
}

void PublishTest::resignRenewsTheSignature()
{
    // What a publisher's timer runs: the same release, signed anew, and the
    // signed client, built with both keys, installs it.
    QFETCH(QStringList, releaseOptions);
    QFETCH(QStringList, resignOptions);
    QFETCH(bool, tamperedIndex);
    QFETCH(QByteArray, indexField);
    QFETCH(qint64, period);
    QFETCH(QByteArray, refusal);
    TempFolder site, from;
    writeRelease(from);
    const Result released = publisher(QStringList{"release", "--from", from.path(), "--site", site.path(), "--version",
                                                  "1", "--secret-key", m_secretKey} + releaseOptions);
    QVERIFY2(released.exitCode == 0, released.err.constData());
    if (!indexField.isEmpty()) {
        const QByteArray named = indexField == "OWN" ? sha256Hex(site.read(indexPath)).toLatin1() : indexField;
        const release::Signature released = release::Signature::parse(site.read(signaturePath), "sig");
        QList<QByteArray> fields = released.trustedComment().split('\t');
        fields.removeIf([](const QByteArray &field) { return field.startsWith("index:"); });
        fields.append("index:" + named);
        site.write(signaturePath,
                   release::SecretKey::fromFile(m_secretKey, {}).sign(site.read(indexPath), fields.join('\t')).toText());
    }
    if (tamperedIndex)
        site.write(indexPath, site.read(indexPath) + sha256Hex("x").toLatin1() + "  KVTA/ZE/files/x\n");
    const release::Signature before = release::Signature::parse(site.read(signaturePath), "old");
    const auto files = snapshot(site.path());

    const Result resigned = publisher(QStringList{"resign", "--site", site.path()} + resignOptions);
    auto changed = snapshot(site.path());
    if (period < 0) {
        QCOMPARE(resigned.exitCode, 1);
        QVERIFY2(resigned.err.contains(refusal), resigned.err.constData());
        QCOMPARE(changed, files);
        return;
    }
    QVERIFY2(resigned.exitCode == 0, resigned.err.constData());
    // Only the signature is written.
    auto unchanged = files;
    unchanged.remove(signaturePath);
    QVERIFY(changed.take(signaturePath) != files.value(signaturePath));
    QCOMPARE(changed, unchanged);
    const release::Signature after = release::Signature::parse(site.read(signaturePath), "new");
    QVERIFY(after.timestamp("new") > before.timestamp("old"));
    QCOMPARE(after.commentField("version"), std::optional<QByteArray>("1"));
    QCOMPARE(after.commentField("index"), before.commentField("index"));
    QCOMPARE(after.expiry("new").value_or(0), period ? after.timestamp("new") + period : 0);
    const bool byNext = resignOptions.contains(m_nextSecretKey);
    const Result verified = runProcess(QStringLiteral("minisign"), {"-V", "-p", byNext ? m_nextPublicKey : m_publicKey,
                                                                    "-m", site.path(indexPath), "-x", site.path(signaturePath)});
    QVERIFY2(verified.exitCode == 0, verified.out + verified.err);

    TestServer server;
    serveSite(server, site.path());
    QByteArrayList keyLines;
    for (const QString &pub : {m_publicKey, m_nextPublicKey})
        keyLines.append(TempFolder::readFile(pub).split('\n').value(1));
    DriverAppFolder client("0.5\r\n");
    const DriverEnding ending =
        driveRun(client.path(), server, {QStringLiteral("--public-key=") + QString::fromLatin1(keyLines.join(';'))});
    QVERIFY2(ending.messages.value(0).text.endsWith(QStringLiteral("请重新登录系统！")),
             qPrintable(ending.messages.value(0).text + ending.errors));
    QCOMPARE(client.read(QStringLiteral("LoadUpdate.sha256.minisig")), site.read(signaturePath));
}

void PublishTest::checkSeesTheExpiry_data()
{
    QTest::addColumn<qint64>("signedAgo"); // seconds before now
    QTest::addColumn<qint64>("expiresIn"); // seconds after now
    QTest::addColumn<QString>("line");     // what check reports; empty: nothing
    QTest::addColumn<bool>("passes");

    constexpr qint64 day = 86400;
    const QString signature = signaturePath + QStringLiteral(": ");
    QTest::newRow("far from its expiry") << qint64(0) << 30 * day << QString() << true;
    QTest::newRow("within a week") << 20 * day << 2 * day
                                   << QStringLiteral("warning: ") + signature + QStringLiteral("expires at ") << true;
    QTest::newRow("within a third of a short period")
        << 2 * day << day / 2 << QStringLiteral("warning: ") + signature + QStringLiteral("expires at ") << true;
    QTest::newRow("a short period, early") << qint64(0) << 3 * day << QString() << true;
    QTest::newRow("expired") << 10 * day << qint64(-1) << signature + QStringLiteral("the signature has expired")
                             << false;
}

void PublishTest::checkSeesTheExpiry()
{
    QFETCH(qint64, signedAgo);
    QFETCH(qint64, expiresIn);
    QFETCH(QString, line);
    QFETCH(bool, passes);
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const QByteArray comment = "timestamp:" + QByteArray::number(now - signedAgo) + "\tversion:1\texpires:"
                               + QByteArray::number(now + expiresIn);
    const release::SecretKey key = release::SecretKey::fromFile(m_secretKey, {});
    TestServer server;
    serveSite(server, m_site.path());
    server.setFile('/' + signaturePath.toLatin1(), key.sign(m_site.read(indexPath), comment).toText());

    const Result result = publisher({"check", server.url(), "--public-key", m_publicKey});
    QStringList lines = QString::fromUtf8(result.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QVERIFY(!lines.isEmpty());
    QVERIFY2(lines.takeLast().startsWith(passes ? QStringLiteral("OK: ") : QStringLiteral("FAILED: ")),
             result.out.constData());
    QCOMPARE(result.exitCode, passes ? 0 : 1);
    QCOMPARE(lines.size(), line.isEmpty() ? 0 : 1);
    if (!line.isEmpty())
        QVERIFY2(lines[0].startsWith(line), qPrintable(lines[0]));
}

void PublishTest::smallForms_data()
{
    QTest::addColumn<bool>("compressible");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QList<int>>("patchedFrom"); // the versions the fourth one is patched from
    QTest::addColumn<bool>("compressed");
    QTest::newRow("three releases back") << true << QStringList{} << QList<int>{3, 2, 1} << true;
    QTest::newRow("one release back") << true << QStringList{"--patch-from-releases", "1"} << QList<int>{3} << true;
    QTest::newRow("no patches") << true << QStringList{"--patch-from-releases", "0"} << QList<int>{} << true;
    QTest::newRow("random data: nothing smaller") << false << QStringList{} << QList<int>{} << false;
}

void PublishTest::smallForms()
{
    // Four releases of one file: the index of the fourth lists its kept
    // forms, each with its digest, and the zstd program rebuilds each from
    // the site's files; check passes.
    QFETCH(bool, compressible);
    QFETCH(QStringList, options);
    QFETCH(QList<int>, patchedFrom);
    QFETCH(bool, compressed);
    TempFolder site;
    publishLibrary(site, 1, 4, compressible, options);
    const auto bytesOf = [&](int version) { return compressible ? libraryBytes(version) : patternBytes(200000, version); };
    const QString digest = sha256Hex(bytesOf(4));
    QStringList expected;
    if (compressed)
        expected << QStringLiteral("KVTA/ZE/zst/%1.zst").arg(digest);
    for (const int version : patchedFrom)
        expected << QStringLiteral("KVTA/ZE/zst/%1-%2.zst").arg(sha256Hex(bytesOf(version)), digest);
    const QMap<QString, QString> listed = smallFormsListed(site.read(indexPath));
    QStringList listedPaths = listed.keys();
    expected.sort();
    QCOMPARE(listedPaths, expected);

    for (auto it = listed.cbegin(); it != listed.cend(); ++it) {
        QCOMPARE(sha256Hex(site.read(it.key())), it.value());
        QVERIFY2(site.read(it.key()).size() * 10 < bytesOf(4).size() * 9, qPrintable(it.key()));
        QStringList decode{"-d", "-q", "-c", site.path(it.key())};
        const QStringList digests = it.key().section(QLatin1Char('/'), -1).chopped(4).split(QLatin1Char('-'));
        if (digests.size() == 2)
            decode << QStringLiteral("--patch-from=")
                          + site.path(QStringLiteral("KVTA/ZE/files/%1/%2").arg(digests[0].left(2), digests[0]));
        const Result rebuilt = runProcess(QStringLiteral("zstd"), decode);
        QVERIFY2(rebuilt.exitCode == 0, rebuilt.err.constData());
        QCOMPARE(rebuilt.out, bytesOf(4));
    }
    TestServer server;
    serveSite(server, site.path());
    const Result checked = publisher({"check", server.url(), "--public-key", m_publicKey});
    QVERIFY2(checked.exitCode == 0, checked.out.constData());
}

void PublishTest::freshCopyOfTheSiteMakesTheSameForms()
{
    // Two publishers that have nothing but a copy of the site, one of them
    // on a single processor, write the same release, forms and all.
    TempFolder site, from, first, second;
    publishLibrary(site, 1, 3);
    from.write(QStringLiteral("lib.so"), libraryBytes(4));
    for (const TempFolder *copy : {&first, &second})
        QCOMPARE(runProcess(QStringLiteral("cp"), {"-a", site.path() + "/.", copy->path()}).exitCode, 0);
    const QStringList release{"release", "--from", from.path(), "--version", "4", "--secret-key", m_secretKey};
    QCOMPARE(publisher(release + QStringList{"--site", first.path()}).exitCode, 0);
    QCOMPARE(runProcess(QStringLiteral("taskset"),
                        QStringList{"-c", "0", QStringLiteral(PUBLISHER)} + release + QStringList{"--site", second.path()})
                 .exitCode,
             0);
    auto made = snapshot(first.path());
    auto madeAlone = snapshot(second.path());
    made.remove(signaturePath);
    madeAlone.remove(signaturePath);
    QCOMPARE(smallFormsListed(made.value(indexPath)).size(), 4);
    QCOMPARE(madeAlone, made);
}

void PublishTest::prune_data()
{
    QTest::addColumn<int>("keep");
    QTest::addColumn<bool>("dryRun");
    QTest::addColumn<QList<int>>("storedVersions"); // the versions of lib.so still stored
    QTest::addColumn<int>("forms");                 // smaller forms left
    QTest::addColumn<int>("releaseFolders");
    // Release 5 is patched from 4, 3 and 2, whose files stay for check to
    // rebuild the patches; release 4 from 3, 2 and 1.
    QTest::newRow("keep the newest") << 1 << false << QList<int>{2, 3, 4, 5} << 4 << 1;
    QTest::newRow("keep two") << 2 << false << QList<int>{1, 2, 3, 4, 5} << 8 << 2;
    QTest::newRow("keep none: the current one stays") << 0 << false << QList<int>{2, 3, 4, 5} << 4 << 1;
    QTest::newRow("dry run removes nothing") << 1 << true << QList<int>{1, 2, 3, 4, 5} << 14 << 5;
}

void PublishTest::prune()
{
    QFETCH(int, keep);
    QFETCH(bool, dryRun);
    QFETCH(QList<int>, storedVersions);
    QFETCH(int, forms);
    QFETCH(int, releaseFolders);
    TempFolder site;
    publishLibrary(site, 1, 5);
    const auto before = snapshot(site.path());
    QStringList arguments{"prune", "--site", site.path(), "--keep-releases", QString::number(keep)};
    if (dryRun)
        arguments << "--dry-run";
    const Result result = publisher(arguments);
    QVERIFY2(result.exitCode == 0, result.err.constData());

    const auto after = snapshot(site.path());
    QStringList removed;
    for (const QString &path : before.keys()) {
        if (before.value(path) != "<dir>" && !after.contains(path))
            removed << path;
    }
    // Each file is listed before it goes; a dry run lists what keeping the
    // newest release would remove.
    QStringList lines = QString::fromUtf8(result.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    const QString summary = lines.takeLast();
    if (dryRun) {
        QCOMPARE(after, before);
        // Stored: version 1; forms: those of releases 1 to 4 but what release
        // 5 lists; the folders of releases 1 to 4, four files each.
        QCOMPARE(lines.size(), 1 + 10 + 4 * 4);
        QVERIFY(lines.filter(QStringLiteral("would remove KVTA/ZE/files/")).size() == 1);
    } else {
        QCOMPARE(lines.replaceInStrings(QStringLiteral("remove "), QString()), removed);
    }
    QVERIFY2(summary.contains(QStringLiteral("%1 files").arg(lines.size())), qPrintable(summary));

    QList<int> stored;
    for (int version = 1; version <= 5; ++version) {
        if (after.contains(storedPath(libraryBytes(version))))
            stored << version;
    }
    QCOMPARE(stored, storedVersions);
    QCOMPARE(after.keys().filter(QRegularExpression(QStringLiteral("^KVTA/ZE/zst/.+"))).size(), forms);
    QCOMPARE(after.keys().filter(QRegularExpression(QStringLiteral("^KVTA/ZE/releases/[0-9a-f]{64}$"))).size(),
             releaseFolders);
    TestServer server;
    serveSite(server, site.path());
    const Result checked = publisher({"check", server.url(), "--public-key", m_publicKey});
    QVERIFY2(checked.exitCode == 0, checked.out.constData());
}

void PublishTest::checkRebuildsEachForm_data()
{
    QTest::addColumn<Faults>("faults");
    QTest::addColumn<QStringList>("expected");
    publishLibrary(m_formSite, 1, 2);
    const QString digest = sha256Hex(libraryBytes(2));
    const QByteArray compressed = QStringLiteral("KVTA/ZE/zst/%1.zst").arg(digest).toLatin1();
    const QByteArray patch = QStringLiteral("KVTA/ZE/zst/%1-%2.zst").arg(sha256Hex(libraryBytes(1)), digest).toLatin1();
    const QByteArray older = storedPath(libraryBytes(1)).toLatin1();
    // A form listed with its own digest under a signature that verifies, but
    // that is no form of the file.
    const release::SecretKey key = release::SecretKey::fromFile(m_secretKey, {});
    const auto listedAs = [&](const QByteArray &form) {
        const QByteArray index = m_formSite.read(indexPath).replace(sha256Hex(m_formSite.read(compressed)).toLatin1(),
                                                                   sha256Hex(form).toLatin1());
        const QByteArray comment = "timestamp:" + QByteArray::number(QDateTime::currentSecsSinceEpoch()) + "\tversion:2";
        return Faults{{'/' + compressed, form},
                      {'/' + indexPath.toLatin1(), index},
                      {'/' + signaturePath.toLatin1(), key.sign(index, comment).toText()}};
    };
    TempFolder made;
    const QByteArray otherFile =
        runProcess(QStringLiteral("zstd"), {"-q", "-c", made.write(QStringLiteral("lib.so"), libraryBytes(3))}).out;
    QTest::newRow("all forms rebuild their files") << Faults{} << QStringList{};
    QTest::newRow("patch missing") << Faults{{'/' + patch, {}, TestServer::Route::Mode::Normal, 404}}
                                   << QStringList{patch + ": HTTP status 404"};
    QTest::newRow("compressed form tampered") << Faults{{'/' + compressed, otherFile}}
                                              << QStringList{compressed + ": SHA-256 differs from the release index"};
    QTest::newRow("older file of a patch missing") << Faults{{'/' + older, {}, TestServer::Route::Mode::Normal, 404}}
                                                   << QStringList{older + ": HTTP status 404"};
    QTest::newRow("older file of a patch changed") << Faults{{'/' + older, libraryBytes(3)}}
                                                   << QStringList{older + ": SHA-256 differs from the one its name"};
    QTest::newRow("listed form of another file") << listedAs(otherFile)
                                                 << QStringList{compressed + ": rebuilds a file whose SHA-256 differs"};
    QTest::newRow("listed frame cut short") << listedAs(otherFile.left(otherFile.size() / 2))
                                            << QStringList{compressed + ": "}; // zstd says why
}

void PublishTest::checkRebuildsEachForm()
{
    QFETCH(Faults, faults);
    QFETCH(QStringList, expected);
    TestServer server;
    serveSite(server, m_formSite.path());
    for (const Fault &fault : faults) {
        TestServer::Route route;
        route.body = fault.body;
        route.status = fault.status;
        server.setRoute(fault.target, route);
    }
    const Result result = publisher({"check", server.url(), "--public-key", m_publicKey});
    QStringList lines = QString::fromUtf8(result.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QVERIFY(!lines.isEmpty());
    const QString verdict = lines.takeLast();
    QVERIFY2(verdict.contains(QStringLiteral(", 2 smaller forms")), qPrintable(verdict));
    QCOMPARE(result.exitCode, expected.isEmpty() ? 0 : 1);
    QCOMPARE(lines.size(), expected.size());
    for (qsizetype i = 0; i < expected.size(); ++i)
        QVERIFY2(lines[i].startsWith(expected[i]), qPrintable(lines[i]));
}


// A second release killed at each rename of its fixed paths: in between check says "being published", never FAILED.
void PublishTest::checkSeesAPublicationHalfWay_data()
{
    QTest::addColumn<int>("renamed"); // of index, signature, manifest, stamp; 0 and 4 leave one release whole
    for (int renamed = 0; renamed <= 4; ++renamed)
        QTest::addRow("%d renamed", renamed) << renamed;
}

void PublishTest::checkSeesAPublicationHalfWay()
{
    QFETCH(int, renamed);
    TempFolder site, from;
    runProcess("cp", {"-a", m_site.path() + "/.", site.path()});
    writeRelease(from, "version 2, changed");
    publisher({"release", "--from", from.path(), "--site", site.path(), "--version", "2", "--secret-key", m_secretKey});
    TestServer server;
    serveSite(server, site.path());
    for (const QString &path : QStringList{indexPath, signaturePath, manifestPath, stampPath}.mid(renamed))
        server.setFile('/' + path.toLatin1(), m_site.read(path));
    const QStringList check{"check", server.url(), "--public-key", m_publicKey};
    const Result text = publisher(check), json = publisher(check + QStringList{"--json"});
    QVERIFY2(text.exitCode == bool(renamed % 4) && text.out.contains(renamed % 4 ? "BEING PUBLISHED: " : "OK: "), text.out.data());
    QCOMPARE(QJsonDocument::fromJson(json.out)["verdict"].toString(), renamed % 4 ? "BEING PUBLISHED" : "OK");
}

QTEST_GUILESS_MAIN(PublishTest)
#include "tst_publish.moc"

// Uploads into a real S3 store, radosgw on a one-node Ceph cluster that the
// test starts on 127.0.0.1 (tests/s3store.sh), through the real publisher,
// read back as clients read it: by check, by the real updater, by curl.

#include "support/rundriving.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <QThread>

namespace {

struct Result
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    QJsonObject json() const { return QJsonDocument::fromJson(out).object(); }
};

Result runProcess(const QString &program, const QStringList &arguments, const QProcessEnvironment &env,
                  const QByteArray &input = {})
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    process.waitForFinished(300000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, process.readAllStandardOutput(),
            process.readAllStandardError()};
}

QString sha256Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

QString storedPath(const QByteArray &content)
{
    return QStringLiteral("KVTA/ZE/files/%1/%2").arg(sha256Hex(content).left(2), sha256Hex(content));
}

} // namespace

class S3StoreTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase() { runProcess(QStringLiteral(S3STORE), {"stop", m_store.path("store")}, m_env); }
    void secondReleaseUploadsOnlyWhatChanged_data();
    void secondReleaseUploadsOnlyWhatChanged();
    void everyKillPointLeavesAWholeRelease_data();
    void everyKillPointLeavesAWholeRelease();
    void refusals_data();
    void refusals();
    void pruneKeepsWhatKeptReleasesNeed();
    void clientInstallsFromTheStore_data();
    void clientInstallsFromTheStore();

private:
    // A signed request of curl's own; the status.
    int storeRequest(const QByteArray &method, const QString &path, const QByteArray &body = {})
    {
        return runProcess("curl", {"-s", "-o", "/dev/null", "-w", "%{http_code}", "--aws-sigv4", "aws:amz:us-east-1:s3",
                                   "--user", m_env.value("AWS_ACCESS_KEY_ID") + ':' + m_env.value("AWS_SECRET_ACCESS_KEY"),
                                   "-H", "x-amz-content-sha256: UNSIGNED-PAYLOAD", "-X", method, "--data-binary", "@-",
                                   m_endpoint + '/' + path}, m_env, body).out.toInt();
    }
    // Anyone may read the prefix, as the README's policy allows; nobody may
    // put `deniedPut` (a key).
    void setPolicy(const QString &bucket, const QString &prefix, const QString &deniedPut = {});
    QString newBucket(const QString &prefix)
    {
        const QString bucket = QStringLiteral("releases-%1").arg(++m_buckets);
        storeRequest("PUT", bucket);
        setPolicy(bucket, prefix);
        return bucket;
    }
    QString readUrl(const QString &bucket, const QString &prefix) const
    {
        return m_endpoint + '/' + bucket + '/' + QString::fromLatin1(QUrl::toPercentEncoding(prefix, "/")) + '/';
    }
    Result publisher(const QStringList &arguments, const QProcessEnvironment *env = nullptr) const
    {
        return runProcess(QStringLiteral(PUBLISHER), arguments, env ? *env : m_env);
    }
    Result release(const TempFolder &site, const QByteArray &version, bool signedRelease)
    {
        TempFolder from;
        from.write(QStringLiteral("客户端.exe"), patternBytes(300000, 1));
        from.write(QStringLiteral("说明 文档.txt"), "version " + version);
        return publisher(QStringList{"release", "--from", from.path(), "--site", site.path(), "--version", version}
                         + (signedRelease ? QStringList{"--secret-key", m_keys.path("k.key")} : QStringList()));
    }
    Result upload(const TempFolder &site, const QString &bucket, const QString &prefix, bool withKey = true)
    {
        return publisher(QStringList{"upload", "--site", site.path(), "--to", "s3://" + bucket + '/' + prefix,
                                     "--endpoint", m_endpoint, "--json"}
                         + (withKey ? QStringList{"--public-key", m_keys.path("k.pub")} : QStringList()));
    }
    int putsLogged(const QString &bucket);

    TempFolder m_store, m_keys;
    QString m_endpoint;
    QProcessEnvironment m_env = QProcessEnvironment::systemEnvironment();
    QByteArray m_keyLine;
    int m_buckets = 0;
    int m_markers = 0;
};

void S3StoreTest::initTestCase()
{
    const Result started = runProcess(QStringLiteral(S3STORE), {"start", m_store.path("store")}, m_env);
    QVERIFY2(started.exitCode == 0, started.err.constData());
    for (const QByteArray &line : started.out.split('\n')) {
        const QString value = QString::fromLatin1(line.mid(line.indexOf('=') + 1));
        if (line.startsWith("endpoint="))
            m_endpoint = value;
        else if (line.startsWith("access=") || line.startsWith("secret="))
            m_env.insert(line.startsWith("access=") ? "AWS_ACCESS_KEY_ID" : "AWS_SECRET_ACCESS_KEY", value);
    }
    qInfo("the store took %s s to start", started.out.mid(started.out.indexOf("seconds=") + 8).trimmed().constData());
    const Result made = publisher({"keygen", "--public-key", m_keys.path("k.pub"), "--secret-key", m_keys.path("k.key")});
    QVERIFY2(made.exitCode == 0, made.err.constData());
    m_keyLine = made.out.trimmed();
}

void S3StoreTest::setPolicy(const QString &bucket, const QString &prefix, const QString &deniedPut)
{
    const QString resource = "arn:aws:s3:::" + bucket + '/' + prefix + '/';
    QJsonArray statements{QJsonObject{{"Effect", "Allow"}, {"Principal", "*"}, {"Action", "s3:GetObject"},
                                      {"Resource", resource + '*'}}};
    if (!deniedPut.isEmpty())
        statements.append(QJsonObject{{"Effect", "Deny"}, {"Principal", "*"}, {"Action", "s3:PutObject"},
                                      {"Resource", resource + deniedPut}});
    const QJsonObject policy{{"Version", "2012-10-17"}, {"Statement", statements}};
    QCOMPARE(storeRequest("PUT", bucket + "?policy=", QJsonDocument(policy).toJson()), 204);
}

// The PUTs that radosgw logged for the bucket so far. It logs each request
// in order: once a marker request shows, every PUT before it has.
int S3StoreTest::putsLogged(const QString &bucket)
{
    const QString marker = QStringLiteral("marker-%1").arg(++m_markers);
    runProcess("curl", {"-s", "-o", "/dev/null", m_endpoint + '/' + marker}, m_env);
    QByteArray log;
    for (int tries = 0; tries < 300 && !log.contains("GET /" + marker.toLatin1()); ++tries) {
        QThread::msleep(100);
        log = m_store.read(QStringLiteral("store/log/client.rgw.log"));
    }
    int puts = 0;
    for (const QByteArray &line : log.split('\n'))
        puts += line.contains("\"PUT /" + bucket.toLatin1() + '/') && line.contains(" HTTP/1.1\" 200 ");
    return puts;
}

void S3StoreTest::secondReleaseUploadsOnlyWhatChanged_data()
{
    QTest::addColumn<bool>("signedRelease");
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<int>("secondPuts"); // the changed file, its release folder, the fixed paths that changed
    // The tree is the same in both releases: its fixed path is not sent again.
    QTest::newRow("signed, Chinese prefix") << true << QStringLiteral("客户端/更新 版") << 1 + 4 + 4;
    QTest::newRow("unsigned, ASCII prefix") << false << QStringLiteral("updates") << 1 + 2;
}

void S3StoreTest::secondReleaseUploadsOnlyWhatChanged()
{
    QFETCH(bool, signedRelease);
    QFETCH(QString, prefix);
    QFETCH(int, secondPuts);
    const QString bucket = newBucket(prefix);
    TempFolder site;
    for (const QByteArray version : {"1", "2"}) {
        const int before = putsLogged(bucket);
        QCOMPARE(release(site, version, signedRelease).exitCode, 0);
        const Result uploaded = upload(site, bucket, prefix, signedRelease);
        QVERIFY2(uploaded.exitCode == 0 && uploaded.json().value("verified").toBool(), uploaded.err.constData());
        const int puts = putsLogged(bucket) - before;
        QCOMPARE(uploaded.json().value("uploaded").toArray().size(), puts);
        QVERIFY(version == "1" || puts == secondPuts);
        const Result checked = publisher(QStringList{"check", readUrl(bucket, prefix)}
                                         + (signedRelease ? QStringList{"--public-key", m_keys.path("k.pub")} : QStringList()));
        QVERIFY2(checked.exitCode == 0 && checked.out.contains("version " + version), checked.out.constData());
    }
    // What a CDN goes by: each object's own headers, as clients read them.
    const QByteArray file = runProcess("curl", {"-sI", readUrl(bucket, prefix) + storedPath(patternBytes(300000, 1))}, m_env).out;
    const QByteArray stamp = runProcess("curl", {"-sI", readUrl(bucket, prefix) + "KVTA/ZE/UpdateNote.xml"}, m_env).out;
    QVERIFY2(file.contains("\nCache-Control: public, max-age=31536000, immutable\r") && file.contains("\nContent-Type: application/octet-stream\r"), file.constData());
    QVERIFY2(stamp.contains("\nCache-Control: no-cache\r") && stamp.contains("\nContent-Type: text/plain\r"), stamp.constData());
}

void S3StoreTest::everyKillPointLeavesAWholeRelease_data()
{
    // The store refuses one PUT of the second release's upload; clients get
    // the first release whole, or one publication under way (check says so).
    QTest::addColumn<QString>("refused"); // "I" stands for the new index's digest
    QTest::addColumn<QString>("verdict");
    QTest::newRow("the changed file") << storedPath("version 2") << "OK";
    QTest::newRow("the release folder's index") << "KVTA/ZE/releases/I/LoadUpdate.sha256" << "OK";
    QTest::newRow("the release folder's stamp") << "KVTA/ZE/releases/I/UpdateNote.xml" << "OK";
    QTest::newRow("the release folder's tree") << "KVTA/ZE/releases/I/LoadUpdate.tree" << "OK";
    QTest::newRow("the fixed index") << "KVTA/ZE/LoadUpdate.sha256" << "OK";
    QTest::newRow("the signature") << "KVTA/ZE/LoadUpdate.sha256.minisig" << "BEING PUBLISHED";
    QTest::newRow("the manifest") << "KVTA/ZE/LoadUpdate.inf" << "BEING PUBLISHED";
    QTest::newRow("the stamp") << "KVTA/ZE/UpdateNote.xml" << "BEING PUBLISHED";
}

void S3StoreTest::everyKillPointLeavesAWholeRelease()
{
    QFETCH(QString, refused);
    QFETCH(QString, verdict);
    const QString prefix = QStringLiteral("kill"), bucket = newBucket(prefix);
    TempFolder site;
    QCOMPARE(release(site, "1", true).exitCode, 0);
    QCOMPARE(upload(site, bucket, prefix).exitCode, 0);
    QCOMPARE(release(site, "2", true).exitCode, 0);
    refused.replace(QStringLiteral("/I/"), '/' + sha256Hex(site.read("KVTA/ZE/LoadUpdate.sha256")) + '/');
    setPolicy(bucket, prefix, refused);

    const Result cut = upload(site, bucket, prefix);
    QCOMPARE(cut.exitCode, 1);
    QVERIFY2(cut.err.contains("AccessDenied"), cut.err.constData());
    const QStringList check{"check", readUrl(bucket, prefix), "--public-key", m_keys.path("k.pub"), "--json"};
    QJsonObject seen = publisher(check).json();
    QCOMPARE(seen.value("verdict").toString(), verdict);
    QVERIFY(verdict != QLatin1String("OK") || seen.value("version").toString() == QLatin1String("1"));

    setPolicy(bucket, prefix);
    const Result completed = upload(site, bucket, prefix);
    QVERIFY2(completed.exitCode == 0, completed.err.constData());
    // What the cut upload put stays; the next one only completes it.
    QCOMPARE(completed.json().value("uploaded").toArray().contains(storedPath("version 2")),
             refused == storedPath("version 2"));
    seen = publisher(check).json();
    QCOMPARE(seen.value("verdict").toString() + seen.value("version").toString(), QStringLiteral("OK2"));
}

void S3StoreTest::refusals_data()
{
    QTest::addColumn<QStringList>("environment"); // NAME=VALUE; an empty value unsets
    QTest::addColumn<QByteArray>("planted");      // other bytes at the stored file's path
    QTest::addColumn<QByteArray>("error");        // empty: the upload succeeds
    const QStringList noKeys{"AWS_ACCESS_KEY_ID=", "AWS_SECRET_ACCESS_KEY="};
    QTest::newRow("wrong secret") << QStringList{"AWS_SECRET_ACCESS_KEY=wrong"} << QByteArray() << QByteArray("refused the request: SignatureDoesNotMatch");
    QTest::newRow("unknown access key") << QStringList{"AWS_ACCESS_KEY_ID=NOSUCH"} << QByteArray() << QByteArray("refused the request: InvalidAccessKeyId");
    QTest::newRow("no credentials") << noKeys + QStringList{"AWS_SHARED_CREDENTIALS_FILE=/none"} << QByteArray() << QByteArray("no credentials: set AWS_ACCESS_KEY_ID");
    QTest::newRow("a credentials file's profile") << noKeys + QStringList{"AWS_SHARED_CREDENTIALS_FILE=FILE", "AWS_PROFILE=ci"} << QByteArray() << QByteArray();
    QTest::newRow("an immutable object with other bytes") << QStringList() << QByteArray("version X") << QByteArray("it is never overwritten");
}

void S3StoreTest::refusals()
{
    QFETCH(QStringList, environment);
    QFETCH(QByteArray, planted);
    QFETCH(QByteArray, error);
    const QString prefix = QStringLiteral("refused"), bucket = newBucket(prefix), changed = storedPath("version 1");
    TempFolder site, folder;
    QCOMPARE(release(site, "1", true).exitCode, 0);
    const QString file = folder.write("credentials", ("[ci]\naws_access_key_id=" + m_env.value("AWS_ACCESS_KEY_ID")
                                                      + "\naws_secret_access_key=" + m_env.value("AWS_SECRET_ACCESS_KEY")).toLatin1());
    QProcessEnvironment env = m_env;
    for (const QString &setting : environment) {
        const QString name = setting.section('=', 0, 0), value = setting.section('=', 1).replace("FILE", file);
        value.isEmpty() ? env.remove(name) : env.insert(name, value);
    }
    if (!planted.isEmpty())
        QCOMPARE(storeRequest("PUT", bucket + '/' + prefix + '/' + changed, planted), 200);
    const Result uploaded = publisher({"upload", "--site", site.path(), "--to", "s3://" + bucket + '/' + prefix,
                                       "--endpoint", m_endpoint}, &env);
    QCOMPARE(uploaded.exitCode, error.isEmpty() ? 0 : 1);
    QVERIFY2(uploaded.err.contains(error), uploaded.err.constData());
    // Refused, the store serves no entry point (readers without the right
    // to list are told 403), and a planted object stays.
    const Result stamp = runProcess("curl", {"-s", "-o", "/dev/null", "-w", "%{http_code}",
                                             readUrl(bucket, prefix) + "KVTA/ZE/UpdateNote.xml"}, m_env);
    QCOMPARE(stamp.out, error.isEmpty() ? QByteArray("200") : QByteArray("403"));
    if (!planted.isEmpty())
        QCOMPARE(runProcess("curl", {"-s", readUrl(bucket, prefix) + changed}, m_env).out, planted);
}

void S3StoreTest::pruneKeepsWhatKeptReleasesNeed()
{
    // Three releases, one changed file each: keeping one leaves the newest
    // whole and takes the two older files and release folders, listed first
    // by --dry-run exactly as prune then removes them.
    const QString prefix = QStringLiteral("pruned"), bucket = newBucket(prefix);
    TempFolder site;
    for (const QByteArray version : {"1", "2", "3"}) {
        QCOMPARE(release(site, version, true).exitCode, 0);
        QCOMPARE(upload(site, bucket, prefix).exitCode, 0);
    }
    const QStringList prune{"prune", "--to", "s3://" + bucket + '/' + prefix, "--endpoint", m_endpoint,
                            "--keep-releases", "1"};
    Result listed = publisher(prune + QStringList{"--dry-run"});
    const Result pruned = publisher(prune);
    QCOMPARE(listed.exitCode + pruned.exitCode, 0);
    QCOMPARE(listed.out.replace("would remove ", "remove ").replace("Would remove", "Removed"), pruned.out);
    // The two stored files and two release folders of four files each.
    QVERIFY2(pruned.out.contains("Removed 10 files") && pruned.out.contains("remove " + storedPath("version 1").toLatin1())
                 && pruned.out.contains("remove " + storedPath("version 2").toLatin1()),
             pruned.out.constData());
    const Result checked = publisher({"check", readUrl(bucket, prefix), "--public-key", m_keys.path("k.pub")});
    QVERIFY2(checked.exitCode == 0 && checked.out.contains("version 3"), checked.out.constData());
    QCOMPARE(publisher(prune).out, QByteArray("Removed 0 files, 0 bytes; 1 releases kept\n"));
}

void S3StoreTest::clientInstallsFromTheStore_data()
{
    QTest::addColumn<bool>("signedMode");
    QTest::newRow("unsigned mode") << false;
    QTest::newRow("signed mode") << true;
}

void S3StoreTest::clientInstallsFromTheStore()
{
    // The real updater, its base URL the store's read endpoint under a
    // Chinese prefix, installs each release that upload put there.
    QFETCH(bool, signedMode);
    const QString prefix = QStringLiteral("客户端"), bucket = newBucket(prefix);
    TempFolder site;
    DriverAppFolder client("0.5\r\n");
    for (const QByteArray version : {"1", "2"}) {
        QCOMPARE(release(site, version, signedMode).exitCode, 0);
        QCOMPARE(upload(site, bucket, prefix, signedMode).exitCode, 0);
        QProcess driver;
        driver.start(QStringLiteral(RUN_DRIVER),
                     QStringList{client.path(), readUrl(bucket, prefix)}
                         + (signedMode ? QStringList{"--public-key=" + QString::fromLatin1(m_keyLine)} : QStringList()));
        const DriverEnding ending = finishDriver(driver);
        QCOMPARE(ending.exitCode, 0);
        QVERIFY2(ending.messages.value(0).text.endsWith(QStringLiteral("请重新登录系统！")),
                 qPrintable(ending.messages.value(0).text + ending.errors));
        QCOMPARE(client.read(QStringLiteral("Update.inf")), version + "\r\n");
        QCOMPARE(client.read(QStringLiteral("说明 文档.txt")), "version " + version);
        QCOMPARE(client.read(QStringLiteral("客户端.exe")), patternBytes(300000, 1));
    }
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (QStandardPaths::findExecutable(QStringLiteral("radosgw")).isEmpty()) {
        std::fputs("skipped: Ceph's radosgw is not installed (scripts/common.sh installs it)\n", stdout);
        return 77;
    }
    S3StoreTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_s3store.moc"

// The pure pieces of publishing into an object store, in-process: the
// metadata each site path carries, the order of an upload, where a bucket
// prefix's keys go on the wire, and credentials files.

#include "publish/objectmetadata.h"
#include "publish/s3credentials.h"
#include "publish/s3location.h"
#include "publish/uploadplan.h"
#include "platform/core/error.h"

#include <QTest>

using publish::ObjectMetadata;
using Kind = ObjectMetadata::Kind;

class S3RulesTest : public QObject
{
    Q_OBJECT
private slots:
    void metadataPerPath_data();
    void metadataPerPath();
    void uploadOrder();
    void keysOnTheWire();
    void credentialsFile_data();
    void credentialsFile();
};

void S3RulesTest::metadataPerPath_data()
{
    const QByteArray keptForever = "public, max-age=31536000, immutable";
    const QByteArray digest(64, 'a'), binary = "application/octet-stream";
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("cacheControl");
    QTest::newRow("stored file") << "KVTA/ZE/files/aa/" + digest << Kind::Immutable << binary << keptForever;
    QTest::newRow("compressed form") << "KVTA/ZE/zst/" + digest + ".zst" << Kind::Immutable
                                     << QByteArray("application/zstd") << keptForever;
    QTest::newRow("release folder copy") << "KVTA/ZE/releases/" + digest + "/UpdateNote.xml" << Kind::Immutable
                                         << QByteArray("text/plain") << keptForever;
    for (const char *fixed : {"KVTA/ZE/LoadUpdate.sha256", "KVTA/ZE/LoadUpdate.sha256.minisig",
                              "KVTA/ZE/LoadUpdate.inf", "KVTA/ZE/UpdateNote.xml"})
        QTest::newRow(fixed) << QByteArray(fixed) << Kind::Fixed << QByteArray("text/plain") << QByteArray("no-cache");
    QTest::newRow("hand-made file") << QByteArray("0001files/a.dll") << Kind::Plain << binary << QByteArray("no-cache");
    QTest::newRow("a folder named like one") << QByteArray("KVTA/ZE/filesx/a") << Kind::Plain << binary << QByteArray("no-cache");
}

void S3RulesTest::metadataPerPath()
{
    QFETCH(QByteArray, path);
    QFETCH(Kind, kind);
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, cacheControl);
    const ObjectMetadata metadata = publish::objectMetadata(path);
    QCOMPARE(metadata.kind, kind);
    QCOMPARE(metadata.contentType, contentType);
    QCOMPARE(metadata.cacheControl, cacheControl);
}

void S3RulesTest::uploadOrder()
{
    // Content first, the entry point after it in the order clients need:
    // index, signature, manifest, the stamp last. An immutable object the
    // store holds with another size is a conflict, never a step.
    const QByteArray digest(64, 'b');
    const QList<QByteArray> paths{"KVTA/ZE/UpdateNote.xml", "KVTA/ZE/LoadUpdate.inf", "KVTA/ZE/LoadUpdate.sha256.minisig",
                                  "KVTA/ZE/releases/" + digest + "/LoadUpdate.inf", "KVTA/ZE/LoadUpdate.sha256",
                                  "KVTA/ZE/zst/" + digest + ".zst", "KVTA/ZE/files/bb/" + digest, "KVTA/ZE/files/cc/c"};
    QList<publish::SiteObject> site;
    for (const QByteArray &path : paths)
        site.append({path, {}, 5, {}});
    const publish::UploadPlan plan =
        publish::uploadPlan(site, {{"KVTA/ZE/files/cc/c", 4}, {"KVTA/ZE/UpdateNote.xml", 4}, {"KVTA/ZE/files/bb/" + digest, 5}});
    QStringList content, entry;
    for (const auto &step : plan.content + plan.entry)
        (step.metadata.kind == Kind::Fixed ? entry : content)
            << QString::fromLatin1(step.object.path) + (step.present ? QStringLiteral(" (present)") : QString());
    QCOMPARE(content, (QStringList{"KVTA/ZE/files/bb/" + digest + " (present)", "KVTA/ZE/zst/" + digest + ".zst",
                                   "KVTA/ZE/releases/" + digest + "/LoadUpdate.inf"}));
    QCOMPARE(entry, (QStringList{"KVTA/ZE/LoadUpdate.sha256", "KVTA/ZE/LoadUpdate.sha256.minisig",
                                 "KVTA/ZE/LoadUpdate.inf", "KVTA/ZE/UpdateNote.xml (present)"}));
    QCOMPARE(plan.conflicts.size(), 1);
    QVERIFY(plan.conflicts.first().startsWith(QStringLiteral("KVTA/ZE/files/cc/c: ")));
}

void S3RulesTest::keysOnTheWire()
{
    // Encoded as the signature canonicalises them; the query sorted, each with its '='.
    const auto location = publish::S3Location::parse(QStringLiteral("s3://updates/发布/a b+c/"), "http://127.0.0.1:7480/", {});
    QCOMPARE(location.objectUrl("KVTA/ZE/UpdateNote.xml"),
             QByteArray("http://127.0.0.1:7480/updates/%E5%8F%91%E5%B8%83/a%20b%2Bc/KVTA/ZE/UpdateNote.xml"));
    QCOMPARE(location.listUrl("t/1"), QByteArray("http://127.0.0.1:7480/updates?continuation-token=t%2F1&encoding-type=url"
                                                 "&list-type=2&prefix=%E5%8F%91%E5%B8%83%2Fa%20b%2Bc%2F"));
    QCOMPARE(location.readUrl(), QStringLiteral("http://127.0.0.1:7480/updates/%E5%8F%91%E5%B8%83/a%20b%2Bc/"));
    QCOMPARE(location.sitePath(location.key("KVTA/ZE/a")), QByteArray("KVTA/ZE/a"));
    QCOMPARE(publish::S3Location::parse("s3://updates", {}, "eu-west-1").readUrl(),
             QStringLiteral("https://s3.eu-west-1.amazonaws.com/updates/"));
    QVERIFY_THROWS_EXCEPTION(platform::Error, publish::S3Location::parse("s3://UP", {}, {}));
}

void S3RulesTest::credentialsFile_data()
{
    QTest::addColumn<QByteArray>("profile");
    QTest::addColumn<QByteArray>("access"); // empty: none found
    QTest::addColumn<QByteArray>("token");
    QTest::newRow("default profile") << QByteArray("default") << QByteArray("AK1") << QByteArray();
    QTest::newRow("named profile, CRLF, a token") << QByteArray("ci") << QByteArray("AK2") << QByteArray("T2");
    QTest::newRow("no such profile") << QByteArray("other") << QByteArray() << QByteArray();
    QTest::newRow("no secret") << QByteArray("half") << QByteArray() << QByteArray();
}

void S3RulesTest::credentialsFile()
{
    QFETCH(QByteArray, profile);
    QFETCH(QByteArray, access);
    QFETCH(QByteArray, token);
    const auto found = publish::credentialsInFile("# keys\n[default]\naws_access_key_id = AK1\naws_secret_access_key=SK1\n"
                                                  "[ci]\r\nAWS_ACCESS_KEY_ID=AK2\r\naws_secret_access_key = SK2\r\n"
                                                  "aws_session_token = T2\r\n[half]\naws_access_key_id=AK3\n",
                                                  profile);
    QCOMPARE(found ? found->accessKey + '/' + found->sessionToken : QByteArray(), access.isEmpty() ? access : access + '/' + token);
}

QTEST_GUILESS_MAIN(S3RulesTest)
#include "tst_s3rules.moc"

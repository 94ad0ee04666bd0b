#include "download/cls_download.h"
#include "download/status.h"
#include "platform/core/error.h"
#include "platform/net/requestsahead.h"
#include "update/errortext.h"

#include "support/quicklimits.h"
#include "support/tempfolder.h"
#include "support/testcertificates.h"
#include "support/testserver.h"

#include <QCryptographicHash>
#include <QTest>

#include <optional>
#include <unistd.h>
#include <vector>

using download::Cls_DownLoad;
using download::DLOutcome;
namespace DLStatus = download::DLStatus;

namespace {

struct Progress
{
    QString url;
    std::int32_t downloaded;
    std::int32_t filesize;
    std::int32_t speed;
};

// Everything one engine reported, in order.
struct Recorder
{
    explicit Recorder(Cls_DownLoad &engine)
    {
        QObject::connect(&engine, &Cls_DownLoad::entDLFileStatus, [this](std::int32_t s) { statuses.push_back(s); });
        QObject::connect(&engine, &Cls_DownLoad::entDLFileDowning,
                         [this](const QString &u, std::int32_t d, std::int32_t f, std::int32_t s) {
                             progress.push_back({u, d, f, s});
                         });
    }
    std::vector<std::int32_t> statuses;
    std::vector<Progress> progress;
};

using Statuses = std::vector<std::int32_t>;
const Statuses whole{1, 2, 3, 4, 9, 6};
const Statuses urlFailed{1, 2, 8, 6};

// A client that retries within milliseconds, so that every test stays short.
std::shared_ptr<platform::HttpClient> quickClient(int idleMs = 1000)
{
    auto client = std::make_shared<platform::HttpClient>();
    client->setLimits(quickLimits(idleMs));
    return client;
}

// A request sent before the engine's call, answered by the time it is taken.
platform::PendingUrl sentEarly(platform::HttpClient &client, const QString &url)
{
    platform::PendingUrl sent = *client.startUrl(url);
    QTest::qWait(100);
    return sent;
}

// The ends and retries that a client's transfers reported, in order, by file name.
struct Heard : platform::TransferObserver
{
    void retryWaiting(const QString &url, const platform::Error &, std::chrono::milliseconds) override
    {
        lines << "retry " + QUrl(url).fileName();
    }
    void retryStarted(const QString &) override {}
    void transferEnded(const platform::TransferReport &done) override { lines << "end " + QUrl(done.url).fileName(); }
    QStringList lines;
};

class NoSessionClient : public platform::HttpClient
{
public:
    std::unique_ptr<platform::HttpSession> openSession(const QByteArray &) override { return nullptr; }
};

} // namespace

Q_DECLARE_METATYPE(TestServer::Route)

class DownloadTest : public QObject
{
    Q_OBJECT

private slots:
    void wholeBodies_data();
    void wholeBodies();
    void requestHeaders();
    void chunkedBodyHasNoSize();
    void redirectIsFollowed();
    void errorStatusIsAFailedOpen_data();
    void errorStatusIsAFailedOpen();
    void refusedConnection();
    void cutShortBodyBreaksOff();
    void stalledTransferTimesOut();
    void silentServerFailsTheOpen();
    void sizeBeyond32BitsIsTooLarge();
    void stopAfterCurrentBlock();
    void staleStopIsCleared();
    void speedRule_data();
    void speedRule();
    void nestedCallDuringYield();
    void missingFolderFailsAfterStatus4();
    void longerOldFileIsCut();
    void sessionThatCannotOpen();
    void resumesABrokenBody_data();
    void resumesABrokenBody();
    void brokenBodyIsNeverSpliced_data();
    void brokenBodyIsNeverSpliced();
    void cutDownloadGoesOnLater_data();
    void cutDownloadGoesOnLater();
    void partialRecordReadsBack();
    void onlyARealBodyCounts_data();
    void onlyARealBodyCounts();
    void retriesWhatIsWorthRetrying_data();
    void retriesWhatIsWorthRetrying();
    void refusedConnectionThatComesBack();
    void windowRunsDuringARetryWait();
    void speedFallsDuringARetryWait();
    void https_data();
    void https();
    void requestsSentAhead_data();
    void requestsSentAhead();

private:
    TestServer m_server;
    TempFolder m_dir;
};

void DownloadTest::wholeBodies_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("timeout");
    QTest::addColumn<bool>("early");
    QTest::newRow("empty") << 0 << 5000 << false;
    QTest::newRow("one byte") << 1 << 5000 << false;
    QTest::newRow("exactly one block") << 512 << 0 << false;
    QTest::newRow("three blocks, last short") << 1300 << -1 << false;
    QTest::newRow("three blocks, request sent earlier") << 1300 << 5000 << true;
    QTest::newRow("five MiB") << 5 * 1024 * 1024 << 5000 << false;
}

void DownloadTest::wholeBodies()
{
    QFETCH(int, size);
    QFETCH(int, timeout);
    QFETCH(bool, early);
    const QByteArray body = patternBytes(size, size);
    m_server.setFile("/file.bin", body);
    m_server.clearRequests();
    const QString target = m_dir.path("whole.bin");

    const auto client = quickClient();
    Cls_DownLoad engine(client);
    engine.setComputesDigest(true);
    const QString url = m_server.url("file.bin");
    std::optional<platform::PendingUrl> sent;
    if (early)
        sent = sentEarly(*client, url);
    Recorder rec(engine);
    const std::int32_t result =
        sent ? engine.DLFile(url, std::move(*sent), target, timeout) : engine.DLFile(url, target, timeout);

    QCOMPARE(result, size);
    QCOMPARE(m_server.requests().size(), 1);
    QCOMPARE(engine.lastOutcome().sha256, QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex());
    QCOMPARE(rec.statuses, whole);
    QVERIFY(QFileInfo::exists(target));
    QVERIFY(m_dir.read("whole.bin") == body);

    const std::size_t blocks = (size + 511) / 512;
    QCOMPARE(rec.progress.size(), blocks);
    std::int32_t total = 0;
    for (const Progress &p : rec.progress) {
        const std::int32_t block = p.downloaded - total;
        QVERIFY(block == 512 || (&p == &rec.progress.back() && block > 0 && block < 512));
        total = p.downloaded;
        QCOMPARE(p.filesize, size);
        QCOMPARE(p.url, m_server.url("file.bin"));
    }
    QVERIFY(engine.lastOutcome().isWhole());
    QCOMPARE(engine.lastOutcome().announcedSize, size);
}

void DownloadTest::requestHeaders()
{
    m_server.clearRequests();
    // A server that compresses whatever the client accepts: we accept
    // nothing but the bytes as stored.
    TestServer::Route route;
    route.body = QByteArray(20000, 'z');
    route.compressWhenAsked = true;
    m_server.setRoute("/h", route);
    Cls_DownLoad engine(quickClient());
    QCOMPARE(engine.DLFile(m_server.url("h"), m_dir.path("h"), 5000), 20000);
    QCOMPARE(m_dir.read("h"), route.body);
    QVERIFY(!m_server.requests().value(0).headers.contains("accept-encoding"));
    const QList<TestServer::Request> requests = m_server.requests();
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests[0].method, QByteArray("GET"));
    QCOMPARE(requests[0].headers.value("user-agent"), QByteArray("VB Http"));
    QCOMPARE(requests[0].headers.value("cache-control"), QByteArray("no-cache"));
    QCOMPARE(requests[0].headers.value("pragma"), QByteArray("no-cache"));
}

void DownloadTest::chunkedBodyHasNoSize()
{
    TestServer::Route route;
    route.mode = TestServer::Route::Mode::Chunked;
    route.body = patternBytes(3000);
    m_server.setRoute("/chunked", route);

    Cls_DownLoad engine(quickClient());
    Recorder rec(engine);
    QCOMPARE(engine.DLFile(m_server.url("chunked"), m_dir.path("chunked"), 5000), 3000);
    QCOMPARE(rec.statuses, whole);
    QCOMPARE(rec.progress.size(), 6u);
    for (const Progress &p : rec.progress)
        QCOMPARE(p.filesize, 0);
    QVERIFY(m_dir.read("chunked") == route.body);
    QCOMPARE(engine.lastOutcome().announcedSize, -1);
    QVERIFY(engine.lastOutcome().isWhole());
}

void DownloadTest::redirectIsFollowed()
{
    m_server.setFile("/real", "the real body");
    TestServer::Route redirect;
    redirect.status = 302;
    redirect.location = m_server.url("real").toLatin1();
    m_server.setRoute("/moved", redirect);

    Cls_DownLoad engine(quickClient());
    Recorder rec(engine);
    QCOMPARE(engine.DLFile(m_server.url("moved"), m_dir.path("moved"), 5000), 13);
    QCOMPARE(rec.statuses, whole);
    QCOMPARE(m_dir.read("moved"), QByteArray("the real body"));
}

void DownloadTest::errorStatusIsAFailedOpen_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("early");
    QTest::newRow("404") << 404 << false;
    QTest::newRow("404, request sent earlier") << 404 << true;
    QTest::newRow("500") << 500 << false;
}

void DownloadTest::errorStatusIsAFailedOpen()
{
    QFETCH(int, status);
    QFETCH(bool, early);
    m_server.setFile("/broken", "<html>error page</html>", status);
    const QString target = m_dir.write("kept.bin", "old content");

    const auto client = quickClient();
    Cls_DownLoad engine(client);
    const QString url = m_server.url("broken");
    std::optional<platform::PendingUrl> sent;
    if (early)
        sent = sentEarly(*client, url);
    Recorder rec(engine);
    QCOMPARE(sent ? engine.DLFile(url, std::move(*sent), target, 5000) : engine.DLFile(url, target, 5000), 0);
    QCOMPARE(rec.statuses, urlFailed);
    QVERIFY(rec.progress.empty());
    QCOMPARE(m_dir.read("kept.bin"), QByteArray("old content"));
    QCOMPARE(engine.lastOutcome().ending, DLOutcome::Ending::UrlFailed);
    QCOMPARE(engine.lastOutcome().httpStatus, status);

    QCOMPARE(engine.DLFile(m_server.url("broken"), m_dir.path("never.bin"), 5000), 0);
    QVERIFY(!m_dir.exists("never.bin"));
}

void DownloadTest::refusedConnection()
{
    Cls_DownLoad engine(quickClient());
    Recorder rec(engine);
    const QString url = QStringLiteral("http://127.0.0.1:%1/x").arg(unusedPort());
    QCOMPARE(engine.DLFile(url, m_dir.path("refused"), 5000), 0);
    QCOMPARE(rec.statuses, urlFailed);
    QVERIFY(!m_dir.exists("refused"));
    QCOMPARE(engine.lastOutcome().ending, DLOutcome::Ending::UrlFailed);
    QCOMPARE(engine.lastOutcome().httpStatus, 0);
}

void DownloadTest::cutShortBodyBreaksOff()
{
    TestServer::Route route;
    route.mode = TestServer::Route::Mode::CutShort;
    route.body = patternBytes(10000);
    route.sendBytes = 3000;
    m_server.setRoute("/short", route);

    Cls_DownLoad engine(quickClient());
    Recorder rec(engine);
    const std::int32_t result = engine.DLFile(m_server.url("short"), m_dir.path("short"), 5000);
    QCOMPARE(result, 3000);
    QCOMPARE(rec.statuses, whole);
    QVERIFY(m_dir.read("short") == route.body.left(3000));
    QCOMPARE(engine.lastOutcome().ending, DLOutcome::Ending::BrokeOff);
    QCOMPARE(engine.lastOutcome().announcedSize, 10000);
    QVERIFY(!engine.lastOutcome().isWhole());
}

void DownloadTest::stalledTransferTimesOut()
{
    TestServer::Route route;
    route.mode = TestServer::Route::Mode::Stall;
    route.body = patternBytes(10000);
    route.sendBytes = 1024;
    m_server.setRoute("/stall", route);

    Cls_DownLoad engine(quickClient(300));
    Recorder rec(engine);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(engine.DLFile(m_server.url("stall"), m_dir.path("stall"), 5000), 1024);
    // curl's low-speed limit, in whole seconds, over its speed of the last few seconds.
    QVERIFY(clock.elapsed() < 15000);
    QCOMPARE(rec.statuses, whole);
    QCOMPARE(engine.lastOutcome().ending, DLOutcome::Ending::BrokeOff);
}

void DownloadTest::silentServerFailsTheOpen()
{
    TestServer::Route route;
    route.mode = TestServer::Route::Mode::NoResponse;
    m_server.setRoute("/silent", route);

    Cls_DownLoad engine(quickClient(300));
    Recorder rec(engine);
    QCOMPARE(engine.DLFile(m_server.url("silent"), m_dir.path("silent"), 5000), 0);
    QCOMPARE(rec.statuses, urlFailed);
    QVERIFY(!m_dir.exists("silent"));
}

void DownloadTest::sizeBeyond32BitsIsTooLarge()
{
    TestServer::Route route;
    route.mode = TestServer::Route::Mode::CutShort;
    route.body = patternBytes(2000);
    route.sendBytes = 2000;
    route.contentLength = "5000000000";
    m_server.setRoute("/huge", route);

    Cls_DownLoad engine(quickClient());
    Recorder rec(engine);
    try {
        engine.DLFile(m_server.url("huge"), m_dir.path("huge"), 5000);
        QFAIL("no error raised");
    } catch (const platform::Error &error) {
        QCOMPARE(update::describe(error), QStringLiteral("文件超过大小上限 (须小于 2 GiB)：") + m_server.url("huge"));
    }
    QCOMPARE(rec.statuses, (Statuses{1, 2, 3, 4}));
    QVERIFY(rec.progress.empty());
    // The first block was written and the file closed on the way out.
    QCOMPARE(m_dir.read("huge"), route.body.left(512));
}

void DownloadTest::stopAfterCurrentBlock()
{
    m_server.setFile("/long", patternBytes(20000));
    Cls_DownLoad engine(quickClient());
    Recorder rec(engine);
    QObject::connect(&engine, &Cls_DownLoad::entDLFileDowning, &engine, [&engine](auto &&...) {
        engine.DLFileStop();
    });
    QCOMPARE(engine.DLFile(m_server.url("long"), m_dir.path("stopped"), 5000), 512);
    QCOMPARE(rec.statuses, (Statuses{1, 2, 3, 4, 5, 6}));
    QCOMPARE(rec.progress.size(), 1u);
    QCOMPARE(m_dir.read("stopped"), patternBytes(20000).left(512));
    QCOMPARE(engine.lastOutcome().ending, DLOutcome::Ending::Stopped);
}

void DownloadTest::staleStopIsCleared()
{
    m_server.setFile("/stale", patternBytes(5000));
    Cls_DownLoad engine(quickClient());
    Recorder rec(engine);
    QCOMPARE(engine.DLFileStop(), false);
    QCOMPARE(engine.DLFile(m_server.url("stale"), m_dir.path("stale"), 5000), 5000);
    QCOMPARE(rec.statuses, whole);
}

void DownloadTest::speedRule_data()
{
    QTest::addColumn<QList<double>>("clock"); // the start reading, then one per block
    QTest::addColumn<int>("size");
    QTest::addColumn<QList<int>>("speeds");
    QTest::newRow("within the first second") << QList<double>{10.0, 10.2, 10.4, 10.49} << 1536
                                             << QList<int>{1025, 1025, 1025};
    QTest::newRow("3000 bytes at 2 s") << QList<double>{10.0, 10.1, 10.1, 10.1, 10.1, 10.1, 12.0} << 3000
                                       << QList<int>{1025, 1025, 1025, 1025, 1025, 1500};
    QTest::newRow("halves to even") << QList<double>{10.5, 10.4, 12.5, 13.5} << 1536
                                    << QList<int>{1025, 512, 384};
    QTest::newRow("speed rounds halves to even") << QList<double>{0.0, 4.0} << 10 << QList<int>{2};
    QTest::newRow("across midnight") << QList<double>{86399.6, 86399.9, 0.3, 2.0} << 1536
                                     << QList<int>{1025, 1025, 1025};
}

void DownloadTest::speedRule()
{
    QFETCH(QList<double>, clock);
    QFETCH(int, size);
    QFETCH(QList<int>, speeds);
    m_server.setFile("/speed", patternBytes(size));
    qsizetype tick = 0;
    Cls_DownLoad engine(quickClient(), [&] { return clock.value(tick++, clock.last()); });
    Recorder rec(engine);
    engine.DLFile(m_server.url("speed"), m_dir.path("speed"), 5000);
    QList<int> seen;
    for (const Progress &p : rec.progress)
        seen.append(p.speed);
    QCOMPARE(seen, speeds);
}

void DownloadTest::nestedCallDuringYield()
{
    m_server.setFile("/outer", patternBytes(4000, 7));
    m_server.setFile("/inner", patternBytes(2000, 8));
    Cls_DownLoad engine(quickClient());
    Recorder rec(engine);
    std::int32_t inner = -1;
    QObject::connect(&engine, &Cls_DownLoad::entDLFileDowning, &engine,
                     [&](const QString &url, std::int32_t, std::int32_t, std::int32_t) {
                         if (inner < 0 && url.endsWith(QLatin1String("outer")))
                             inner = engine.DLFile(m_server.url("inner"), m_dir.path("inner"), 5000);
                     });
    QCOMPARE(engine.DLFile(m_server.url("outer"), m_dir.path("outer"), 5000), 4000);
    QCOMPARE(inner, 2000);
    QVERIFY(m_dir.read("outer") == patternBytes(4000, 7));
    QVERIFY(m_dir.read("inner") == patternBytes(2000, 8));
    QCOMPARE(rec.statuses, (Statuses{1, 2, 3, 4, 1, 2, 3, 4, 9, 6, 9, 6}));
    QCOMPARE(rec.progress.back().downloaded, 4000);
}

void DownloadTest::missingFolderFailsAfterStatus4()
{
    m_server.setFile("/nofolder", "abc");
    Cls_DownLoad engine(quickClient());
    Recorder rec(engine);
    try {
        engine.DLFile(m_server.url("nofolder"), m_dir.path("missing/sub/file"), 5000);
        QFAIL("no error raised");
    } catch (const platform::Error &error) {
        QCOMPARE(error.code(), platform::Error::Code::PathNotFound);
        QVERIFY(update::describe(error).contains(QLatin1String("missing/sub/file")));
    }
    QCOMPARE(rec.statuses, (Statuses{1, 2, 3, 4}));
}

void DownloadTest::longerOldFileIsCut()
{
    m_server.setFile("/new", "new");
    const QString target = m_dir.write("cut.bin", patternBytes(4096));
    Cls_DownLoad engine(quickClient());
    QCOMPARE(engine.DLFile(m_server.url("new"), target, 5000), 3);
    QCOMPARE(m_dir.read("cut.bin"), QByteArray("new"));
}

void DownloadTest::sessionThatCannotOpen()
{
    Cls_DownLoad engine(std::make_shared<NoSessionClient>());
    Recorder rec(engine);
    QCOMPARE(engine.DLFile(m_server.url("file.bin"), m_dir.path("nosession"), 5000), 0);
    QCOMPARE(rec.statuses, (Statuses{1, 7}));
    QCOMPARE(engine.lastOutcome().ending, DLOutcome::Ending::SessionFailed);
    QVERIFY(!m_dir.exists("nosession"));
}

void DownloadTest::resumesABrokenBody_data()
{
    QTest::addColumn<QList<qint64>>("cuts");
    QTest::addColumn<bool>("reset");
    QTest::addColumn<bool>("etag"); // else Last-Modified
    QTest::addColumn<bool>("stall"); // the first response stalls at the cut until the idle limit
    QTest::newRow("closed once, ETag") << QList<qint64>{100000} << false << true << false;
    QTest::newRow("closed inside the first block, Last-Modified") << QList<qint64>{100} << false << false << false;
    QTest::newRow("reset at three offsets") << QList<qint64>{1, 70001, 300000} << true << true << false;
    QTest::newRow("closed one byte before the end") << QList<qint64>{399999} << false << true << false;
    QTest::newRow("idle limit, longer than the retry window") << QList<qint64>{150000} << false << true << true;
}

void DownloadTest::resumesABrokenBody()
{
    QFETCH(QList<qint64>, cuts);
    QFETCH(bool, reset);
    QFETCH(bool, etag);
    QFETCH(bool, stall);
    TestServer::Route route;
    route.body = patternBytes(400000, 3);
    route.cuts = cuts;
    route.resetAtCut = reset;
    (etag ? route.etag : route.lastModified) = etag ? "\"v1\"" : "Tue, 01 Dec 2026 10:00:00 GMT";
    auto client = quickClient();
    if (stall) {
        route.afterwards = std::make_shared<TestServer::Route>(route);
        route.mode = TestServer::Route::Mode::Stall;
        route.sendBytes = cuts[0];
        route.servings = 1;
        // The wait for the idle limit is no wait before a retry.
        platform::NetworkLimits limits = client->limits();
        limits.retryWindow = std::chrono::milliseconds(500);
        client->setLimits(limits);
    }
    m_server.setRoute("/resumed", route);
    m_server.clearRequests();

    Cls_DownLoad engine(client);
    Recorder rec(engine);
    QCOMPARE(engine.DLFile(m_server.url("resumed"), m_dir.path("resumed"), 5000), 400000);
    QCOMPARE(rec.statuses, whole);
    QVERIFY(m_dir.read("resumed") == route.body);
    QVERIFY(engine.lastOutcome().isWhole());
    // One continuous body: a progress event per full block, the size never changing.
    QCOMPARE(rec.progress.size(), std::size_t((400000 + 511) / 512));
    QCOMPARE(rec.progress.back().filesize, 400000);

    const QList<TestServer::Request> requests = m_server.requests();
    QCOMPARE(requests.size(), cuts.size() + 1);
    QVERIFY(!requests[0].headers.contains("range"));
    for (qsizetype i = 1; i < requests.size(); ++i) {
        QCOMPARE(requests[i].headers.value("if-range"), etag ? route.etag : route.lastModified);
        if (!reset)
            QCOMPARE(requests[i].headers.value("range"), "bytes=" + QByteArray::number(cuts[i - 1]) + '-');
    }
}

namespace {

// How the server answers the request for the rest.
enum class Rest { Honest, IgnoresRange, OtherVersion, OtherLength, OtherOffset };

} // namespace

void DownloadTest::brokenBodyIsNeverSpliced_data()
{
    using Mode = TestServer::Route::Mode;
    QTest::addColumn<int>("mode");
    QTest::addColumn<QByteArray>("etag");
    QTest::addColumn<int>("rest");
    QTest::addColumn<bool>("reset");
    QTest::addColumn<int>("requests");
    QTest::newRow("server ignores Range (200)") << int(Mode::Normal) << QByteArray("\"a\"") << int(Rest::IgnoresRange)
                                                << false << 2;
    QTest::newRow("ETag changed (200)") << int(Mode::Normal) << QByteArray("\"a\"") << int(Rest::OtherVersion) << false
                                        << 2;
    QTest::newRow("206 of another total") << int(Mode::Normal) << QByteArray("\"a\"") << int(Rest::OtherLength)
                                          << false << 2;
    QTest::newRow("206 from another offset") << int(Mode::Normal) << QByteArray("\"a\"") << int(Rest::OtherOffset)
                                             << false << 2;
    QTest::newRow("no validator: no resume") << int(Mode::Normal) << QByteArray() << int(Rest::Honest) << false << 1;
    QTest::newRow("chunked without its last chunk") << int(Mode::Chunked) << QByteArray("\"a\"") << int(Rest::Honest)
                                                    << false << 1;
}

void DownloadTest::brokenBodyIsNeverSpliced()
{
    QFETCH(int, mode);
    QFETCH(QByteArray, etag);
    QFETCH(int, rest);
    QFETCH(bool, reset);
    QFETCH(int, requests);
    TestServer::Route route;
    route.mode = TestServer::Route::Mode(mode);
    route.body = patternBytes(100000, 4);
    route.etag = etag;
    route.ignoreRange = Rest(rest) == Rest::IgnoresRange;
    route.rangeShift = Rest(rest) == Rest::OtherOffset ? 512 : 0;
    route.cuts = {30000};
    route.resetAtCut = reset;
    if (Rest(rest) == Rest::OtherVersion || Rest(rest) == Rest::OtherLength) {
        route.servings = 1;
        route.afterwards = std::make_shared<TestServer::Route>();
        route.afterwards->body = patternBytes(Rest(rest) == Rest::OtherLength ? 120000 : 100000, 5);
        route.afterwards->etag = Rest(rest) == Rest::OtherLength ? etag : QByteArray("\"b\"");
    }
    m_server.setRoute("/spliced", route);
    m_server.clearRequests();

    Cls_DownLoad engine(quickClient());
    Recorder rec(engine);
    const std::int32_t result = engine.DLFile(m_server.url("spliced"), m_dir.path("spliced"), 5000);
    QVERIFY(result <= 30000);
    QCOMPARE(rec.statuses, whole);
    QCOMPARE(engine.lastOutcome().ending, DLOutcome::Ending::BrokeOff);
    QVERIFY(!engine.lastOutcome().isWhole());
    QVERIFY(engine.lastOutcome().failure.has_value());
    QVERIFY(m_dir.read("spliced") == route.body.left(result));
    QCOMPARE(m_server.requests().size(), requests);
}

namespace {

// What stands at the cut file before the later call.
enum class AtHand { Kept, Replaced, Grown, SecondName };

} // namespace

void DownloadTest::cutDownloadGoesOnLater_data()
{
    QTest::addColumn<QByteArray>("etag");
    QTest::addColumn<QByteArray>("lastModified");
    QTest::addColumn<int>("atHand");
    QTest::addColumn<bool>("goesOn");
    const QByteArray none;
    QTest::newRow("validator matches") << QByteArray("\"v1\"") << none << int(AtHand::Kept) << true;
    QTest::newRow("file replaced on the server") << QByteArray("\"v1\"") << none << int(AtHand::Replaced) << false;
    QTest::newRow("no validator") << none << none << int(AtHand::Kept) << false;
    QTest::newRow("weak ETag") << QByteArray("W/\"v1\"") << none << int(AtHand::Kept) << false;
    QTest::newRow("Last-Modified without a Date") << none << QByteArray("Tue, 01 Dec 2026 10:00:00 GMT")
                                                  << int(AtHand::Kept) << false;
    QTest::newRow("file at hand longer than the whole") << QByteArray("\"v1\"") << none << int(AtHand::Grown) << false;
    QTest::newRow("file at hand with a second name") << QByteArray("\"v1\"") << none << int(AtHand::SecondName)
                                                     << false;
}

void DownloadTest::cutDownloadGoesOnLater()
{
    QFETCH(QByteArray, etag);
    QFETCH(QByteArray, lastModified);
    QFETCH(int, atHand);
    QFETCH(bool, goesOn);
    const qsizetype size = 3 * download::PartialDownload::smallestRecorded;
    TestServer::Route route;
    route.body = patternBytes(size, 12);
    route.etag = etag;
    route.lastModified = lastModified;
    m_server.setRoute("/cut", route);
    const QString target = m_dir.path("cut");
    QFile::remove(target);
    Cls_DownLoad engine(quickClient());
    engine.setPartialRecord(m_dir.path("partial.json"));
    engine.setComputesDigest(true);
    {
        // Stopped at half, as a cancel stops it.
        const QMetaObject::Connection stop =
            QObject::connect(&engine, &Cls_DownLoad::entDLFileDowning, [&](const QString &, std::int32_t done) {
                if (done >= size / 2)
                    engine.DLFileStop();
            });
        engine.DLFile(m_server.url("cut"), target, 5000);
        QObject::disconnect(stop);
    }
    const qint64 kept = QFileInfo(target).size();
    if (AtHand(atHand) == AtHand::Replaced) {
        route.body = patternBytes(size, 13);
        route.etag = "\"v2\"";
        m_server.setRoute("/cut", route);
    } else if (AtHand(atHand) == AtHand::Grown) {
        QFile grown(target);
        QVERIFY(grown.open(QIODevice::Append) && grown.write(patternBytes(size, 14)) == size);
    } else if (AtHand(atHand) == AtHand::SecondName) {
        QCOMPARE(::link(qPrintable(target), qPrintable(m_dir.path("cut-link"))), 0);
    }
    m_server.clearRequests();
    Recorder rec(engine);
    QCOMPARE(engine.DLFile(m_server.url("cut"), target, 5000), size);
    QCOMPARE(rec.statuses, whole);
    QVERIFY(m_dir.read("cut") == route.body);
    QCOMPARE(engine.lastOutcome().sha256, QCryptographicHash::hash(route.body, QCryptographicHash::Sha256).toHex());
    QVERIFY(engine.lastOutcome().isWhole());
    const TestServer::Request request = m_server.requests().value(0);
    QCOMPARE(request.headers.value("range"), goesOn || AtHand(atHand) == AtHand::Replaced
                                                 ? "bytes=" + QByteArray::number(kept) + '-'
                                                 : QByteArray());
    QCOMPARE(engine.lastOutcome().kept, goesOn ? kept : 0);
    // Only the rest was received: the progress starts past the kept bytes.
    QCOMPARE(rec.progress.size(), std::size_t((size - engine.lastOutcome().kept + 511) / 512));
    QCOMPARE(rec.progress.back().downloaded, size);
    QVERIFY(!m_dir.exists("partial.json"));
    QFile::remove(m_dir.path("cut-link"));
}

void DownloadTest::partialRecordReadsBack()
{
    const download::PartialEntries entries{{QStringLiteral("/a/Update/x.bin"), {QStringLiteral("http://h/x"), "\"e\"", 5}},
                                           {QStringLiteral("/a/Update/读.bin"), {QStringLiteral("http://h/y"), "d", 7}}};
    const QByteArray text = download::partialRecordText(entries);
    const download::PartialEntries back = download::partialEntriesOf(text);
    QCOMPARE(back.size(), entries.size());
    for (const auto &[path, entry] : entries) {
        QCOMPARE(back.at(path).url, entry.url);
        QCOMPARE(back.at(path).validator, entry.validator);
        QCOMPARE(back.at(path).length, entry.length);
    }
    // A record cut short by a kill is no record.
    QVERIFY(download::partialEntriesOf(text.left(text.size() - 2)).empty());
}

void DownloadTest::onlyARealBodyCounts_data()
{
    using Mode = TestServer::Route::Mode;
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("contentLength");
    QTest::addColumn<bool>("whole");
    QTest::addColumn<QByteArray>("excess"); // after the body, before the next file's request
    QTest::newRow("206 to a plain GET") << int(Mode::Normal) << 206 << QByteArray() << false << QByteArray();
    QTest::newRow("204") << int(Mode::Normal) << 204 << QByteArray("0") << false << QByteArray();
    QTest::newRow("205") << int(Mode::Normal) << 205 << QByteArray("0") << false << QByteArray();
    QTest::newRow("203") << int(Mode::Normal) << 203 << QByteArray() << false << QByteArray();
    QTest::newRow("negative length") << int(Mode::Normal) << 200 << QByteArray("-5") << false << QByteArray();
    QTest::newRow("unparseable length") << int(Mode::Normal) << 200 << QByteArray("12abc") << false << QByteArray();
    // Only the server's close ends it: a cut would look the same.
    QTest::newRow("close-delimited, closed properly") << int(Mode::CloseDelimited) << 200 << QByteArray() << false
                                                      << QByteArray();
    QTest::newRow("two different lengths") << int(Mode::Normal) << 200 << QByteArray("3000\r\nContent-Length: 2000")
                                           << false << QByteArray();
    QTest::newRow("the same length twice") << int(Mode::Normal) << 200 << QByteArray("3000\r\nContent-Length: 3000")
                                           << true << QByteArray();
    QTest::newRow("chunked, no length") << int(Mode::Chunked) << 200 << QByteArray() << true << QByteArray();
    QTest::newRow("bytes past the length, then the next file")
        << int(Mode::Normal) << 200 << QByteArray() << true
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nforged");
}

void DownloadTest::onlyARealBodyCounts()
{
    QFETCH(int, mode);
    QFETCH(int, status);
    QFETCH(QByteArray, contentLength);
    QFETCH(bool, whole);
    QFETCH(QByteArray, excess);
    TestServer::Route route;
    route.mode = TestServer::Route::Mode(mode);
    route.status = status;
    // Bytes past the length show only beyond curl's first read, which takes
    // them in with the head.
    route.body = status == 204 || status == 205 ? QByteArray() : patternBytes(excess.isEmpty() ? 3000 : 200000, 6);
    route.contentLength = contentLength;
    route.excess = excess;
    m_server.setRoute("/real", route);
    const QByteArray next = patternBytes(2500, 7);
    m_server.setFile("/next", next);

    Cls_DownLoad engine(quickClient());
    Recorder rec(engine);
    const std::int32_t result = engine.DLFile(m_server.url("real"), m_dir.path("real"), 5000);
    QCOMPARE(engine.lastOutcome().isWhole(), whole);
    if (whole) {
        QCOMPARE(result, route.body.size());
        QVERIFY(m_dir.read("real") == route.body);
        const bool announced = route.mode == TestServer::Route::Mode::Normal;
        QCOMPARE(engine.lastOutcome().announcedSize, announced ? route.body.size() : -1);
    } else {
        QCOMPARE(result, 0);
        QCOMPARE(rec.statuses, urlFailed);
        QVERIFY(!m_dir.exists("real"));
    }
    // Whatever the connection brought, the next file is the server's.
    QCOMPARE(engine.DLFile(m_server.url("next"), m_dir.path("next"), 5000), 2500);
    QVERIFY(engine.lastOutcome().isWhole());
    QVERIFY(m_dir.read("next") == next);
}

void DownloadTest::retriesWhatIsWorthRetrying_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("servings"); // of that status before a 200; -1: always
    QTest::addColumn<QByteArray>("retryAfter");
    QTest::addColumn<int>("requests");
    QTest::addColumn<int>("atLeastMs");
    QTest::newRow("503 twice, then 200") << 503 << 2 << QByteArray() << 3 << 0;
    QTest::newRow("429, Retry-After 1 s") << 429 << 1 << QByteArray("1") << 2 << 900;
    QTest::newRow("408, 500, 502, 504 alike: 504 once") << 504 << 1 << QByteArray() << 2 << 0;
    QTest::newRow("404 is not retried") << 404 << -1 << QByteArray() << 1 << 0;
    QTest::newRow("503 for good: 5 attempts") << 503 << -1 << QByteArray() << 5 << 0;
}

void DownloadTest::retriesWhatIsWorthRetrying()
{
    QFETCH(int, status);
    QFETCH(int, servings);
    QFETCH(QByteArray, retryAfter);
    QFETCH(int, requests);
    QFETCH(int, atLeastMs);
    TestServer::Route failing;
    failing.status = status;
    failing.body = "<html>busy</html>";
    failing.retryAfter = retryAfter;
    failing.servings = servings;
    const QByteArray body = patternBytes(5000, 9);
    failing.afterwards = std::make_shared<TestServer::Route>();
    failing.afterwards->body = body;
    m_server.setRoute("/retried", failing);
    m_server.clearRequests();

    Cls_DownLoad engine(quickClient());
    Recorder rec(engine);
    QElapsedTimer clock;
    clock.start();
    const std::int32_t result = engine.DLFile(m_server.url("retried"), m_dir.path("retried"), 5000);
    QVERIFY(clock.elapsed() >= atLeastMs);
    QCOMPARE(m_server.requests().size(), requests);
    if (servings < 0) {
        // Ends as it always has: the URL did not open.
        QCOMPARE(result, 0);
        QCOMPARE(rec.statuses, urlFailed);
        QCOMPARE(engine.lastOutcome().httpStatus, status);
    } else {
        QCOMPARE(result, 5000);
        QCOMPARE(rec.statuses, whole);
        QVERIFY(m_dir.read("retried") == body);
    }
}

void DownloadTest::refusedConnectionThatComesBack()
{
    const quint16 port = unusedPort();
    std::unique_ptr<TestServer> server;
    QTimer::singleShot(50, [&] {
        server = std::make_unique<TestServer>(std::nullopt, port);
        server->setFile("/back", "back again");
    });
    Cls_DownLoad engine(quickClient());
    Recorder rec(engine);
    QCOMPARE(engine.DLFile(QStringLiteral("http://127.0.0.1:%1/back").arg(port), m_dir.path("back"), 5000), 10);
    QCOMPARE(rec.statuses, whole);
    QVERIFY(server && server->requests().size() == 1);
}

void DownloadTest::windowRunsDuringARetryWait()
{
    TestServer::Route busy;
    busy.status = 503;
    busy.retryAfter = "2";
    busy.servings = 1;
    busy.afterwards = std::make_shared<TestServer::Route>();
    busy.afterwards->body = "later";
    m_server.setRoute("/wait", busy);
    Cls_DownLoad engine(quickClient());
    Recorder rec(engine);
    // Stands for the cancel button: it must run while the engine waits.
    QElapsedTimer clock;
    clock.start();
    qint64 ranAt = -1;
    std::size_t statusesThen = 0;
    QTimer::singleShot(300, [&] {
        ranAt = clock.elapsed();
        statusesThen = rec.statuses.size();
    });
    QCOMPARE(engine.DLFile(m_server.url("wait"), m_dir.path("wait"), 5000), 5);
    QVERIFY2(ranAt >= 0 && ranAt < 1400, qPrintable(QString::number(ranAt)));
    QCOMPARE(statusesThen, 2u); // still sending the request
}

void DownloadTest::speedFallsDuringARetryWait()
{
    // Cut after 20000 bytes; the resume is answered 503 with Retry-After 2
    // (1.5 s at the longest here), then served.
    TestServer::Route route;
    route.body = patternBytes(40000, 11);
    route.etag = "\"s\"";
    route.cuts = {20000};
    route.servings = 1;
    TestServer::Route busy;
    busy.status = 503;
    busy.retryAfter = "2";
    busy.servings = 1;
    busy.afterwards = std::make_shared<TestServer::Route>(route);
    busy.afterwards->cuts.clear();
    busy.afterwards->servings = -1;
    route.afterwards = std::make_shared<TestServer::Route>(busy);
    m_server.setRoute("/pause", route);

    // A clock ten times as fast, so that the wait counts as seconds.
    QElapsedTimer real;
    real.start();
    Cls_DownLoad engine(quickClient(), [&] { return 100.0 + real.elapsed() / 100.0; });
    Recorder rec(engine);
    QCOMPARE(engine.DLFile(m_server.url("pause"), m_dir.path("pause"), 5000), 40000);
    QVERIFY(m_dir.read("pause") == route.body);
    QList<std::int32_t> repeated; // speeds reported while the count stood still
    for (std::size_t i = 1; i < rec.progress.size(); ++i) {
        if (rec.progress[i].downloaded == rec.progress[i - 1].downloaded)
            repeated.append(rec.progress[i].speed);
    }
    QVERIFY2(repeated.size() >= 2, qPrintable(QString::number(repeated.size())));
    for (qsizetype i = 1; i < repeated.size(); ++i)
        QVERIFY(repeated[i] < repeated[i - 1]);
    QCOMPARE(rec.statuses, whole);
}

void DownloadTest::https_data()
{
    QTest::addColumn<QString>("certificate");
    QTest::addColumn<bool>("trusted");
    QTest::addColumn<bool>("downgrade"); // redirected to plain http
    QTest::newRow("signed by the CA handed to the client") << QStringLiteral("server") << true << false;
    QTest::newRow("self-signed") << QStringLiteral("selfsigned") << false << false;
    QTest::newRow("signed for another name") << QStringLiteral("wrongname") << false << false;
    QTest::newRow("redirected to plain http") << QStringLiteral("server") << true << true;
}

void DownloadTest::https()
{
    QFETCH(QString, certificate);
    QFETCH(bool, trusted);
    QFETCH(bool, downgrade);
    static const TestCertificates certificates;
    QVERIFY(certificates.ok());
    TestServer server(certificates.server(certificate));
    const QByteArray body = patternBytes(70000, 10);
    server.setFile("/secure.bin", body);
    if (downgrade) {
        m_server.setFile("/plain.bin", body);
        TestServer::Route redirect;
        redirect.status = 302;
        redirect.location = m_server.url("plain.bin").toLatin1();
        server.setRoute("/secure.bin", redirect);
        m_server.clearRequests();
    }
    auto client = quickClient();
    client->setCaCertificates(certificates.authority());
    Cls_DownLoad engine(client);
    Recorder rec(engine);
    const std::int32_t result = engine.DLFile(server.url("secure.bin"), m_dir.path("secure.bin"), 5000);
    if (downgrade) {
        QCOMPARE(result, 0);
        QCOMPARE(rec.statuses, urlFailed);
        QCOMPARE(server.requests().size(), 1);
        QVERIFY(m_server.requests().isEmpty());
    } else if (trusted) {
        QCOMPARE(result, 70000);
        QVERIFY(m_dir.read("secure.bin") == body);
    } else {
        QCOMPARE(result, 0);
        QCOMPARE(rec.statuses, urlFailed);
        QVERIFY(server.requests().isEmpty());
        const QString failure = update::describe(*engine.lastOutcome().failure);
        QVERIFY2(failure.startsWith(QStringLiteral("服务器证书验证失败")), qPrintable(failure));
    }
}

void DownloadTest::requestsSentAhead_data()
{
    QTest::addColumn<TestServer::Route>("b"); // the second of a, b and c, all sent ahead
    QTest::addColumn<Statuses>("bStatuses");  // a's, where a stop ends a at its first block
    QTest::addColumn<QStringList>("heard");
    const QStringList inTurn{"end a", "end b", "end c"}, retried{"end a", "retry b", "end b", "end c"};
    TestServer::Route served, busy, missing, large;
    served.body = patternBytes(5000, 21);
    busy.status = 503;
    busy.servings = 1;
    busy.afterwards = std::make_shared<TestServer::Route>(served);
    missing.status = 404;
    TestServer::Route broken = served;
    broken.etag = "\"b\"";
    broken.cuts = {2000};
    large.body = patternBytes(3 * 1024 * 1024, 22);
    QTest::newRow("each in its turn, as alone") << served << whole << inTurn;
    QTest::newRow("503 before its turn: retried in its turn") << busy << whole << retried;
    QTest::newRow("404 before its turn: failed in its turn") << missing << urlFailed << inTurn;
    QTest::newRow("broke off before its turn: resumed in its turn") << broken << whole << retried;
    QTest::newRow("beyond its ring: waits on the wire") << large << whole << inTurn;
    QTest::newRow("stopped: those in flight dropped") << large << Statuses{1, 2, 3, 4, 5, 6} << QStringList{"end a"};
}

void DownloadTest::requestsSentAhead()
{
    QFETCH(TestServer::Route, b);
    QFETCH(Statuses, bStatuses);
    QFETCH(QStringList, heard);
    const bool stop = heard.size() == 1;
    m_server.setFile("/a", patternBytes(3000, 23));
    m_server.setRoute("/b", b);
    m_server.setFile("/c", patternBytes(700, 24));
    m_server.clearRequests();
    const auto client = quickClient();
    Heard reports;
    const platform::ObserverRegistration registration(client->observers(), reports);
    Cls_DownLoad engine(client);
    Recorder rec(engine);
    if (stop)
        QObject::connect(&engine, &Cls_DownLoad::entDLFileDowning, &engine, [&](auto &&...) { engine.DLFileStop(); });
    {
        platform::RequestsAhead ahead(*client);
        for (const QString name : {"a", "b", "c"})
            ahead.add(m_server.url(name), platform::CacheUse::Revalidate);
        QTRY_COMPARE(m_server.requests().size(), 3);
        for (const QString name : {"a", "b", "c"}) {
            rec.statuses.clear();
            rec.progress.clear();
            const std::int32_t written =
                engine.DLFile(m_server.url(name), ahead.take(m_server.url(name)).value(), m_dir.path(name), 5000);
            QCOMPARE(rec.statuses, name == "b" || stop ? bStatuses : whole);
            if (stop)
                break;
            QCOMPARE(qsizetype(rec.progress.size()), (written + 511) / 512);
        }
    }
    QVERIFY(bStatuses != whole || m_dir.read("b") == (b.afterwards ? b.afterwards->body : b.body));
    QCOMPARE(reports.lines, heard);
}

QTEST_GUILESS_MAIN(DownloadTest)
#include "tst_download.moc"

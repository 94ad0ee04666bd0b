#include "platform/text/codepage.h"
#include "platform/net/httpclient.h"
#include "platform/net/httprequest.h"
#include "platform/net/requesturl.h"

#include "support/quicklimits.h"
#include "support/testserver.h"

#include <QTest>

namespace {

constexpr qsizetype longestText = 1024;

// A client whose limits let a test see a time-out within a second or so.
std::unique_ptr<platform::HttpClient> quickClient(int idleMs = 1000)
{
    auto client = std::make_unique<platform::HttpClient>();
    client->setLimits(quickLimits(idleMs));
    return client;
}

// Polls the request as its callers do, sleeping in the event loop.
void waitForCompletion(platform::HttpRequest &request)
{
    while (request.readyState() != platform::HttpRequest::completed)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

} // namespace

class HttpClientTest : public QObject
{
    Q_OBJECT

private slots:
    void requestUrlEncodesOnlyWhatMust();
    void requestUrlReachesTheServerAsCodePageBytes();
    void requestCompletesWithBody();
    void requestReportsStatus();
    void refusedRequestFails();
    void silentServerTimesOut();

private:
    TestServer m_server;
    platform::HttpClient m_client;
};

void HttpClientTest::requestUrlEncodesOnlyWhatMust()
{
    const platform::CodePage gbk("GBK");
    QCOMPARE(platform::requestUrl(QStringLiteral("http://h/a/b%20c?x=1"), gbk).toEncoded(),
             QByteArray("http://h/a/b%20c?x=1"));
    QCOMPARE(platform::requestUrl(QStringLiteral("http://h/更新 1.txt"), gbk).toEncoded(),
             QByteArray("http://h/%B8%FC%D0%C2%201.txt"));
}

void HttpClientTest::requestUrlReachesTheServerAsCodePageBytes()
{
    m_server.clearRequests();
    platform::HttpRequest request(m_client, longestText);
    request.open("GET", m_server.url(QStringLiteral("程序/新 版.dll")));
    request.send();
    waitForCompletion(request);
    QCOMPARE(m_server.requests().value(0).target, QByteArray("/%B3%CC%D0%F2/%D0%C2%20%B0%E6.dll"));
}

void HttpClientTest::requestCompletesWithBody()
{
    m_server.setFile("/KVTA/ZE/UpdateNote.xml", "1.50\r\n");
    platform::HttpRequest request(m_client, longestText);
    QCOMPARE(request.readyState(), 1);
    request.open("GET", m_server.url("KVTA/ZE/UpdateNote.xml"));
    request.send();
    waitForCompletion(request);
    QCOMPARE(request.responseBody(), QByteArray("1.50\r\n"));
    QCOMPARE(request.status(), 200);
    QVERIFY(!request.failure());
}

void HttpClientTest::requestReportsStatus()
{
    platform::HttpRequest request(m_client, longestText);
    request.open("GET", m_server.url("missing"));
    request.send();
    waitForCompletion(request);
    QCOMPARE(request.status(), 404);
    QVERIFY(!request.failure());
}

void HttpClientTest::refusedRequestFails()
{
    const auto client = quickClient();
    platform::HttpRequest request(*client, longestText);
    request.open("GET", QStringLiteral("http://127.0.0.1:%1/").arg(unusedPort()));
    request.send();
    waitForCompletion(request);
    QCOMPARE(request.status(), 0);
    QVERIFY(request.failure());
}

void HttpClientTest::silentServerTimesOut()
{
    TestServer::Route route;
    route.mode = TestServer::Route::Mode::NoResponse;
    m_server.setRoute("/silent", route);
    const auto client = quickClient(300);
    platform::HttpRequest request(*client, longestText);
    request.open("GET", m_server.url("silent"));
    request.send();
    QElapsedTimer clock;
    clock.start();
    waitForCompletion(request);
    QVERIFY(clock.elapsed() < 15000);
    QCOMPARE(request.failure()->code(), platform::Error::Code::Timeout);
    QVERIFY(request.failure());
}

QTEST_GUILESS_MAIN(HttpClientTest)
#include "tst_httpclient.moc"

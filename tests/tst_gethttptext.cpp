#include "platform/core/error.h"
#include "update/errortext.h"
#include "update/gethttptext.h"

#include "support/quicklimits.h"
#include "support/testcertificates.h"
#include "support/testserver.h"

#include <QTest>

using Code = platform::Error::Code;
using update::defaultRequestFactories;
using update::GetHttpText;

class GetHttpTextTest : public QObject
{
    Q_OBJECT

public:
    GetHttpTextTest() { m_quick.setLimits(quickLimits()); }

private slots:
    void decodesTheCodePage();
    void sendsNoUserAgent();
    void errorStatusIsAnError();
    void refusedConnectionIsAnError();
    void secondFactoryIsTried();
    void noRequestObjectGivesEmptyText();
    void retriedLikeADownload_data();
    void retriedLikeADownload();
    void textIsBounded_data();
    void textIsBounded();
    void https_data();
    void https();

private:
    // The default factories, with limits that keep retries short.
    std::vector<platform::HttpRequestFactory> quickFactories() { return defaultRequestFactories(m_quick); }
    Code errorOf(const QString &url);

    TestServer m_server;
    platform::HttpClient m_client;
    platform::HttpClient m_quick;
};

Code GetHttpTextTest::errorOf(const QString &url)
{
    try {
        GetHttpText(url, quickFactories());
    } catch (const platform::Error &error) {
        return error.code();
    }
    return Code(-1);
}

void GetHttpTextTest::decodesTheCodePage()
{
    m_server.setFile("/text", "1.5 \xB8\xFC\xD0\xC2");
    QCOMPARE(GetHttpText(m_server.url("text"), defaultRequestFactories(m_client)), QStringLiteral("1.5 更新"));
}

void GetHttpTextTest::sendsNoUserAgent()
{
    // The stamp request keeps the request object's defaults, beside the
    // engine's sessions on the same client.
    m_server.setFile("/stamp", "1");
    m_server.clearRequests();
    GetHttpText(m_server.url("stamp"), defaultRequestFactories(m_client));
    QVERIFY(!m_server.requests().value(0).headers.contains("user-agent"));
}

void GetHttpTextTest::errorStatusIsAnError()
{
    m_server.setFile("/oops", "<html>server error</html>", 500);
    QCOMPARE(errorOf(m_server.url("oops")), Code::HttpStatus);
    const QString url = m_server.url("missing");
    try {
        GetHttpText(url, defaultRequestFactories(m_client));
        QFAIL("a missing file was read");
    } catch (const platform::Error &error) {
        // The status is for the log; the user is told what to do. The
        // server's port may itself contain the digits, so look past the URL.
        QCOMPARE(error.detail(), QStringLiteral("404"));
        QVERIFY(update::describe(error).contains(url));
        QVERIFY(!QString(update::describe(error)).remove(url).contains(QLatin1String("404")));
    }
}

void GetHttpTextTest::refusedConnectionIsAnError()
{
    QCOMPARE(errorOf(QStringLiteral("http://127.0.0.1:%1/x").arg(unusedPort())), Code::NetworkFailure);
}

void GetHttpTextTest::secondFactoryIsTried()
{
    m_server.setFile("/second", "2");
    int tries = 0;
    const platform::HttpRequestFactory create = defaultRequestFactories(m_client).front();
    const std::vector<platform::HttpRequestFactory> factories = {
        [&] { ++tries; return std::unique_ptr<platform::HttpRequest>(); },
        [&] { ++tries; return create(); },
    };
    QCOMPARE(GetHttpText(m_server.url("second"), factories), QStringLiteral("2"));
    QCOMPARE(tries, 2);
}

void GetHttpTextTest::noRequestObjectGivesEmptyText()
{
    const auto none = [] { return std::unique_ptr<platform::HttpRequest>(); };
    QCOMPARE(GetHttpText(m_server.url("second"), {none, none}), QString());
}

void GetHttpTextTest::retriedLikeADownload_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("servings"); // of that status before the stamp; -1: always
    QTest::addColumn<int>("requests");
    QTest::newRow("503 twice, then the stamp") << 503 << 2 << 3;
    QTest::newRow("502 for good: 5 attempts, then the error") << 502 << -1 << 5;
    QTest::newRow("404: no retry") << 404 << -1 << 1;
}

void GetHttpTextTest::retriedLikeADownload()
{
    QFETCH(int, status);
    QFETCH(int, servings);
    QFETCH(int, requests);
    TestServer::Route failing;
    failing.status = status;
    failing.body = "<html>busy</html>";
    failing.servings = servings;
    failing.afterwards = std::make_shared<TestServer::Route>();
    failing.afterwards->body = "3.0\r\n";
    m_server.setRoute("/retried", failing);
    m_server.clearRequests();
    if (servings > 0)
        QCOMPARE(GetHttpText(m_server.url("retried"), quickFactories()), QStringLiteral("3.0\r\n"));
    else
        QCOMPARE(errorOf(m_server.url("retried")), Code::HttpStatus);
    QCOMPARE(m_server.requests().size(), requests);
}

void GetHttpTextTest::textIsBounded_data()
{
    using Mode = TestServer::Route::Mode;
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("taken");
    QTest::newRow("64 KiB") << int(Mode::Normal) << 64 * 1024 << true;
    QTest::newRow("64 KiB and one byte") << int(Mode::Normal) << 64 * 1024 + 1 << false;
    QTest::newRow("chunked, 1 MiB") << int(Mode::Chunked) << 1024 * 1024 << false;
    QTest::newRow("never ends") << int(Mode::Endless) << 0 << false;
}

void GetHttpTextTest::textIsBounded()
{
    QFETCH(int, mode);
    QFETCH(int, size);
    QFETCH(bool, taken);
    TestServer::Route route;
    route.mode = TestServer::Route::Mode(mode);
    route.body = QByteArray(size, '7');
    m_server.setRoute("/long", route);
    if (taken) {
        QCOMPARE(GetHttpText(m_server.url("long"), quickFactories()).size(), size);
        return;
    }
    try {
        GetHttpText(m_server.url("long"), quickFactories());
        QFAIL("a text beyond 64 KiB was taken");
    } catch (const platform::Error &error) {
        QCOMPARE(error.code(), Code::TooLarge);
        QVERIFY(update::describe(error).contains(QLatin1String("64 KB")));
        QVERIFY(update::describe(error).contains(m_server.url("long")));
    }
}

void GetHttpTextTest::https_data()
{
    QTest::addColumn<QString>("certificate");
    QTest::addColumn<bool>("trusted");
    QTest::newRow("signed by the CA handed to the request") << QStringLiteral("server") << true;
    QTest::newRow("self-signed") << QStringLiteral("selfsigned") << false;
}

void GetHttpTextTest::https()
{
    QFETCH(QString, certificate);
    QFETCH(bool, trusted);
    static const TestCertificates certificates;
    QVERIFY(certificates.ok());
    TestServer server(certificates.server(certificate));
    server.setFile("/KVTA/ZE/UpdateNote.xml", "2.0\r\n");
    platform::HttpClient client;
    client.setLimits(quickLimits());
    client.setCaCertificates(certificates.authority());
    try {
        QCOMPARE(GetHttpText(server.url("KVTA/ZE/UpdateNote.xml"), defaultRequestFactories(client)),
                 QStringLiteral("2.0\r\n"));
        QVERIFY(trusted);
    } catch (const platform::Error &error) {
        QVERIFY(!trusted);
        QCOMPARE(error.code(), Code::Certificate);
        QVERIFY(update::describe(error).startsWith(QStringLiteral("服务器证书验证失败")));
    }
}

QTEST_GUILESS_MAIN(GetHttpTextTest)
#include "tst_gethttptext.moc"

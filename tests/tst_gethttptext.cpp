#include "platform/error.h"
#include "update/gethttptext.h"

#include "support/quicklimits.h"
#include "support/testserver.h"

#include <QTest>

using Code = platform::Error::Code;

namespace {

// The default factories, with limits that keep retries short.
std::vector<platform::HttpRequestFactory> quickFactories()
{
    const auto create = [] { return std::make_unique<platform::HttpRequest>(quickLimits()); };
    return {create, create};
}

Code errorOf(const QString &url)
{
    try {
        GetHttpText(url, quickFactories());
    } catch (const platform::Error &error) {
        return error.code();
    }
    return Code(-1);
}

} // namespace

class GetHttpTextTest : public QObject
{
    Q_OBJECT

private slots:
    void decodesTheCodePage();
    void errorStatusIsAnError();
    void refusedConnectionIsAnError();
    void secondFactoryIsTried();
    void noRequestObjectGivesEmptyText();

private:
    TestServer m_server;
};

void GetHttpTextTest::decodesTheCodePage()
{
    m_server.setFile("/text", "1.5 \xB8\xFC\xD0\xC2");
    QCOMPARE(GetHttpText(m_server.url("text")), QStringLiteral("1.5 更新"));
}

void GetHttpTextTest::errorStatusIsAnError()
{
    m_server.setFile("/oops", "<html>server error</html>", 500);
    QCOMPARE(errorOf(m_server.url("oops")), Code::HttpStatus);
    try {
        GetHttpText(m_server.url("missing"));
    } catch (const platform::Error &error) {
        QVERIFY(error.description().contains(QLatin1String("404")));
        QVERIFY(error.description().contains(m_server.url("missing")));
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
    const std::vector<platform::HttpRequestFactory> factories = {
        [&] { ++tries; return std::unique_ptr<platform::HttpRequest>(); },
        [&] { ++tries; return std::make_unique<platform::HttpRequest>(); },
    };
    QCOMPARE(GetHttpText(m_server.url("second"), factories), QStringLiteral("2"));
    QCOMPARE(tries, 2);
}

void GetHttpTextTest::noRequestObjectGivesEmptyText()
{
    const auto none = [] { return std::unique_ptr<platform::HttpRequest>(); };
    QCOMPARE(GetHttpText(m_server.url("second"), {none, none}), QString());
}

QTEST_GUILESS_MAIN(GetHttpTextTest)
#include "tst_gethttptext.moc"

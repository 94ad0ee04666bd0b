#include "platform/net/retrypolicy.h"

#include <QTest>

using Code = platform::Error::Code;

class RetryPolicyTest : public QObject
{
    Q_OBJECT

private slots:
    void curlResults_data()
    {
        QTest::addColumn<int>("result");
        QTest::addColumn<Code>("code");
        QTest::addColumn<bool>("retryable");
        QTest::newRow("refused") << int(CURLE_COULDNT_CONNECT) << Code::NetworkFailure << true;
        QTest::newRow("timed out") << int(CURLE_OPERATION_TIMEDOUT) << Code::Timeout << true;
        QTest::newRow("partial") << int(CURLE_PARTIAL_FILE) << Code::ConnectionBroken << true;
        QTest::newRow("peer") << int(CURLE_PEER_FAILED_VERIFICATION) << Code::Certificate << false;
        QTest::newRow("head too large") << int(CURLE_OUT_OF_MEMORY) << Code::BadResponse << false;
        QTest::newRow("no such host") << int(CURLE_COULDNT_RESOLVE_HOST) << Code::NetworkFailure << false;
    }
    void curlResults()
    {
        QFETCH(int, result);
        QFETCH(Code, code);
        QFETCH(bool, retryable);
        QCOMPARE(platform::ruleOf(CURLcode(result)).error, code);
        QCOMPARE(platform::ruleOf(CURLcode(result)).retryable, retryable);
    }

    void statuses_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("retryable");
        for (const int status : {408, 429, 500, 502, 503, 504})
            QTest::addRow("%d", status) << status << true;
        for (const int status : {200, 206, 404, 501})
            QTest::addRow("%d", status) << status << false;
    }
    void statuses()
    {
        QFETCH(int, status);
        QFETCH(bool, retryable);
        QCOMPARE(platform::isRetryableStatus(status), retryable);
    }

    void retryAfter_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<qint64>("ms"); // -1: none
        QTest::newRow("seconds") << QByteArray(" 120 ") << qint64(120000);
        QTest::newRow("at most a day") << QByteArray("100000") << qint64(86400000);
        QTest::newRow("date ahead") << QByteArray("Tue, 14 Nov 2023 22:14:20 GMT") << qint64(60000);
        QTest::newRow("date passed") << QByteArray("Tue, 14 Nov 2023 22:12:20 GMT") << qint64(0);
        QTest::newRow("garbage") << QByteArray("soon") << qint64(-1);
    }
    void retryAfter()
    {
        QFETCH(QByteArray, value);
        QFETCH(qint64, ms);
        const auto wait = platform::retryAfterOf(value, 1700000000); // Tue, 14 Nov 2023 22:13:20 GMT
        QCOMPARE(wait ? wait->count() : -1, ms);
    }

    void backoff_data()
    {
        QTest::addColumn<int>("n");
        QTest::addColumn<double>("spread");
        QTest::addColumn<qint64>("ms");
        QTest::newRow("first, least") << 1 << 0.0 << qint64(800);
        QTest::newRow("first, most") << 1 << 1.0 << qint64(1200);
        QTest::newRow("third") << 3 << 0.5 << qint64(4000);
        QTest::newRow("doubling stops") << 40 << 0.5 << (qint64(1000) << 20);
    }
    void backoff()
    {
        QFETCH(int, n);
        QFETCH(double, spread);
        QFETCH(qint64, ms);
        QCOMPARE(platform::backoff(std::chrono::milliseconds(1000), n, spread).count(), ms);
    }

    void contentRange_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QList<qint64>>("range"); // first, last, total; empty: none
        QTest::newRow("rest") << QByteArray("bytes 100-199/200") << QList<qint64>{100, 199, 200};
        QTest::newRow("unknown total") << QByteArray("bytes 100-199/*") << QList<qint64>{};
        QTest::newRow("unsatisfied") << QByteArray("bytes */200") << QList<qint64>{};
        QTest::newRow("other unit") << QByteArray("items 1-2/3") << QList<qint64>{};
    }
    void contentRange()
    {
        QFETCH(QByteArray, value);
        QFETCH(QList<qint64>, range);
        const auto parsed = platform::contentRangeOf(value);
        QCOMPARE(parsed ? QList<qint64>({parsed->first, parsed->last, parsed->total}) : QList<qint64>(), range);
    }
};

QTEST_APPLESS_MAIN(RetryPolicyTest)
#include "tst_retrypolicy.moc"

#include "platform/net/retrypolicy.h"
#include "update/errortext.h"

#include <QMetaEnum>
#include <QTest>

using platform::Error;
using Code = Error::Code;
using Family = Error::Family;

class ErrorTextTest : public QObject
{
    Q_OBJECT

private slots:
    void described_data()
    {
        QTest::addColumn<Code>("code");
        QTest::addColumn<Family>("family");
        QTest::addColumn<QString>("text"); // of the error that names "x" with the detail "d"
        QTest::newRow("storage") << Code::DiskFull << Family::Storage << QStringLiteral("磁盘已满,请清理磁盘空间后重试 d：x");
        QTest::newRow("network, its detail left out")
            << Code::ConnectionBroken << Family::Network
            << QStringLiteral("网络请求失败,连接中断,文件未能下载完整,请检查网络连接后重试：x");
        QTest::newRow("trust") << Code::TooLarge << Family::Trust << QStringLiteral("文件超过大小上限 d：x");
        QTest::newRow("publication") << Code::StaleRelease << Family::Publication
                                     << QStringLiteral("无法确认是否有新版本：发布签名已过期 d：x");
        QTest::newRow("input") << Code::WrongPassword << Family::Input << QStringLiteral("密钥密码错误 d：x");
    }
    void described()
    {
        QFETCH(Code, code);
        QFETCH(Family, family);
        QFETCH(QString, text);
        const Error error(code, QStringLiteral("x"), QStringLiteral("d"));
        QCOMPARE(error.family(), family);
        QCOMPARE(update::describe(error), text);
        // To a debugger, the code's name.
        QCOMPARE(QByteArray(error.what()), QMetaEnum::fromType<Code>().valueToKey(int(code)) + QByteArray(": x (d)"));
    }

    // What the window says when a run ends on an error, by the cause observed:
    // the status line's few words, then the message, which names the party
    // that failed, says that nothing was changed and what to do.
    void refusals_data()
    {
        QTest::addColumn<Code>("code");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("message");
        const QString retry = QStringLiteral("本次更新未做任何更改。\n请稍后重试；\n如果仍然失败,请联系软件供应商。");
        const QString clock =
            QStringLiteral("本次更新未做任何更改。\n请检查本机的日期和时间；\n如果日期和时间正确,请联系软件供应商。");
        // Network: the server's answer, not the user's network, when its head is beyond curl's bounds.
        QTest::newRow("network: head too large") << platform::ruleOf(CURLE_OUT_OF_MEMORY).error
                                                 << QStringLiteral("服务器的响应无效")
                                                 << QStringLiteral("服务器的响应无效。\n") + retry;
        QTest::newRow("network: reply not HTTP") << platform::ruleOf(CURLE_WEIRD_SERVER_REPLY).error
                                                 << QStringLiteral("服务器的响应无效")
                                                 << QStringLiteral("服务器的响应无效。\n") + retry;
        QTest::newRow("network: refused") << platform::ruleOf(CURLE_COULDNT_CONNECT).error
                                          << QStringLiteral("网络请求失败")
                                          << QStringLiteral("网络请求失败,无法连接更新服务器。\n本次更新未做任何更改。\n"
                                                            "请检查网络连接后重试。");
        QTest::newRow("network: bytes too slow for the time limit")
            << Code::TooSlow << QStringLiteral("下载速度过慢")
            << QStringLiteral("下载速度过慢,更新服务器在时限内未能传完数据。\n") + retry;
        QTest::newRow("trust: tampered file") << Code::DigestMismatch << QStringLiteral("文件摘要与发布索引不符")
                                              << QStringLiteral("文件摘要与发布索引不符。\n") + retry;
        // Publication: far past its end, an expiry is as likely this machine's clock.
        QTest::newRow("publication: signature expired") << Code::ExpiredRelease << QStringLiteral("发布签名已过期")
                                                        << QStringLiteral("发布签名已过期。\n") + clock;
        QTest::newRow("publication: clock behind") << Code::FutureTimestamp
                                                   << QStringLiteral("签名时间比本机时钟晚一天以上")
                                                   << QStringLiteral("签名时间比本机时钟晚一天以上。\n本次更新未做任何更改。\n"
                                                                     "请检查本机的日期和时间。");
        QTest::newRow("storage: disk full") << Code::DiskFull << QStringLiteral("磁盘已满")
                                            << QStringLiteral("磁盘已满 d：x。\n本次更新未做任何更改。\n请清理磁盘空间后重试。");
        QTest::newRow("storage: file missing")
            << Code::FileNotFound << QStringLiteral("文件未找到")
            << QStringLiteral("文件未找到 d：x。\n本次更新未做任何更改。\n请检查本程序所在的磁盘和文件夹后重试；\n"
                              "如果仍然失败,请联系软件供应商。");
    }
    void refusals()
    {
        QFETCH(Code, code);
        QFETCH(QString, status);
        QFETCH(QString, message);
        // What the error names and its detail are the log's, but for a file of this machine.
        const Error error(code, QStringLiteral("x"), QStringLiteral("d"));
        QCOMPARE(update::whatHappened(error), status);
        QCOMPARE(update::refusalText(error), message);
        QVERIFY(update::describe(error).contains(error.subject()));
    }
};

QTEST_APPLESS_MAIN(ErrorTextTest)
#include "tst_errortext.moc"

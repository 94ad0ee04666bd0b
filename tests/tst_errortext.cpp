#include "platform/net/retrypolicy.h"
#include "update/errortext.h"

#include <QMetaEnum>
#include <QRegularExpression>
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

    // The message of a run that an error ended, by the cause observed: it
    // names the party that failed, says that nothing was changed and what to do.
    void refusals_data()
    {
        QTest::addColumn<Code>("code");
        QTest::addColumn<QString>("message");
        const QString unchanged = QStringLiteral("。\n本次更新未做任何更改。\n");
        const QString retry = unchanged + QStringLiteral("请稍后重试；\n如果仍然失败,请联系软件供应商。");
        const QString clock = unchanged + QStringLiteral("请检查本机的日期和时间；\n如果日期和时间正确,请联系软件供应商。");
        // The server's answer, not the user's network, when its head is beyond curl's bounds.
        QTest::newRow("network: head too large") << platform::ruleOf(CURLE_OUT_OF_MEMORY).error << "服务器的响应无效" + retry;
        QTest::newRow("network: not HTTP") << platform::ruleOf(CURLE_WEIRD_SERVER_REPLY).error << "服务器的响应无效" + retry;
        QTest::newRow("network: refused") << platform::ruleOf(CURLE_COULDNT_CONNECT).error
                                          << "网络请求失败,无法连接更新服务器" + unchanged + "请检查网络连接后重试。";
        QTest::newRow("network: too slow") << Code::TooSlow << "下载速度过慢,更新服务器在时限内未能传完数据" + retry;
        QTest::newRow("trust: tampered file") << Code::DigestMismatch << "文件摘要与发布索引不符" + retry;
        // Far past its end, an expiry is as likely this machine's clock.
        QTest::newRow("publication: expired") << Code::ExpiredRelease << "发布签名已过期" + clock;
        QTest::newRow("publication: clock behind")
            << Code::FutureTimestamp << "签名时间比本机时钟晚一天以上" + unchanged + "请检查本机的日期和时间。";
        QTest::newRow("storage: disk full") << Code::DiskFull << "磁盘已满 d：x" + unchanged + "请清理磁盘空间后重试。";
        QTest::newRow("storage: file missing")
            << Code::FileNotFound
            << "文件未找到 d：x" + unchanged + "请检查本程序所在的磁盘和文件夹后重试；\n如果仍然失败,请联系软件供应商。";
    }
    // The status line's words are the message's first clause; what the error
    // names and its detail are the log's, but for a file of this machine.
    void refusals()
    {
        QFETCH(Code, code);
        QFETCH(QString, message);
        const Error error(code, QStringLiteral("x"), QStringLiteral("d"));
        QCOMPARE(update::refusalText(error), message);
        QCOMPARE(update::whatHappened(error), message.section(QRegularExpression(QStringLiteral("[,。 ]")), 0, 0));
    }
};

QTEST_APPLESS_MAIN(ErrorTextTest)
#include "tst_errortext.moc"

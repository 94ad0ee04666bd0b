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
};

QTEST_APPLESS_MAIN(ErrorTextTest)
#include "tst_errortext.moc"

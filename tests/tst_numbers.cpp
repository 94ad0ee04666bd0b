#include "platform/core/error.h"
#include "platform/text/numbers.h"

#include <QTest>

using namespace platform::numbers;

class NumbersTest : public QObject
{
    Q_OBJECT

private slots:
    void valueOfReadsTheLeadingNumber_data();
    void valueOfReadsTheLeadingNumber();
    void valueOfOverflow();
    void formatFixedRoundsHalvesAwayFromZero_data();
    void formatFixedRoundsHalvesAwayFromZero();
    void formatGeneral_data();
    void formatGeneral();
    void toInt32RoundsHalvesToEven_data();
    void toInt32RoundsHalvesToEven();
    void toInt32Overflow();
    void addInt32Overflow();
    void parseLocaleNumber_data();
    void parseLocaleNumber();
    void parseLocaleNumberRejectsOtherText();
};

void NumbersTest::valueOfReadsTheLeadingNumber_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("value");
    QTest::newRow("empty") << "" << 0.0;
    QTest::newRow("plain") << "1.5" << 1.5;
    QTest::newRow("trailing zero") << "1.50" << 1.5;
    QTest::newRow("CRLF ends it") << "2.25\r\n" << 2.25;
    QTest::newRow("blanks between digits") << " 1 2\t3\n4" << 1234.0;
    QTest::newRow("sign") << "-3.5" << -3.5;
    QTest::newRow("plus sign") << "+7" << 7.0;
    QTest::newRow("second point stops") << "1.2.3" << 1.2;
    QTest::newRow("comma stops") << "1,5" << 1.0;
    QTest::newRow("leading point") << ".5" << 0.5;
    QTest::newRow("trailing point") << "5." << 5.0;
    QTest::newRow("exponent E") << "1.5E3" << 1500.0;
    QTest::newRow("exponent d, negative") << "25d-1" << 2.5;
    QTest::newRow("exponent without digits") << "4e" << 4.0;
    QTest::newRow("exponent sign without digits") << "4E+x" << 4.0;
    QTest::newRow("letter stops") << "12abc" << 12.0;
    QTest::newRow("markup") << "<?xml version=\"1.0\"?>" << 0.0;
    QTest::newRow("no digit") << "abc" << 0.0;
    QTest::newRow("lone sign") << "-" << 0.0;
    QTest::newRow("hex") << "&HFF" << 255.0;
    QTest::newRow("hex lower case") << "&hff" << 255.0;
    QTest::newRow("octal") << "&O17" << 15.0;
    QTest::newRow("octal stops at 8") << "&o178" << 15.0;
    QTest::newRow("ampersand alone") << "&" << 0.0;
    QTest::newRow("full-width digit stops") << QString::fromUtf8("1２") << 1.0;
}

void NumbersTest::valueOfReadsTheLeadingNumber()
{
    QFETCH(QString, text);
    QFETCH(double, value);
    QCOMPARE(valueOf(text), value);
}

void NumbersTest::valueOfOverflow()
{
    QVERIFY_THROWS_EXCEPTION(platform::Error, valueOf(u"1e400"));
}

void NumbersTest::formatFixedRoundsHalvesAwayFromZero_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("decimals");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << 0.0 << 2 << "0.00";
    QTest::newRow("128 bytes") << 128 / 1024.0 << 2 << "0.13";
    QTest::newRow("1536 bytes") << 1536 / 1024.0 << 2 << "1.50";
    QTest::newRow("1000 bytes") << 1000 / 1024.0 << 2 << "0.98";
    QTest::newRow("517 bytes") << 517 / 1024.0 << 2 << "0.50";
    QTest::newRow("518 bytes") << 518 / 1024.0 << 2 << "0.51";
    QTest::newRow("half up, one decimal") << 0.25 << 1 << "0.3";
    QTest::newRow("half away from zero, negative") << -0.25 << 1 << "-0.3";
    QTest::newRow("0.9765625") << 0.9765625 << 1 << "1.0";
    QTest::newRow("large") << 2097151.999 << 2 << "2097152.00";
    QTest::newRow("no decimals") << 2.5 << 0 << "3";
}

void NumbersTest::formatFixedRoundsHalvesAwayFromZero()
{
    QFETCH(double, value);
    QFETCH(int, decimals);
    QFETCH(QString, text);
    QCOMPARE(formatFixed(value, decimals, QLatin1Char('.')), text);
    QCOMPARE(roundToDecimals(value, decimals), valueOf(text));
    QCOMPARE(formatFixed(value, decimals, QLatin1Char(',')), QString(text).replace(QLatin1Char('.'), QLatin1Char(',')));
}

void NumbersTest::formatGeneral_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << 0.0 << "0";
    QTest::newRow("half") << 0.5 << "0.5";
    QTest::newRow("1000 bytes") << 1000 / 1024.0 << "0.9765625";
    QTest::newRow("whole") << 1500.0 << "1500";
    QTest::newRow("one byte") << 1 / 1024.0 << "0.0009765625";
    QTest::newRow("fifteen digits") << 1.0 / 3 << "0.333333333333333";
    QTest::newRow("big") << 1e16 << "1E+16";
}

void NumbersTest::formatGeneral()
{
    QFETCH(double, value);
    QFETCH(QString, text);
    QCOMPARE(platform::numbers::formatGeneral(value), text);
    QCOMPARE(valueOf(text), value == 1.0 / 3 ? 0.333333333333333 : value);
}

void NumbersTest::toInt32RoundsHalvesToEven_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("result");
    QTest::newRow("0.5") << 0.5 << 0;
    QTest::newRow("1.5") << 1.5 << 2;
    QTest::newRow("2.5") << 2.5 << 2;
    QTest::newRow("3.5") << 3.5 << 4;
    QTest::newRow("0.51") << 0.51 << 1;
    QTest::newRow("-2.5") << -2.5 << -2;
    QTest::newRow("max") << 2147483647.0 << 2147483647;
}

void NumbersTest::toInt32RoundsHalvesToEven()
{
    QFETCH(double, value);
    QFETCH(int, result);
    QCOMPARE(toInt32(value), result);
}

void NumbersTest::toInt32Overflow()
{
    try {
        toInt32(2147483648.0);
        QFAIL("no overflow");
    } catch (const platform::Error &error) {
        QCOMPARE(error.code(), platform::Error::Code::Overflow);
    }
    QVERIFY_THROWS_EXCEPTION(platform::Error, toInt32(-2147483649.0));
    QVERIFY_THROWS_EXCEPTION(platform::Error, toInt32(std::numeric_limits<double>::quiet_NaN()));
    QVERIFY_THROWS_EXCEPTION(platform::Error, parseInt32(u"5000000000"));
    QCOMPARE(parseInt32(u"2147483647"), 2147483647);
}

void NumbersTest::addInt32Overflow()
{
    QCOMPARE(addInt32(2147483135, 512), 2147483647);
    QVERIFY_THROWS_EXCEPTION(platform::Error, addInt32(2147483136, 512));
}

void NumbersTest::parseLocaleNumber_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QChar>("point");
    QTest::addColumn<double>("value");
    QTest::newRow("point") << "1.50" << QChar('.') << 1.5;
    QTest::newRow("comma") << "1,50" << QChar(',') << 1.5;
    QTest::newRow("zero") << "0.00" << QChar('.') << 0.0;
    QTest::newRow("negative") << "-0.5" << QChar('.') << -0.5;
}

void NumbersTest::parseLocaleNumber()
{
    QFETCH(QString, text);
    QFETCH(QChar, point);
    QFETCH(double, value);
    QCOMPARE(platform::numbers::parseLocaleNumber(text, point), value);
}

void NumbersTest::parseLocaleNumberRejectsOtherText()
{
    QVERIFY_THROWS_EXCEPTION(platform::Error, platform::numbers::parseLocaleNumber(u"", QLatin1Char('.')));
    QVERIFY_THROWS_EXCEPTION(platform::Error, platform::numbers::parseLocaleNumber(u"1.5", QLatin1Char(',')));
    QVERIFY_THROWS_EXCEPTION(platform::Error, platform::numbers::parseLocaleNumber(u"abc", QLatin1Char('.')));
}

QTEST_GUILESS_MAIN(NumbersTest)
#include "tst_numbers.moc"

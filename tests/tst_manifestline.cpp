#include "platform/error.h"
#include "update/apppaths.h"
#include "update/manifestline.h"

#include <QTest>

class ManifestLineTest : public QObject
{
    Q_OBJECT

private slots:
    void wellFormed_data();
    void wellFormed();
    void refused_data();
    void refused();
    void appPathsUseThePlatformSeparator();
};

void ManifestLineTest::wellFormed_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("remote");
    QTest::addColumn<QString>("local");
    // 30 characters, the first "name" at position 20.
    QTest::newRow("position 20 of 30") << "LEADabcdefghijklmn#name#ABCDEF" << "abcdefghijklmn"
                                       << "ABCDEF";
    QTest::newRow("empty remote path") << "LEAD#name#wxyz" << "" << "wxyz";
    QTest::newRow("blanks kept") << "0001a b name  c d " << "a b" << " c d ";
    QTest::newRow("first name decides") << "0001dl/renamed.dll name new.dll" << "dl/r" << ".dll name new.dll";
    QTest::newRow("capital does not count") << "0001Name/x name y" << "Name/x" << "y";
    QTest::newRow("empty local name") << "0001a.txt name " << "a.txt" << "";
    QTest::newRow("subfolder") << "0001bin/a.dll name bin\\a.dll" << "bin/a.dll" << "bin\\a.dll";
    QTest::newRow("chinese") << QStringLiteral("0001程序/主.exe name 主.exe") << QStringLiteral("程序/主.exe")
                             << QStringLiteral("主.exe");
    QTest::newRow("dots inside a name") << "0001a..b name a..b" << "a..b" << "a..b";
}

void ManifestLineTest::wellFormed()
{
    QFETCH(QString, line);
    QFETCH(QString, remote);
    QFETCH(QString, local);
    const ManifestEntry entry = splitManifestLine(line);
    QCOMPARE(entry.sRemotePath, remote);
    QCOMPARE(entry.sFileName, local);
}

void ManifestLineTest::refused_data()
{
    QTest::addColumn<QString>("line");
    QTest::newRow("blank") << "";
    QTest::newRow("no name") << "0001a.txt NAME a.txt";
    QTest::newRow("name at 1") << "name of a file";
    QTest::newRow("name at 5") << "0001name a";
    QTest::newRow("ends after the word") << "0001a.txt name";
    QTest::newRow("parent") << "0001a name ../a";
    QTest::newRow("parent inside") << "0001a name sub/../../a";
    QTest::newRow("parent, backslash") << "0001a name ..\\a";
    QTest::newRow("absolute") << "0001a name /etc/passwd";
    QTest::newRow("absolute, backslash") << "0001a name \\a";
    QTest::newRow("drive") << "0001a name C:\\a";
}

void ManifestLineTest::refused()
{
    QFETCH(QString, line);
    try {
        splitManifestLine(line);
        QFAIL("line accepted");
    } catch (const platform::Error &error) {
        QCOMPARE(error.code(), platform::Error::Code::InvalidArgument);
    }
}

void ManifestLineTest::appPathsUseThePlatformSeparator()
{
    const AppPaths paths(QStringLiteral("/opt/client"));
    QCOMPARE(paths.path(u"\\Update\\LoadUpdate.inf"), QStringLiteral("/opt/client/Update/LoadUpdate.inf"));
    QCOMPARE(AppPaths(QStringLiteral("/")).path(u"\\Update.inf"), QStringLiteral("//Update.inf"));
}

QTEST_GUILESS_MAIN(ManifestLineTest)
#include "tst_manifestline.moc"

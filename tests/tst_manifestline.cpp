#include "platform/core/error.h"
#include "update/apppaths.h"
#include "release/localname.h"
#include "release/manifestline.h"

#include <QTest>

class ManifestLineTest : public QObject
{
    Q_OBJECT

private slots:
    void wellFormed_data();
    void wellFormed();
    void refused_data();
    void refused();
    void localNames_data();
    void localNames();
    void appPathsUseThePlatformSeparator();
    void applicationFolderOfTheExecutablePath_data();
    void applicationFolderOfTheExecutablePath();
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
    QTest::newRow("255 bytes") << "0001a name " + QString(255, QLatin1Char('x')) << "a" << QString(255, QLatin1Char('x'));
    QTest::newRow("dots, blanks, own name inside") << "0001a name  .Update.inf.bak" << "a" << " .Update.inf.bak";
    QTest::newRow("chinese") << QStringLiteral("0001程序/主.exe name 主.exe") << QStringLiteral("程序/主.exe")
                             << QStringLiteral("主.exe");
    QTest::newRow("dots inside a name") << "0001a..b name a..b" << "a..b" << "a..b";
    QTest::newRow("subfolder") << "0001bin/a.dll name bin\\a.dll" << "bin/a.dll" << "bin/a.dll";
    QTest::newRow("subfolder, slash") << "0001bin/a.dll name bin/a.dll" << "bin/a.dll" << "bin/a.dll";
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
    QTest::newRow("empty local name") << "0001a.txt name ";
    QTest::newRow("subfolder, dot part") << "0001bin/a.dll name bin\\.\\a.dll";
    QTest::newRow("subfolder, empty part") << "0001bin/a.dll name bin//a.dll";
    QTest::newRow("dot") << "0001a name .";
    QTest::newRow("256 bytes") << "0001a name " + QString(256, QLatin1Char('x'));
    QTest::newRow("86 characters, 258 bytes") << "0001a name " + QString(86, QChar(0x4E3B));
    QTest::newRow("1 MB") << "0001a name " + QString(1024 * 1024, QLatin1Char('x'));
    QTest::newRow("line feed") << "0001a name a\nb";
    QTest::newRow("tab") << "0001a name a\tb";
    QTest::newRow("NUL") << QStringLiteral("0001a name a") + QChar(0) + QStringLiteral("b");
    QTest::newRow("DEL") << "0001a name a\x7F";
    QTest::newRow("stamp") << "0001a name Update.inf";
    QTest::newRow("remote stamp") << "0001a name UpdateNote.xml";
    QTest::newRow("manifest") << "0001a name LoadUpdate.inf";
    QTest::newRow("kept release index") << "0001a name LoadUpdate.sha256";
    QTest::newRow("kept signature") << "0001a name LoadUpdate.sha256.minisig";
    QTest::newRow("working folder") << "0001a name Update";
    QTest::newRow("staged file") << "0001a name .a.updating";
    QTest::newRow("kept file") << "0001a name .a.updating-old";
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

void ManifestLineTest::localNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("path"); // empty: refused
    const QString refused;
    const QString part255(255, QLatin1Char('p'));
    QTest::newRow("flat") << "a.so" << "a.so";
    QTest::newRow("slash") << "plugins/a.so" << "plugins/a.so";
    QTest::newRow("backslash") << "locale\\zh_CN\\b.qm" << "locale/zh_CN/b.qm";
    QTest::newRow("both") << "locale/zh_CN\\b.qm" << "locale/zh_CN/b.qm";
    QTest::newRow("chinese folder") << QStringLiteral("资源\\图标.png") << QStringLiteral("资源/图标.png");
    QTest::newRow("own name below the top") << "sub/Update.inf" << "sub/Update.inf";
    QTest::newRow("255-byte parts") << part255 + '/' + part255 << part255 + '/' + part255;
    QTest::newRow("absolute") << "/etc/a" << refused;
    QTest::newRow("absolute, backslash") << "\\a\\b" << refused;
    QTest::newRow("drive") << "C:\\a" << refused;
    QTest::newRow("drive, slash") << "c:/a" << refused;
    QTest::newRow("empty part") << "a//b" << refused;
    QTest::newRow("empty part, backslash") << "a\\\\b" << refused;
    QTest::newRow("trailing separator") << "a/" << refused;
    QTest::newRow("dot part") << "a/./b" << refused;
    QTest::newRow("dot-dot part") << "a\\..\\b" << refused;
    QTest::newRow("working folder at the top") << "Update/a" << refused;
    QTest::newRow("working folder, backslash") << "Update\\a" << refused;
    QTest::newRow("stamp at the top") << "Update.inf\\a" << refused;
    QTest::newRow("run log at the top") << "Update.log/a" << refused;
    QTest::newRow("staged name below") << "a/.b.updating" << refused;
    QTest::newRow("kept name below") << "a\\.b.updating-old" << refused;
    QTest::newRow("new list below") << "a/.updating-new" << refused;
    QTest::newRow("256-byte part") << "a/" + QString(256, QLatin1Char('p')) << refused;
    QTest::newRow("258-byte chinese part") << "a/" + QString(86, QChar(0x4E3B)) << refused;
    QTest::newRow("control character in a folder") << "a\tb/c" << refused;
    const QString path4095 = QStringList(16, part255).join('/');
    QTest::newRow("4095-byte path") << path4095 << path4095;
    QTest::newRow("4096-byte path") << QStringList(15, part255).join('/') + "/a/" + QString(254, 'p') << refused;
}

void ManifestLineTest::localNames()
{
    QFETCH(QString, name);
    QFETCH(QString, path);
    QCOMPARE(localname::normalised(name).value_or(QString()), path);
}

void ManifestLineTest::appPathsUseThePlatformSeparator()
{
    const update::AppPaths paths(QStringLiteral("/opt/client"));
    QCOMPARE(paths.path(u"\\Update\\LoadUpdate.inf"), QStringLiteral("/opt/client/Update/LoadUpdate.inf"));
    QCOMPARE(update::AppPaths(QStringLiteral("/")).path(u"\\Update.inf"), QStringLiteral("//Update.inf"));
}

void ManifestLineTest::applicationFolderOfTheExecutablePath_data()
{
    QTest::addColumn<QByteArray>("exePath");
    QTest::addColumn<QString>("folder"); // empty: the paths raise
    QTest::newRow("plain") << QByteArray("/opt/client/updater") << "/opt/client";
    QTest::newRow("UTF-8") << QStringLiteral("/opt/客户端/updater").toUtf8() << QStringLiteral("/opt/客户端");
    QTest::newRow("at the root") << QByteArray("/updater") << "/";
    QTest::newRow("GBK bytes") << QByteArray("/opt/\xBF\xCD\xBB\xA7/updater") << QString();
    QTest::newRow("no folder") << QByteArray("updater") << QString();
}

void ManifestLineTest::applicationFolderOfTheExecutablePath()
{
    QFETCH(QByteArray, exePath);
    QFETCH(QString, folder);
    const update::AppPaths paths = update::AppPaths::ofExecutablePath(exePath);
    if (!folder.isEmpty()) {
        QCOMPARE(paths.folder(), folder);
        return;
    }
    QVERIFY_THROWS_EXCEPTION(platform::Error, paths.folder());
    QVERIFY_THROWS_EXCEPTION(platform::Error, paths.path(u"\\Update.inf"));
}

QTEST_GUILESS_MAIN(ManifestLineTest)
#include "tst_manifestline.moc"

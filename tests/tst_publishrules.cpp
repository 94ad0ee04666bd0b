#include "platform/core/error.h"
#include "publish/manifestlint.h"
#include "publish/releaseplan.h"
#include "publish/sizelimits.h"
#include "publish/versionstamp.h"

#include <QTest>

#include <functional>
#include <sys/stat.h>

namespace {

// The subject and rule that `check` is refused with; empty when it passes.
QString refusalOf(const std::function<void()> &check)
{
    try {
        check();
    } catch (const platform::Error &error) {
        return error.subject() + QStringLiteral(": ") + error.detail();
    }
    return {};
}

// The refusal holds the expected fragment; none is expected where the fragment is empty.
void compareRefusal(const QString &found, const QString &expected)
{
    QVERIFY2(expected.isEmpty() ? found.isEmpty() : found.contains(expected), qPrintable(found));
}

const platform::CodePage gbk("GBK");

} // namespace

class PublishRulesTest : public QObject
{
    Q_OBJECT

private slots:
    void manifestLint_data()
    {
        QTest::addColumn<QByteArray>("manifest");
        QTest::addColumn<QStringList>("problems");
        QTest::addColumn<QStringList>("remotePaths");
        const QStringList none;
        QTest::newRow("CRLF, CR") << QByteArray("0001a/b name b\r\n0002c name d\r") << none << QStringList{"a/b", "c"};
        QTest::newRow("code page") << gbk.encode(QStringLiteral("0001程序 name 主.exe")) << none
                                   << QStringList{QStringLiteral("程序")};
        QTest::newRow("LF only") << QByteArray("0001a name b\n0002c name d\n")
                                 << QStringList{"LF-only line ends", "line 1: the updater refuses the local name 'b\\n"}
                                 << none;
        QTest::newRow("blank line") << QByteArray("0001a name b\r\n\r\n0002c name d")
                                    << QStringList{"line 2: blank line"} << QStringList{"a", "c"};
        QTest::newRow("undecodable") << QByteArray("0001a name \xff\xff") << QStringList{"line 1: bytes that"} << none;
        QTest::newRow("no name") << QByteArray("0001a NAME a") << QStringList{"this line: no 'name'"} << none;
        QTest::newRow("own file") << QByteArray("0001a name Update.inf") << QStringList{"own file Update.inf"} << none;
        QTest::newRow("folder part") << QByteArray("0001a name b//c") << QStringList{"it holds a folder part"} << none;
        QTest::newRow("name in the path") << QByteArray("0001dl/renamed.dll name new.dll")
                                          << QStringList{"path 'dl/r' and local name '.dll name new.dll'"} << none;
    }
    void manifestLint()
    {
        QFETCH(QByteArray, manifest);
        QFETCH(QStringList, problems);
        QFETCH(QStringList, remotePaths);
        const publish::ManifestLint lint = publish::lintManifest(manifest, gbk);
        QCOMPARE(lint.problems.size(), problems.size());
        for (qsizetype i = 0; i < problems.size(); ++i)
            compareRefusal(lint.problems[i], problems[i]);
        QCOMPARE(lint.remotePaths, remotePaths);
    }

    void releasePlan_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<uint>("mode");
        QTest::addColumn<QString>("refusal");
        QTest::newRow("plain") << "app.exe" << uint(S_IFREG) << "";
        QTest::newRow("code page") << QStringLiteral("主.exe") << uint(S_IFREG) << "";
        QTest::newRow("link") << "a" << uint(S_IFLNK) << "a symbolic link";
        QTest::newRow("folder") << "a" << uint(S_IFDIR) << "a subfolder";
        QTest::newRow("FIFO") << "a" << uint(S_IFIFO) << "a FIFO";
        QTest::newRow("device") << "a" << uint(S_IFCHR) << "a device";
        QTest::newRow("not UTF-8") << QString(QChar::ReplacementCharacter) << uint(S_IFREG) << "not valid UTF-8";
        QTest::newRow("control") << "a\tb" << uint(S_IFREG) << "a control character";
        QTest::newRow("backslash") << "a\\b" << uint(S_IFREG) << "a backslash";
        QTest::newRow("not in GBK") << QStringLiteral("😀") << uint(S_IFREG) << "cannot be written in the code page";
        QTest::newRow("own file") << "update.INF" << uint(S_IFREG) << "the updater's own file Update.inf";
        QTest::newRow("256 bytes") << QString(256, QLatin1Char('x')) << uint(S_IFREG) << "would refuse this name";
        QTest::newRow("a path of 4096 bytes") << QStringList(17, QString(240, QLatin1Char('x'))).join(QLatin1Char('/'))
                                              << uint(S_IFREG) << "would refuse this name";
    }
    void releasePlan()
    {
        QFETCH(QString, name);
        QFETCH(uint, mode);
        QFETCH(QString, refusal);
        const publish::ReleaseFile file{name, name, {}, 0, QByteArray(64, 'a')};
        QString found = publish::kindRefusal(mode);
        if (found.isEmpty())
            found = publish::nameRefusal(name, gbk);
        if (found.isEmpty())
            found = refusalOf([&] { publish::manifestText({file}, gbk); });
        compareRefusal(found, refusal);
        // What the plan writes, the check reads as meant.
        if (found.isEmpty())
            QCOMPARE(publish::lintManifest(publish::manifestText({file, file}, gbk), gbk).remotePaths,
                     QStringList(2, QString::fromLatin1(file.remotePath())));
    }

    void versionStamp_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QByteArray>("currentStamp");
        QTest::addColumn<QString>("refusal");
        QTest::newRow("first") << "2" << QByteArray() << "";
        QTest::newRow("decimal") << "2.5" << QByteArray("2\r\n") << "";
        QTest::newRow("stamp without a number") << "1" << QByteArray("abc") << "";
        QTest::newRow("letters") << "v2" << QByteArray() << "--version v2: the version must be a decimal number";
        QTest::newRow("no decimals") << "2." << QByteArray() << "must be a decimal number";
        QTest::newRow("zero") << "0.0" << QByteArray() << "must not be 0";
        // Out of range for the updater's number rule, which names the number.
        const QString huge(400, QLatin1Char('9'));
        QTest::newRow("out of range") << huge << QByteArray() << huge + QStringLiteral(": ");
        QTest::newRow("same value") << "2" << QByteArray("2.0\r\n") << "the site's stamp 2.0 has the same value";
    }
    void versionStamp()
    {
        QFETCH(QString, version);
        QFETCH(QByteArray, currentStamp);
        QFETCH(QString, refusal);
        const QString found = refusalOf([&] { publish::checkVersion(version, currentStamp, gbk); });
        compareRefusal(found, refusal);
        // A client installed from the site counts the stamp it serves as its own.
        if (found.isEmpty())
            QCOMPARE(publish::localStamp(publish::stampText(version, gbk), {}, gbk), version.toLatin1() + "\r\n");
    }

    void sizeLimits_data()
    {
        QTest::addColumn<qint64>("file");
        QTest::addColumn<int>("over"); // the manifest, stamp, index or tree one byte over its limit; -1: none
        QTest::addColumn<QString>("refusal");
        QTest::newRow("all at the limits") << qint64(sitelayout::fileSizeLimit - 1) << -1 << "";
        QTest::newRow("file of 2 GiB") << qint64(sitelayout::fileSizeLimit) << -1 << "f: 2 GiB or larger";
        QTest::newRow("manifest") << qint64(0) << 0 << "KVTA/ZE/LoadUpdate.inf: 8388609 bytes";
        QTest::newRow("stamp") << qint64(0) << 1 << "KVTA/ZE/UpdateNote.xml: 65537 bytes";
        QTest::newRow("index") << qint64(0) << 2 << "KVTA/ZE/LoadUpdate.sha256: 16777217 bytes";
        QTest::newRow("tree") << qint64(0) << 3 << "KVTA/ZE/LoadUpdate.tree: 16777217 bytes";
    }
    void sizeLimits()
    {
        QFETCH(qint64, file);
        QFETCH(int, over);
        QFETCH(QString, refusal);
        const qint64 limits[] = {sitelayout::largestManifest, sitelayout::largestStamp, sitelayout::largestIndex,
                                 sitelayout::largestTree};
        QByteArray pieces[4];
        for (int i = 0; i < 4; ++i)
            pieces[i] = QByteArray(limits[i] + (i == over), 'x');
        compareRefusal(refusalOf([&] {
                           publish::checkFileSize(QStringLiteral("f"), file);
                           publish::checkClientLimits(pieces[0], pieces[1], pieces[2], pieces[3]);
                       }),
                       refusal);
    }
};

QTEST_GUILESS_MAIN(PublishRulesTest)
#include "tst_publishrules.moc"

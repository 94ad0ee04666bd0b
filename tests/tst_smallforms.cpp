// Smaller forms of the listed files in a signed release, end to end: the
// window in the test's process, a real HTTP server on 127.0.0.1, patches and
// compressed files made by the real zstd program, indexes signed by the real
// minisign program.

#include "app/translations.h"
#include "platform/text/codepage.h"
#include "release/sitelayout.h"

#include "support/rundriving.h"
#include "support/smalldisk.h"
#include "support/windowrun.h"

#include <QCryptographicHash>
#include <QStandardPaths>
#include <QTest>

namespace {

using Form = update::FormTaken::Form;

const QString success = QStringLiteral("恭喜您：您已更新成最新版本,请重新登录系统！");
const QByteArray plainTarget = "/files/client.dll";

QByteArray sha256(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

// A library of some 300 kB that compresses well, one release of it.
QByteArray library(int release)
{
    QByteArray text;
    for (int i = 0; i < 20000; ++i) {
        text += "symbol_" + QByteArray::number(i * 7919 % 100003);
        if (i % 997 == 0)
            text += " release " + QByteArray::number(release);
        text += '\n';
    }
    return text;
}

// A zstd frame header that the updater refuses, with one empty last block:
// `windowByte` gives the window, `contentSize` the declared size.
QByteArray craftedFrame(char windowByte, quint64 contentSize)
{
    QByteArray frame("\x28\xb5\x2f\xfd", 4);
    frame += char(0xC0); // an 8-byte content size, a window descriptor
    frame += windowByte;
    for (int i = 0; i < 8; ++i)
        frame += char(contentSize >> (8 * i));
    return frame + QByteArray("\x01\x00\x00", 3);
}

} // namespace

class SmallFormsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void formsThatWork_data();
    void formsThatWork();
    void fallbacks_data();
    void fallbacks();
    void cancelDuringARebuild_data();
    void cancelDuringARebuild();
    void fullDiskLeavesNoDownload_data();
    void fullDiskLeavesNoDownload();

private:
    // What the site offers beside the plain file: served bytes by path, and
    // the bytes whose digest the index lists for it.
    struct Offer
    {
        QByteArray path, served, listed;
    };
    QByteArray run(const QString &program, const QStringList &arguments, const QByteArray &input = {});
    QByteArray zstd(const QStringList &options, const QByteArray &content, const QByteArray &old = {});
    void publish(TestServer &server, const QByteArray &content, const QList<Offer> &offers);

    TempFolder m_work;
    QString m_publicKey; // base64, as UPDATER_PUBLIC_KEY
    QByteArray m_old = library(1), m_new = library(2);
};

QByteArray SmallFormsTest::run(const QString &program, const QStringList &arguments, const QByteArray &input)
{
    QProcess process;
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(60000) || process.exitCode() != 0)
        qWarning().noquote() << program << arguments.join(QLatin1Char(' ')) << "failed:" << process.readAllStandardError();
    return process.readAllStandardOutput();
}

// The zstd program's output for `content`; with `old`, a patch from it.
QByteArray SmallFormsTest::zstd(const QStringList &options, const QByteArray &content, const QByteArray &old)
{
    QStringList arguments = QStringList{"-q", "-f", "-c"} + options;
    if (!old.isNull())
        arguments << QStringLiteral("--patch-from=") + m_work.write(QStringLiteral("old"), old);
    return run(QStringLiteral("zstd"), arguments << m_work.write(QStringLiteral("new"), content));
}

void SmallFormsTest::initTestCase()
{
    for (const char *program : {"minisign", "zstd"})
        QVERIFY2(!QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty(), program);
    run(QStringLiteral("minisign"), {"-G", "-W", "-f", "-p", m_work.path("key.pub"), "-s", m_work.path("key.key")});
    m_publicKey = QString::fromLatin1(m_work.read("key.pub").split('\n').value(1));
    installChineseTranslations(*QCoreApplication::instance());
}

// Version 2.0 with one file, client.dll, and the offered forms, signed.
void SmallFormsTest::publish(TestServer &server, const QByteArray &content, const QList<Offer> &offers)
{
    const QByteArray stamp = "2.0\r\n", manifest = "0001files/client.dll name client.dll\r\n";
    QByteArray index = sha256(stamp) + "  KVTA/ZE/UpdateNote.xml\n" + sha256(manifest) + "  KVTA/ZE/LoadUpdate.inf\n"
                       + sha256(content) + "  files/client.dll\n";
    server.setFile("/KVTA/ZE/UpdateNote.xml", stamp);
    server.setFile("/KVTA/ZE/LoadUpdate.inf", manifest);
    server.setFile(plainTarget, content);
    for (const Offer &offer : offers) {
        index += sha256(offer.listed) + "  " + offer.path + '\n';
        if (!offer.served.isNull())
            server.setFile('/' + offer.path, offer.served);
    }
    run(QStringLiteral("minisign"), {"-S", "-s", m_work.path("key.key"), "-m", m_work.write("index", index), "-t",
                                     "timestamp:1700000000"});
    server.setFile("/KVTA/ZE/LoadUpdate.sha256", index);
    server.setFile("/KVTA/ZE/LoadUpdate.sha256.minisig", m_work.read("index.minisig"));
}

void SmallFormsTest::formsThatWork_data()
{
    QTest::addColumn<QByteArray>("installed"); // client.dll before the run; null: none
    QTest::addColumn<QStringList>("options");  // of zstd for the patch
    QTest::addColumn<bool>("compressed");      // whether the compressed form is offered
    QTest::addColumn<Form>("form");

    const QByteArray none;
    QTest::newRow("patch from the installed file") << m_old << QStringList{"-19"} << true << Form::Patch;
    QTest::newRow("patch with a long window") << m_old << QStringList{"--long=27"} << true << Form::Patch;
    QTest::newRow("an installed file no patch starts from")
        << library(3) << QStringList{"-19"} << true << Form::Compressed;
    QTest::newRow("nothing installed") << none << QStringList{"-19"} << true << Form::Compressed;
    QTest::newRow("nothing smaller offered") << none << QStringList() << false << Form::Plain;
}

void SmallFormsTest::formsThatWork()
{
    QFETCH(QByteArray, installed);
    QFETCH(QStringList, options);
    QFETCH(bool, compressed);
    QFETCH(Form, form);

    QList<Offer> offers;
    QMap<Form, QByteArray> bodies{{Form::Plain, m_new}};
    if (!options.isEmpty()) {
        bodies[Form::Patch] = zstd(options, m_new, m_old);
        offers.append({sitelayout::patchForm(sha256(m_old), sha256(m_new)), bodies[Form::Patch], bodies[Form::Patch]});
    }
    if (compressed) {
        bodies[Form::Compressed] = zstd({"-19"}, m_new);
        offers.append({sitelayout::compressedForm(sha256(m_new)), bodies[Form::Compressed], bodies[Form::Compressed]});
    }
    TestServer server;
    publish(server, m_new, offers);
    DriverAppFolder app;
    if (!installed.isNull())
        app.write("client.dll", installed);

    TestWindow window(app.path(), server, release::PublicKey::fromBase64(m_publicKey.toLatin1(), "key"));
    QCOMPARE(window.run().messages.value(0).text, success);
    QVERIFY(app.read("client.dll") == m_new);
    QCOMPARE(app.working(), QStringList());
    const std::vector<update::FormTaken> &taken = window.updateRun().formsTaken();
    QCOMPARE(taken.size(), std::size_t(1));
    QCOMPARE(taken[0].fileName, QStringLiteral("client.dll"));
    QCOMPARE(taken[0].form, form);
    QCOMPARE(taken[0].fileSize, m_new.size());
    QCOMPARE(taken[0].downloaded, bodies[form].size());
    QCOMPARE(requestCount(server, plainTarget), form == Form::Plain ? 1 : 0);
    QVERIFY(form == Form::Plain || bodies[form].size() < m_new.size() / 2);
}

enum class Fault {
    PatchMissing,
    PatchDigestDiffers,
    PatchCutShort,
    PatchFromAnotherFile,
    InstalledChangedAfterHashing,
    NoContentSize,
    ContentSizeOverLimit,
    WindowOverLimit,
    CompressedBytesAfterFrame,
    FolderAtFormName,
};

void SmallFormsTest::fallbacks_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<Form>("form"); // the form that the run takes in its place

    QTest::newRow("patch missing (404)") << Fault::PatchMissing << Form::Compressed;
    QTest::newRow("patch of another digest") << Fault::PatchDigestDiffers << Form::Compressed;
    QTest::newRow("patch cut short, listed so") << Fault::PatchCutShort << Form::Compressed;
    QTest::newRow("patch from another file rebuilds other bytes") << Fault::PatchFromAnotherFile << Form::Compressed;
    QTest::newRow("installed file changed after hashing") << Fault::InstalledChangedAfterHashing << Form::Compressed;
    QTest::newRow("compressed without content size") << Fault::NoContentSize << Form::Plain;
    QTest::newRow("content size over the limit") << Fault::ContentSizeOverLimit << Form::Plain;
    QTest::newRow("window over 2 GiB") << Fault::WindowOverLimit << Form::Plain;
    QTest::newRow("bytes after the frame") << Fault::CompressedBytesAfterFrame << Form::Plain;
    QTest::newRow("a folder at the forms' download name") << Fault::FolderAtFormName << Form::Plain;
}

void SmallFormsTest::fallbacks()
{
    QFETCH(Fault, fault);
    QFETCH(Form, form);

    const QByteArray patchPath = sitelayout::patchForm(sha256(m_old), sha256(m_new));
    const QByteArray patch = zstd({"-19"}, m_new, m_old);
    Offer patchOffer{patchPath, patch, patch};
    const QByteArray compressed = zstd({"-19"}, m_new);
    Offer compressedOffer{sitelayout::compressedForm(sha256(m_new)), compressed, compressed};
    const auto brokenCompressed = [&](const QByteArray &bytes) {
        patchOffer.served = {};
        compressedOffer.served = compressedOffer.listed = bytes;
    };
    switch (fault) {
    case Fault::PatchMissing: patchOffer.served = {}; break;
    case Fault::PatchDigestDiffers: patchOffer.served = zstd({"-19"}, library(3), m_old); break;
    case Fault::PatchCutShort: patchOffer.served = patchOffer.listed = patch.left(patch.size() / 2); break;
    case Fault::PatchFromAnotherFile:
        // From the new file itself, without zstd's own checksum: applied to
        // the old file, it gives the old file back, which only the digest tells.
        patchOffer.served = patchOffer.listed = zstd({"-19", "--no-check"}, m_new, m_new);
        break;
    case Fault::InstalledChangedAfterHashing:
    case Fault::FolderAtFormName: break;
    case Fault::NoContentSize: brokenCompressed(run(QStringLiteral("zstd"), {"-q", "-c"}, m_new)); break;
    case Fault::ContentSizeOverLimit: brokenCompressed(craftedFrame(0, quint64(3) << 30)); break;
    case Fault::WindowOverLimit: brokenCompressed(craftedFrame(char(22 << 3), 10)); break;
    case Fault::CompressedBytesAfterFrame: brokenCompressed(compressed + compressed); break;
    }
    TestServer server;
    publish(server, m_new, {patchOffer, compressedOffer});
    DriverAppFolder app;
    const QString installed = app.write("client.dll", m_old);
    if (fault == Fault::FolderAtFormName)
        QDir().mkpath(app.path(QStringLiteral("Update/%1/planted").arg(sitelayout::formDownload)));

    TestWindow window(app.path(), server, release::PublicKey::fromBase64(m_publicKey.toLatin1(), "key"));
    if (fault == Fault::InstalledChangedAfterHashing) {
        // Written in place while the patch arrives, after it was hashed.
        QObject::connect(&window.engine(), &download::Cls_DownLoad::entDLFileDowning, &window, [&](const QString &url) {
            QFile file(installed);
            if (url.endsWith(QString::fromLatin1(patchPath)) && file.open(QIODevice::ReadWrite))
                file.write(patternBytes(m_old.size()));
        });
    }
    QCOMPARE(window.run().messages.value(0).text, success);
    QVERIFY(app.read("client.dll") == m_new);
    QCOMPARE(app.working(), QStringList());
    QCOMPARE(window.updateRun().formsTaken().at(0).form, form);
    QCOMPARE(requestCount(server, plainTarget), form == Form::Plain ? 1 : 0);
}

void SmallFormsTest::cancelDuringARebuild_data()
{
    QTest::addColumn<QString>("option"); // of the driver, acting once the rebuild has begun its file
    QTest::newRow("cancel button") << "--cancel-when=";
    QTest::newRow("close button") << "--close-when=";
}

void SmallFormsTest::cancelDuringARebuild()
{
    QFETCH(QString, option);
    // Large enough that the rebuild takes a while, with a long-window patch.
    const QByteArray old = patternBytes(128 * 1024 * 1024, 5);
    QByteArray fresh = old;
    fresh.replace(fresh.size() / 2, 4096, patternBytes(4096, 6));
    const QByteArray patch = zstd({"--long=31"}, fresh, old);
    TestServer server;
    publish(server, fresh, {{sitelayout::patchForm(sha256(old), sha256(fresh)), patch, patch}});
    DriverAppFolder app;
    app.write("client.dll", old);

    const QStringList options{QStringLiteral("--public-key=") + m_publicKey, option + app.path("Update/client.dll")};
    const DriverEnding ending = driveRun(app.path(), server, options);
    QCOMPARE(ending.exitCode, 0);
    QVERIFY(ending.messages.isEmpty() && !ending.returned);
    QVERIFY(app.read("client.dll") == old);
    QCOMPARE(app.read("Update.inf"), QByteArray("1.0\r\n"));
    QVERIFY(app.exists("Update/client.dll") && app.read("Update/client.dll") != fresh);

    // The next run takes the partial file for what it is, and installs.
    TestWindow window(app.path(), server, release::PublicKey::fromBase64(m_publicKey.toLatin1(), "key"));
    QCOMPARE(window.run().messages.value(0).text, success);
    QVERIFY(app.read("client.dll") == fresh);
    QCOMPARE(app.working(), QStringList());
    QCOMPARE(requestCount(server, plainTarget), 0);
}

void SmallFormsTest::fullDiskLeavesNoDownload_data()
{
    QTest::addColumn<bool>("isSigned"); // with a patch whose output the disk cannot hold; else the plain file only
    QTest::newRow("patch rebuild") << true;
    QTest::newRow("plain download") << false;
}

void SmallFormsTest::fullDiskLeavesNoDownload()
{
    QFETCH(bool, isSigned);
    const QByteArray old = patternBytes(1024 * 1024, 5), fresh = QByteArray(old).replace(9, 4, "new!");
    const QByteArray patch = zstd({"-19"}, fresh, old);
    TestServer server;
    publish(server, fresh, {{sitelayout::patchForm(sha256(old), sha256(fresh)), patch, patch}});
    DriverAppFolder app;
    SmallDisk disk(app.path(), 1536 * 1024);
    if (!disk.isMounted())
        QSKIP("cannot mount a small file system here");
    QDir().mkpath(app.path("Update")); // the mount hides what the folder held
    app.write("Update.inf", "1.0\r\n");
    app.write("client.dll", old);
    const auto key = std::optional(release::PublicKey::fromBase64(m_publicKey.toLatin1(), "key"));
    const QString text = TestWindow(app.path(), server, isSigned ? key : std::nullopt).run().messages.value(0).text;
    QVERIFY2(text.startsWith(QStringLiteral("磁盘已满")) && app.read("client.dll") == old, qPrintable(text));
    QCOMPARE(app.working(), QStringList());
}

QTEST_MAIN(SmallFormsTest)
#include "tst_smallforms.moc"

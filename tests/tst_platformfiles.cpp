#include "platform/files/bytestream.h"
#include "platform/files/durablewrite.h"
#include "platform/files/paths.h"
#include "platform/text/codepage.h"
#include "platform/core/error.h"
#include "platform/files/filesystem.h"
#include "platform/files/mappedfile.h"
#include "platform/files/mappedread.h"
#include "platform/files/replacement.h"
#include "platform/files/textinput.h"
#include "update/errortext.h"

#include "support/smalldisk.h"
#include "support/tempfolder.h"

#include <QScopeGuard>
#include <QTest>

#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace fsys = platform::filesystem;
using Code = platform::Error::Code;

namespace {

template <typename F>
Code errorOf(F &&f)
{
    try {
        f();
    } catch (const platform::Error &error) {
        return error.code();
    }
    return Code(-1);
}

void makeReadOnly(const QString &path)
{
    ::chmod(QFile::encodeName(path).constData(), 0444);
}

QStringList linesOf(const QString &path, const platform::CodePage &codePage = platform::CodePage("GBK"))
{
    platform::TextInput input(path, codePage);
    QStringList lines;
    while (!input.atEnd())
        lines.append(input.readLine());
    return lines;
}

// A folder as a list of "f MODE PATH=CONTENT", "l PATH=TARGET", "d PATH",
// sorted; a large file's content as its size.
QStringList treeOf(const QString &root)
{
    QStringList entries;
    for (const QString &path : entriesBelow(root)) {
        const QFileInfo info(root + '/' + path);
        if (info.isSymLink())
            entries << "l " + path + "=" + QFile::decodeName(QByteArray::fromStdString(std::filesystem::read_symlink(
                           QFile::encodeName(info.filePath()).toStdString()).native()));
        else if (info.isDir())
            entries << "d " + path;
        else
            entries << QStringLiteral("f %1 %2=%3").arg(QString::number(int(info.permissions() & 0x777), 16), path,
                                                        info.size() > 100 ? QString::number(info.size())
                                                                          : QString::fromUtf8(TempFolder::readFile(info.filePath())));
    }
    entries.sort();
    return entries;
}

} // namespace

class PlatformFilesTest : public QObject
{
    Q_OBJECT

private slots:
    void byteStreamCreatesAndCuts();
    void byteStreamErrors();
    void nonRegularFilesAreNeverWrittenThrough_data();
    void nonRegularFilesAreNeverWrittenThrough();
    void byteStreamFlushAll();
    void durableFile_data();
    void durableFile();
    void lineReading_data();
    void lineReading();
    void textInputDecodesTheCodePage();
    void textInputMissingFile();
    void codePageRoundTrip();
    void folderSizeCountsSubfolders();
    void replaceFileKeepsTheTargetsPermissions();
    void replacementInstallsTheListedFiles();
    void replacementIsAllOrNothing_data();
    void replacementIsAllOrNothing();
    void replacementRecoversWhatAKillLeft();
    void replacementGivesEveryFileAUsableMode_data();
    void replacementGivesEveryFileAUsableMode();
    void treeInstallation_data();
    void treeInstallation();
    void deleteFolderFilesRemovesWhatItCan();
    void deleteFileErrors();
    void mappedReadOfAFileCutShort_data();
    void mappedReadOfAFileCutShort();
};

void PlatformFilesTest::byteStreamCreatesAndCuts()
{
    TempFolder dir;
    const QString path = dir.write("out.bin", QByteArray(100000, 'x'));
    {
        platform::ByteStream stream(path);
        stream.write("abc", 3);
        const QByteArray big = patternBytes(200000);
        stream.write(big.constData(), big.size());
        stream.close();
        stream.close();
    }
    QCOMPARE(dir.read("out.bin"), QByteArray("abc") + patternBytes(200000));

    // Another name for the old content keeps it.
    QCOMPARE(::link(QFile::encodeName(path).constData(), QFile::encodeName(dir.path("other")).constData()), 0);
    platform::ByteStream(path).write("new", 3);
    QCOMPARE(dir.read("out.bin"), QByteArray("new"));
    QCOMPARE(dir.read("other"), QByteArray("abc") + patternBytes(200000));
}

void PlatformFilesTest::byteStreamErrors()
{
    TempFolder dir;
    QCOMPARE(errorOf([&] { platform::ByteStream(dir.path("no/such/folder/file")); }), Code::PathNotFound);
    QCOMPARE(errorOf([&] { platform::ByteStream(dir.path()); }), Code::FileAccess);

    SmallDisk disk(dir.path("small"), 64 * 1024);
    if (!disk.isMounted())
        QSKIP("cannot mount a small file system here");
    try {
        platform::ByteStream full(dir.path("small/big"));
        const QByteArray big = patternBytes(200000);
        full.write(big.constData(), big.size());
        full.close();
        QFAIL("a full disk went unnoticed");
    } catch (const platform::Error &error) {
        QCOMPARE(error.code(), Code::DiskFull);
        QVERIFY(update::describe(error).startsWith(QStringLiteral("磁盘已满")));
        QVERIFY(update::describe(error).endsWith(dir.path("small/big")));
    }
}

void PlatformFilesTest::nonRegularFilesAreNeverWrittenThrough_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("link to a file outside") << "link";
    QTest::newRow("dangling link") << "dangling";
    QTest::newRow("FIFO") << "fifo";
    QTest::newRow("hard link to a file outside") << "hard link";
    QTest::newRow("file of another owner") << "foreign";
}

void PlatformFilesTest::nonRegularFilesAreNeverWrittenThrough()
{
    QFETCH(QString, kind);
    TempFolder dir;
    const QString outside = dir.write("outside", "outside");
    const QString path = dir.path("target");
    const QByteArray native = QFile::encodeName(path);
    if (kind == "link")
        QVERIFY(QFile::link(outside, path));
    else if (kind == "dangling")
        QVERIFY(QFile::link(dir.path("nowhere"), path));
    else if (kind == "hard link")
        QCOMPARE(::link(QFile::encodeName(outside).constData(), native.constData()), 0);
    else if (kind == "foreign" && !plantForeignFile(path, 0666))
        QSKIP("only root can plant another user's file");
    else if (kind == "fifo")
        QCOMPARE(::mkfifo(native.constData(), 0644), 0);

    // Reading refuses it without waiting; writing replaces it with a new file
    // of this process's own.
    if (kind != "hard link" && kind != "foreign")
        QCOMPARE(errorOf([&] { platform::readFileBytes(path); }), Code::FileAccess);
    platform::ByteStream(path).write("new", 3);
    struct stat info {};
    QCOMPARE(::lstat(native.constData(), &info), 0);
    QVERIFY(S_ISREG(info.st_mode));
    QCOMPARE(info.st_uid, ::geteuid());
    QCOMPARE(info.st_nlink, nlink_t(1));
    QCOMPARE(dir.read("target"), QByteArray("new"));
    QCOMPARE(dir.read("outside"), QByteArray("outside"));
    QVERIFY(!dir.exists("nowhere"));
}

void PlatformFilesTest::byteStreamFlushAll()
{
    TempFolder dir;
    platform::ByteStream stream(dir.path("pending"));
    stream.write("pending bytes", 13);
    QCOMPARE(dir.read("pending"), QByteArray());
    platform::ByteStream::flushAll();
    QCOMPARE(dir.read("pending"), QByteArray("pending bytes"));
}

void PlatformFilesTest::durableFile_data()
{
    QTest::addColumn<QString>("obstacle");
    QTest::addColumn<bool>("asNew");     // put in place by a link, never over a file
    QTest::addColumn<int>("code");       // the error raised; -1: none
    QTest::addColumn<bool>("placed");
    QTest::addColumn<QByteArray>("result"); // what the target holds afterwards
    const QByteArray written = patternBytes(200000);
    QTest::newRow("renamed over a file") << "file" << false << -1 << true << written;
    QTest::newRow("renamed over a link, not through it") << "link" << false << -1 << true << written;
    QTest::newRow("linked as new") << "" << true << -1 << true << written;
    QTest::newRow("never linked over a file") << "file" << true << -1 << false << QByteArray("old");
    QTest::newRow("link planted at the new file's name") << "planted" << false << int(Code::FileAccess) << false
                                                         << QByteArray("old");
    QTest::newRow("rename fails after the write") << "folder" << false << int(Code::FileAccess) << false
                                                  << QByteArray();
    QTest::newRow("full disk") << "small disk" << false << int(Code::DiskFull) << false << QByteArray();
}

void PlatformFilesTest::durableFile()
{
    QFETCH(QString, obstacle);
    QFETCH(bool, asNew);
    QFETCH(int, code);
    QFETCH(bool, placed);
    QFETCH(QByteArray, result);
    TempFolder dir;
    const QString outside = dir.write("outside", "outside");
    const QString target = dir.path("site/target");
    const QString temporary = dir.path("site/.target.new");
    QDir().mkpath(dir.path("site"));
    std::optional<SmallDisk> disk;
    if (obstacle == "small disk") {
        disk.emplace(dir.path("site"), 64 * 1024);
        if (!disk->isMounted())
            QSKIP("cannot mount a small file system here");
    } else if (obstacle == "file") {
        dir.write("site/target", "old");
    } else if (obstacle == "link") {
        QVERIFY(QFile::link(outside, target));
    } else if (obstacle == "planted") {
        dir.write("site/target", "old");
        QVERIFY(QFile::link(outside, temporary));
    } else if (obstacle == "folder") {
        QDir().mkpath(target + "/inside");
    }

    bool isPlaced = false;
    try {
        platform::DurableFile file(platform::paths::toPath(temporary), platform::paths::toPath(target));
        file.write(patternBytes(200000));
        isPlaced = asNew ? file.linkAsNew() : (file.renameOver(), true);
        QCOMPARE(code, -1);
    } catch (const platform::Error &error) {
        QCOMPARE(int(error.code()), code);
        QCOMPARE(error.subject(), target);
    }
    QCOMPARE(isPlaced, placed);
    QCOMPARE(TempFolder::readFile(target), result);
    QCOMPARE(dir.read("outside"), QByteArray("outside"));
    // Nothing is left beside the target; a planted link is not ours to remove.
    QCOMPARE(QFileInfo(temporary).isSymLink(), obstacle == "planted");
    QCOMPARE(QFileInfo::exists(temporary), obstacle == "planted");
}

void PlatformFilesTest::lineReading_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("empty file") << QByteArray() << QStringList{};
    QTest::newRow("one line, CRLF") << QByteArray("1.5\r\n") << QStringList{"1.5"};
    QTest::newRow("no final break") << QByteArray("a\r\nb") << QStringList{"a", "b"};
    QTest::newRow("CR alone ends a line") << QByteArray("a\rb\r") << QStringList{"a", "b"};
    QTest::newRow("LF alone stays") << QByteArray("a\nb\n") << QStringList{"a\nb\n"};
    QTest::newRow("empty line after") << QByteArray("1.5\r\n\r\n") << QStringList{"1.5", ""};
    QTest::newRow("CR CR LF") << QByteArray("a\r\r\nb") << QStringList{"a", "", "b"};
}

void PlatformFilesTest::lineReading()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, lines);
    TempFolder dir;
    QCOMPARE(linesOf(dir.write("lines.txt", bytes)), lines);
}

void PlatformFilesTest::textInputDecodesTheCodePage()
{
    TempFolder dir;
    // "更新" in GBK, then a line break.
    const QString path = dir.write("gbk.txt", QByteArray("\xB8\xFC\xD0\xC2\r\nok"));
    QCOMPARE(linesOf(path), (QStringList{QStringLiteral("更新"), "ok"}));
}

void PlatformFilesTest::textInputMissingFile()
{
    TempFolder dir;
    QCOMPARE(errorOf([&] { linesOf(dir.path("Update.inf")); }), Code::FileNotFound);
    try {
        linesOf(dir.path("Update.inf"));
    } catch (const platform::Error &error) {
        QVERIFY(update::describe(error).startsWith(QStringLiteral("文件未找到")));
        QVERIFY(update::describe(error).endsWith(QLatin1String("Update.inf")));
    }
}

void PlatformFilesTest::codePageRoundTrip()
{
    const platform::CodePage gbk("GBK");
    const QString text = QStringLiteral("程序/主程序.exe");
    QCOMPARE(gbk.decode(gbk.encode(text)), text);
    QCOMPARE(gbk.encode(QStringLiteral("更新")), QByteArray("\xB8\xFC\xD0\xC2"));
    QCOMPARE(gbk.decode(QByteArray("a\xFF")), QStringLiteral("a\uFFFD"));
    QCOMPARE(gbk.encode(QStringLiteral("a\u263A")), QByteArray("a?"));
    // ASCII is taken as it is only by a code page that keeps it so, and an
    // escape still shifts a stateful one.
    const platform::CodePage ebcdic("IBM037");
    QCOMPARE(ebcdic.encode(QStringLiteral("A/b")), QByteArray("\xC1\x61\x82"));
    QCOMPARE(ebcdic.decode(QByteArray("\xC1\x61\x82")), QStringLiteral("A/b"));
    QCOMPARE(platform::CodePage("UTF-16LE").encode(QStringLiteral("A")), QByteArray("A\0", 2));
    QCOMPARE(platform::CodePage("UTF-7").decode("a+AGE-"), QStringLiteral("aa"));
    QCOMPARE(platform::CodePage("ISO-2022-JP").decode("\x1b$B0!\x1b(B"), QStringLiteral("亜"));
}

void PlatformFilesTest::folderSizeCountsSubfolders()
{
    TempFolder dir;
    dir.write("Update/a", QByteArray(10, 'a'));
    dir.write("Update/sub/b", QByteArray(32, 'b'));
    QCOMPARE(fsys::folderSize(dir.path("Update")), 42.0);
    QDir().mkpath(dir.path("Empty"));
    QCOMPARE(fsys::folderSize(dir.path("Empty")), 0.0);
    QCOMPARE(errorOf([&] { fsys::folderSize(dir.path("Missing")); }), Code::PathNotFound);
}

void PlatformFilesTest::replaceFileKeepsTheTargetsPermissions()
{
    TempFolder dir;
    const QString source = dir.write("new", "new content");
    const QString target = dir.write("updater", "old program");
    ::chmod(QFile::encodeName(target).constData(), 0755);
    fsys::replaceFile(source, target);
    QCOMPARE(dir.read("updater"), QByteArray("new content"));
    QVERIFY(QFileInfo(target).isExecutable());
    QVERIFY(!dir.exists(".updater.updating"));

    makeReadOnly(target);
    QCOMPARE(errorOf([&] { fsys::replaceFile(source, target); }), Code::PermissionDenied);
    QCOMPARE(errorOf([&] { fsys::replaceFile(dir.path("absent"), target); }), Code::FileNotFound);
}

void PlatformFilesTest::replacementInstallsTheListedFiles()
{
    TempFolder dir;
    dir.write("Update/a.dll", "A");
    dir.write("Update/b.exe", "B");
    dir.write("Update/left-over", "not listed");
    dir.write("b.exe", "old B");
    QVERIFY(QFile::link(dir.path("elsewhere"), dir.path("a.dll")));
    // What stands at the staging names is no file of this installation's.
    dir.write(".a.dll.updating", "stale");
    QVERIFY(QFile::link(dir.path("planted"), dir.path(".b.exe.updating")));
    fsys::Replacement replacement;
    replacement.add(dir.path("Update/b.exe"), dir.path("a.dll"));
    replacement.add(dir.path("Update/a.dll"), dir.path("a.dll")); // the later one counts
    replacement.add(dir.path("Update/b.exe"), dir.path("b.exe"));
    replacement.run();
    QCOMPARE(dir.read("a.dll"), QByteArray("A"));
    QVERIFY(!QFileInfo(dir.path("a.dll")).isSymLink());
    QVERIFY(!dir.exists("elsewhere"));
    QVERIFY(!dir.exists("planted"));
    QCOMPARE(dir.read("b.exe"), QByteArray("B"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), (QStringList{"a.dll", "b.exe"}));
    QCOMPARE(errorOf([&] { fsys::replaceFile(dir.path("Update/missing"), dir.path("c")); }), Code::FileNotFound);
}

void PlatformFilesTest::replacementIsAllOrNothing_data()
{
    QTest::addColumn<QString>("obstacle");
    QTest::addColumn<int>("code");
    QTest::newRow("read-only target") << "read-only" << int(Code::PermissionDenied);
    QTest::newRow("folder in the way") << "folder" << int(Code::FileAccess);
    QTest::newRow("name too long with the staging suffix") << "long" << int(Code::FileAccess);
    QTest::newRow("rename fails after staging") << "late folder" << int(Code::FileAccess);
    QTest::newRow("a download of another owner") << "foreign source" << int(Code::FileAccess);
    QTest::newRow("a download that a third name shares") << "shared source" << int(Code::FileAccess);
}

void PlatformFilesTest::replacementIsAllOrNothing()
{
    QFETCH(QString, obstacle);
    QFETCH(int, code);
    TempFolder dir;
    const QString third = obstacle == "long" ? QString(250, QLatin1Char('c')) : QStringLiteral("c");
    dir.write("Update/a", "new A");
    dir.write("Update/b", "new B");
    dir.write("Update/c", "new C");
    dir.write("a", "old A");
    if (obstacle == "read-only")
        makeReadOnly(dir.write(third, "old C"));
    else if (obstacle == "folder")
        QDir().mkpath(dir.path(third + "/inside"));
    else if (obstacle == "foreign source" && !plantForeignFile(dir.path("Update/c"), 0644))
        QSKIP("only root can plant another user's file");
    else if (obstacle == "shared source")
        QCOMPARE(::link(QFile::encodeName(dir.path("Update/c")).constData(),
                        QFile::encodeName(dir.path("Update/shared")).constData()),
                 0);
    fsys::Replacement replacement;
    replacement.add(dir.path("Update/a"), dir.path("a"));
    replacement.add(dir.path("Update/b"), dir.path("b"));
    replacement.add(dir.path("Update/c"), dir.path(third));
    QCOMPARE(int(errorOf([&] {
                 replacement.prepare();
                 if (obstacle == "late folder")
                     QDir().mkpath(dir.path(third + "/inside"));
                 replacement.commit();
             })),
             code);
    QCOMPARE(dir.read("a"), QByteArray("old A"));
    QVERIFY(!dir.exists("b"));
    QVERIFY(dir.read(third) != "new C");
    const QStringList left = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden);
    QVERIFY2(left.filter(".updating").isEmpty(), qPrintable(left.join(' ')));
}

void PlatformFilesTest::replacementRecoversWhatAKillLeft()
{
    // Killed after "a" was replaced, while "b" was staged: the next start
    // puts the old "a" back and drops the staged "b".
    TempFolder dir;
    dir.write("a", "new A");
    dir.write(".a.updating-old", "old A");
    dir.write(".b.updating", "new B");
    dir.write("b", "old B");
    dir.write(".hidden", "the client's own");
    dir.write(".updating-old", "the client's own too");
    fsys::Replacement::recover(dir.path());
    QCOMPARE(dir.read("a"), QByteArray("old A"));
    QCOMPARE(dir.read("b"), QByteArray("old B"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
             (QStringList{".hidden", ".updating-old", "a", "b"}));
}

void PlatformFilesTest::replacementGivesEveryFileAUsableMode_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("oldMode"); // -1: new to the folder
    QTest::addColumn<int>("mode");    // before the umask, for a new file
    QTest::newRow("new ELF program") << QByteArray("\x7f" "ELF\x02\x01") << -1 << 0755;
    QTest::newRow("new script") << QByteArray("#!/bin/sh\n") << -1 << 0755;
    QTest::newRow("new data file") << QByteArray("plain") << -1 << 0644;
    QTest::newRow("new file of three bytes") << QByteArray("\x7f" "EL") << -1 << 0644;
    QTest::newRow("replaced program keeps its mode") << QByteArray("plain") << 0750 << 0750;
    QTest::newRow("replaced data file keeps its mode") << QByteArray("#!/bin/sh\n") << 0600 << 0600;
}

void PlatformFilesTest::replacementGivesEveryFileAUsableMode()
{
    QFETCH(QByteArray, content);
    QFETCH(int, oldMode);
    QFETCH(int, mode);
    const mode_t mask = ::umask(027);
    const auto restore = qScopeGuard([mask] { ::umask(mask); });
    TempFolder dir;
    const QString source = dir.write("Update/file", content);
    const QString target = dir.path("file");
    if (oldMode >= 0)
        ::chmod(QFile::encodeName(dir.write("file", "old")).constData(), mode_t(oldMode));
    // Installed through the descriptor: what the name holds by then does not count.
    fsys::Replacement replacement;
    replacement.add(fsys::openOwnFile(source), source, target);
    QCOMPARE(::rename(QFile::encodeName(dir.write("Update/other", "swapped")).constData(),
                      QFile::encodeName(source).constData()),
             0);
    replacement.run();
    QCOMPARE(dir.read("file"), content);
    struct stat info {};
    QCOMPARE(::lstat(QFile::encodeName(target).constData(), &info), 0);
    QCOMPARE(int(info.st_mode & 07777), oldMode >= 0 ? mode : (mode & ~027));
}

void PlatformFilesTest::treeInstallation_data()
{
    QTest::addColumn<QStringList>("before"); // "f PATH=CONTENT" (mode 644), "l PATH=TARGET", "d PATH", "self PATH"
    QTest::addColumn<QStringList>("steps");  // "add PATH=CONTENT", "link PATH=TARGET", "mode PATH=755",
                                             // "folder PATH", "remove PATH", "removeFolder PATH"
    QTest::addColumn<QString>("obstacle");   // a folder made at this target between prepare and commit
    QTest::addColumn<int>("code");           // -1: installed
    QTest::addColumn<QStringList>("after");  // empty: as before
    const QStringList file{"f x=file"};
    QTest::newRow("new folders, an empty one") << QStringList{"f a=old"} << QStringList{"add s/t/u=new", "folder e/f"}
                                               << "" << -1
                                               << QStringList{"d e", "d e/f", "d s", "d s/t", "f 644 a=old", "f 644 s/t/u=new"};
    QTest::newRow("a file becomes a folder") << file << QStringList{"remove x", "add x/y=new"} << "" << -1
                                             << QStringList{"d x", "f 644 x/y=new"};
    QTest::newRow("and back") << QStringList{"f x/y=new"} << QStringList{"remove x/y", "removeFolder x", "add x=file"}
                              << "" << -1 << QStringList{"f 644 x=file"};
    QTest::newRow("emptied folders go deepest first, one still holding a file stays")
        << QStringList{"f p/q/r=1", "f p/s=2", "f k/r=3", "f k/mine=user"}
        << QStringList{"remove p/q/r", "remove p/s", "remove k/r", "removeFolder p", "removeFolder p/q", "removeFolder k"}
        << "" << -1 << QStringList{"d k", "f 644 k/mine=user"};
    QTest::newRow("links made, changed, kept") << QStringList{"l lib.so=lib.so.0", "l same=lib.so.1", "f lib.so.0=0"}
        << QStringList{"add lib.so.1=1", "link lib.so=lib.so.1", "link same=lib.so.1", "link d/up=../lib.so",
                       "remove lib.so.0"}
        << "" << -1 << QStringList{"d d", "f 644 lib.so.1=1", "l d/up=../lib.so", "l lib.so=lib.so.1", "l same=lib.so.1"};
    QTest::newRow("modes of new and unchanged files") << QStringList{"f run.sh=#!", "f data=x"}
        << QStringList{"mode run.sh=755", "add tool=elf", "mode tool=775", "add data=y", "mode data=600"} << "" << -1
        << QStringList{"f 600 data=y", "f 755 run.sh=#!", "f 755 tool=elf"};
    QTest::newRow("the running program stays") << QStringList{"self app"} << QStringList{"remove app"} << "" << -1
                                                << QStringList();
    QTest::newRow("linked client folder") << QStringList{"l plugins=/"} << QStringList{"add plugins/a=new"} << ""
                                          << int(Code::LinkedFolder) << QStringList();
    QTest::newRow("removal, folders and modes put back on failure")
        << QStringList{"f a=old", "f gone/b=B", "f run.sh=#!"}
        << QStringList{"remove gone/b", "removeFolder gone", "add a=new", "mode run.sh=755", "folder e", "add z=last"}
        << "z" << int(Code::FileAccess) << QStringList();
    QTest::newRow("a file becoming a folder put back on failure") << file
        << QStringList{"remove x", "add x/y=new", "add z=last"} << "z" << int(Code::FileAccess) << QStringList();
    QTest::newRow("a folder becoming a file put back on failure") << QStringList{"f x/y=new"}
        << QStringList{"remove x/y", "removeFolder x", "add x=file", "add z=last"} << "z" << int(Code::FileAccess)
        << QStringList();
}

void PlatformFilesTest::treeInstallation()
{
    QFETCH(QStringList, before);
    QFETCH(QStringList, steps);
    QFETCH(QString, obstacle);
    QFETCH(int, code);
    QFETCH(QStringList, after);
    const mode_t mask = ::umask(022);
    const auto restore = qScopeGuard([mask] { ::umask(mask); });
    TempFolder dir, sources;
    for (const QString &entry : before) {
        const QString path = entry.section(' ', 1).section('=', 0, 0), value = entry.section('=', 1);
        QDir().mkpath(QFileInfo(dir.path(path)).absolutePath());
        if (entry.startsWith("f "))
            dir.write(path, value.toUtf8());
        else if (entry.startsWith("l "))
            QVERIFY(QFile::link(value, dir.path(path)));
        else if (entry.startsWith("self "))
            QCOMPARE(::linkat(AT_FDCWD, "/proc/self/exe", AT_FDCWD, QFile::encodeName(dir.path(path)).constData(),
                              AT_SYMLINK_FOLLOW),
                     0);
    }
    const QStringList was = treeOf(dir.path());
    fsys::Replacement replacement;
    replacement.beneath(dir.path());
    for (const QString &step : steps) {
        const QString path = step.section(' ', 1).section('=', 0, 0), value = step.section('=', 1);
        const QString verb = step.section(' ', 0, 0);
        if (verb == "add")
            replacement.add(sources.write(path, value.toUtf8()), dir.path(path));
        else if (verb == "link")
            replacement.addLink(dir.path(path), value);
        else if (verb == "mode")
            replacement.giveMode(dir.path(path), mode_t(value.toInt(nullptr, 8)));
        else if (verb == "folder")
            replacement.addFolder(dir.path(path));
        else if (verb == "remove")
            replacement.remove(dir.path(path));
        else
            replacement.removeFolder(dir.path(path));
    }
    QCOMPARE(int(errorOf([&] {
                 replacement.prepare();
                 if (!obstacle.isEmpty())
                     QDir().mkpath(dir.path(obstacle + "/inside"));
                 replacement.commit();
             })),
             code);
    if (!obstacle.isEmpty())
        QDir(dir.path(obstacle)).removeRecursively();
    QCOMPARE(treeOf(dir.path()), after.isEmpty() ? was : after);
    if (QTest::currentDataTag() == QByteArray("emptied folders go deepest first, one still holding a file stays"))
        QCOMPARE(replacement.keptFolders(), QStringList{dir.path("k")});
}

void PlatformFilesTest::deleteFolderFilesRemovesWhatItCan()
{
    TempFolder dir;
    dir.write("Update/a", "a");
    makeReadOnly(dir.write("Update/b", "b"));
    dir.write("Update/c", "c");
    dir.write("Update/sub/d", "d");
    fsys::deleteFolderFiles(dir.path("Update"));
    QVERIFY(!dir.exists("Update/a") && !dir.exists("Update/c"));
    QVERIFY(dir.exists("Update/b"));
    QVERIFY(dir.exists("Update/sub/d"));
    // Nothing left to remove, or no folder at all, is no failure either.
    QDir(dir.path("Update")).remove("b");
    fsys::deleteFolderFiles(dir.path("Update"));
    fsys::deleteFolderFiles(dir.path("Missing"));
}

void PlatformFilesTest::deleteFileErrors()
{
    TempFolder dir;
    QCOMPARE(errorOf([&] { fsys::deleteFile(dir.path("none")); }), Code::FileNotFound);
    makeReadOnly(dir.write("ro", "x"));
    QCOMPARE(errorOf([&] { fsys::deleteFile(dir.path("ro")); }), Code::PermissionDenied);
    QVERIFY(fsys::isReadOnly(dir.path("ro")));
}

void PlatformFilesTest::mappedReadOfAFileCutShort_data()
{
    QTest::addColumn<int>("cutTo"); // the file's size once mapped
    QTest::newRow("cut short") << 0;
    QTest::newRow("left whole") << 65536;
}

void PlatformFilesTest::mappedReadOfAFileCutShort()
{
    QFETCH(int, cutTo);
    TempFolder dir;
    const QString file = dir.write("file", patternBytes(65536));
    const platform::MappedFile map = platform::MappedFile::forReading(fsys::openOwnFile(file).get(), file);
    QVERIFY(::truncate(QFile::encodeName(file).constData(), cutTo) == 0);
    volatile char last = 0;
    auto read = [&] { last = map.data()[map.size() - 1]; };
    QCOMPARE(platform::readsMapped({QByteArrayView(map.data(), map.size())}, read), cutTo != 0);
}

QTEST_GUILESS_MAIN(PlatformFilesTest)
#include "tst_platformfiles.moc"

#include "platform/core/error.h"
#include "platform/files/bytestream.h"
#include "release/minisignature.h"
#include "release/minisignkey.h"
#include "release/pwhash.h"
#include "release/releaseindex.h"
#include "release/releasetree.h"
#include "release/backgroundsha256.h"
#include "release/sha256.h"
#include "update/errortext.h"
#include "support/tempfolder.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QTest>

#include <filesystem>
#include <fstream>

#include <unistd.h>

using platform::Error;
using release::PublicKey;
using release::ReleaseIndex;
using release::SecretKey;
using release::Signature;

Q_DECLARE_METATYPE(Error::Code)

namespace {

// Runs the real minisign program; `input` goes to its standard input (the
// password, when it asks for one).
QByteArray minisign(const QStringList &arguments, const QByteArray &input = {}, int *exitCode = nullptr)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("minisign"), arguments);
    process.write(input);
    process.closeWriteChannel();
    process.waitForFinished(120000);
    const int code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    if (exitCode)
        *exitCode = code;
    else if (code != 0)
        qWarning().noquote() << "minisign" << arguments.join(QLatin1Char(' ')) << "failed:" << process.readAll();
    return process.readAll();
}

// The error code that `action` raises; a missing error fails the test.
template<typename F>
Error::Code errorOf(F action)
{
    try {
        action();
    } catch (const Error &error) {
        return error.code();
    }
    return Error::Code(-1);
}

QByteArray replaceLine(const QByteArray &text, int line, const QByteArray &replacement)
{
    QList<QByteArray> lines = text.split('\n');
    lines[line] = replacement;
    return lines.join('\n');
}

QByteArray base64Line(const QByteArray &text, int line)
{
    return QByteArray::fromBase64(text.split('\n').at(line));
}

} // namespace

class ReleaseTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void sha256_data();
    void sha256();
    void backgroundSha256_data() { sha256_data(); }
    void backgroundSha256();
    void indexParses_data();
    void indexParses();
    void indexRefuses_data();
    void indexRefuses();
    void indexWrittenChecksWithSha256sum();
    void treeRules_data();
    void treeRules();
    void publicKeyRefuses_data();
    void publicKeyRefuses();
    void minisignSignaturesVerify_data();
    void minisignSignaturesVerify();
    void tamperingRefused_data();
    void tamperingRefused();
    void timestamp_data();
    void timestamp();
    void scryptParameters_data();
    void scryptParameters();
    void unencryptedKeysWorkBothWays();
    void encryptedKeysWorkBothWays();

private:
    TempFolder m_folder;
    QByteArray m_message;
    QByteArray m_publicKeyFile;      // made by `minisign -G -W`
    QByteArray m_otherPublicKeyFile; // another key pair made by minisign
    QByteArray m_prehashed;          // minisign -S
    QByteArray m_legacy;             // minisign -S -l
    QByteArray m_byOtherKey;
};

void ReleaseTest::initTestCase()
{
    m_message = patternBytes(100000) + QByteArrayLiteral("KVTA/ZE/LoadUpdate.inf");
    m_folder.write(QStringLiteral("message"), m_message);
    for (const QString &name : {QStringLiteral("a"), QStringLiteral("b")})
        minisign({"-G", "-W", "-p", m_folder.path(name + ".pub"), "-s", m_folder.path(name + ".key")});
    minisign({"-S", "-s", m_folder.path("a.key"), "-m", m_folder.path("message"), "-x", m_folder.path("ed"),
              "-t", "timestamp:1700000000\tversion:2.5"});
    minisign({"-S", "-l", "-s", m_folder.path("a.key"), "-m", m_folder.path("message"), "-x",
              m_folder.path("legacy")});
    minisign({"-S", "-s", m_folder.path("b.key"), "-m", m_folder.path("message"), "-x", m_folder.path("other")});
    m_publicKeyFile = m_folder.read("a.pub");
    m_otherPublicKeyFile = m_folder.read("b.pub");
    m_prehashed = m_folder.read("ed");
    m_legacy = m_folder.read("legacy");
    m_byOtherKey = m_folder.read("other");
    QVERIFY2(!m_prehashed.isEmpty() && !m_legacy.isEmpty() && !m_byOtherKey.isEmpty(),
             "the minisign program made no signatures");
}

void ReleaseTest::sha256_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("blockSize");
    QTest::newRow("empty") << QByteArray() << 512;
    QTest::newRow("abc") << QByteArrayLiteral("abc") << 512;
    QTest::newRow("512-byte blocks") << patternBytes(3 * 1024 * 1024 + 77) << 512;
    QTest::newRow("odd blocks") << patternBytes(100003, 2) << 37;
}

void ReleaseTest::sha256()
{
    QFETCH(QByteArray, data);
    QFETCH(int, blockSize);
    const QByteArray expected = QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
    release::Sha256 sha;
    // Twice: the same context serves the next stream after a result.
    for (int round = 0; round < 2; ++round) {
        for (qsizetype at = 0; at < data.size(); at += blockSize)
            sha.addData(QByteArrayView(data).sliced(at, std::min<qsizetype>(blockSize, data.size() - at)));
        QCOMPARE(sha.hexResult(), expected);
    }
    qint64 reported = -1;
    const QString file = m_folder.write(QStringLiteral("hashed"), data);
    QCOMPARE(release::Sha256::hexOfFile(file, [&](qint64 done) { reported = done; }), expected);
    QCOMPARE(reported, data.isEmpty() ? -1 : data.size());
}

void ReleaseTest::backgroundSha256()
{
    QFETCH(QByteArray, data);
    QFETCH(int, blockSize);
    const QByteArray expected = QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
    release::BackgroundSha256 sha;
    // Writes `data` as the engine does, telling the digest as the file grows.
    const auto writeHashed = [&](const QString &name, qsizetype size) {
        platform::ByteStream file(m_folder.path(name));
        sha.start(file.reader(), name);
        for (qsizetype at = 0; at < size; at += blockSize) {
            file.write(data.constData() + at, std::size_t(std::min<qsizetype>(blockSize, size - at)));
            sha.written(qint64(file.flushedSize()));
        }
        file.flush();
        return file.reader();
    };
    // A stream dropped halfway leaves nothing behind; each result starts the next stream.
    writeHashed(QStringLiteral("dropped"), data.size() / 2);
    for (int round = 0; round < 2; ++round) {
        writeHashed(QStringLiteral("whole"), data.size());
        QCOMPARE(sha.hexResult(data.size()), expected);
    }
    // A file cut after it was written is not taken for what was written.
    if (data.size() > 1) {
        const platform::FileDescriptor file = writeHashed(QStringLiteral("cut"), data.size());
        QCOMPARE(::ftruncate(file.get(), data.size() / 2), 0);
        QCOMPARE(errorOf([&] { sha.hexResult(data.size()); }), Error::Code::FileAccess);
        writeHashed(QStringLiteral("after"), data.size());
        QCOMPARE(sha.hexResult(data.size()), expected);
    }
}

void ReleaseTest::indexParses_data()
{
    const QByteArray a(64, 'a');
    const QByteArray b = QByteArray(63, '0') + '9';
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("digest");
    QTest::newRow("two spaces") << a + "  KVTA/ZE/LoadUpdate.inf\n" << QByteArray("KVTA/ZE/LoadUpdate.inf") << a;
    QTest::newRow("binary mark") << a + " *KVTA/ZE/UpdateNote.xml\n" << QByteArray("KVTA/ZE/UpdateNote.xml") << a;
    QTest::newRow("second line, no last LF") << a + "  x\n" + b + "  dl/y z.dll" << QByteArray("dl/y z.dll") << b;
    // GBK bytes of 客户端.exe, exactly as the manifest holds them.
    QTest::newRow("code page bytes") << a + "  dl/\xbf\xcd\xbb\xa7\xb6\xcb.exe\n"
                                     << QByteArray("dl/\xbf\xcd\xbb\xa7\xb6\xcb.exe") << a;
    QTest::newRow("blank inside the path") << a + "   lead\n" << QByteArray(" lead") << a;
}

void ReleaseTest::indexParses()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, digest);
    const ReleaseIndex index = ReleaseIndex::parse(text, QStringLiteral("LoadUpdate.sha256"));
    QCOMPARE(index.requireDigestOf(path), digest);
    index.checkDigest(path, digest.toUpper());
    QCOMPARE(errorOf([&] { index.checkDigest(path, QByteArray(64, 'f')); }), Error::Code::DigestMismatch);
    QCOMPARE(errorOf([&] { index.requireDigestOf(path + "x"); }), Error::Code::NotInIndex);
    QVERIFY(!index.digestOf(path.toUpper() + "/"));
}

void ReleaseTest::indexRefuses_data()
{
    const QByteArray a(64, 'a');
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<Error::Code>("code");
    QTest::addColumn<QString>("subject");
    QTest::addColumn<QString>("rule"); // what the description says of the line
    const Error::Code malformed = Error::Code::MalformedIndex;
    const QString digest = QStringLiteral("行首须为 64 位十六进制数字的摘要");
    const QString separator = QStringLiteral("摘要后须为两个空格");
    QTest::newRow("upper-case hex") << QByteArray(64, 'A') + "  x\n" << malformed << "idx:1" << "不能含大写字母";
    QTest::newRow("short digest") << QByteArray(63, 'a') + "  x\n" << malformed << "idx:1" << digest;
    QTest::newRow("one space") << a + " x\n" << malformed << "idx:1" << separator;
    QTest::newRow("tab") << a + "\tx\n" << malformed << "idx:1" << separator;
    QTest::newRow("no path") << a + "  \n" << malformed << "idx:1" << "路径为空";
    QTest::newRow("blank line") << a + "  x\n\n" + a + "  y\n" << malformed << "idx:2" << "空行";
    QTest::newRow("CRLF") << a + "  x\r\n" << malformed << "idx:1" << "行尾须为 LF,不能是 CRLF";
    QTest::newRow("escaped name") << "\\" + a + "  x\\\\y\n" << malformed << "idx:1" << digest;
    QTest::newRow("same path twice") << a + "  x\n" + a + "  x\n" << malformed << "idx:2" << "路径重复";
    QTest::newRow("not an index") << QByteArray("<html>404</html>") << malformed << "idx:1" << digest;
    QTest::newRow("over 16 MiB") << QByteArray(ReleaseIndex::maxTextSize + 1, 'a') << Error::Code::TooLarge
                                 << "idx" << "文件超过大小上限";
}

void ReleaseTest::indexRefuses()
{
    QFETCH(QByteArray, text);
    QFETCH(Error::Code, code);
    QFETCH(QString, subject);
    QFETCH(QString, rule);
    try {
        ReleaseIndex::parse(text, QStringLiteral("idx"));
        QFAIL("index accepted");
    } catch (const Error &error) {
        QCOMPARE(error.code(), code);
        QCOMPARE(error.subject(), subject);
        QVERIFY2(update::describe(error).contains(rule), qPrintable(update::describe(error)));
    }
}

void ReleaseTest::treeRules_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("manifest");
    QTest::addColumn<QString>("subject"); // empty when the tree is taken
    QTest::addColumn<QString>("rule");    // when taken: its canonical text
    const QByteArray client = "d 755 bin\nf 755 bin/app\nl 777 lib/libcore.so -> libcore.so.1\nf 644 lib/libcore.so.1\n"
                              "d 700 locale/zh_CN\nl 777 bin/core -> ../lib/libcore.so\n";
    const QStringList files{"bin/app", "lib\\libcore.so.1"};
    const QString line = QStringLiteral("行首须为 d、f 或 l"), name = QStringLiteral("路径不是更新程序可以安装的本地名称");
    const QString target = QStringLiteral("链接目标须为树内的相对路径"), twice = QStringLiteral("路径重复出现");
    QTest::newRow("find's output") << client << files << QString() << "d 755 bin\nf 755 bin/app\nl 777 bin/core -> "
        "../lib/libcore.so\nl 777 lib/libcore.so -> libcore.so.1\nf 644 lib/libcore.so.1\nd 700 locale/zh_CN\n";
    QTest::newRow("'\\', modes as find prints them") << QByteArray("f 0 a\\b\nf 0755 c") << QStringList{"a/b", "c"}
                                                    << QString() << "f 0 a/b\nf 755 c\n";
    QTest::newRow("blank line") << client + '\n' << files << "t:7" << "空行";
    QTest::newRow("CRLF") << QByteArray("f 644 a\r\n") << QStringList{"a"} << "t:1" << "不能是 CRLF";
    QTest::newRow("BOM") << QByteArray("\xef\xbb\xbf" "f 644 a") << QStringList{"a"} << "t:1" << "不带 BOM";
    QTest::newRow("not UTF-8") << QByteArray("f 644 \xff") << QStringList() << "t:1" << "不带 BOM";
    QTest::newRow("FIFO") << QByteArray("p 644 a") << QStringList() << "t:1" << line;
    QTest::newRow("no mode") << QByteArray("f a") << QStringList() << "t:1" << line;
    QTest::newRow("five digits") << QByteArray("f 00644 a") << QStringList() << "t:1" << line;
    QTest::newRow("not octal") << QByteArray("f 648 a") << QStringList() << "t:1" << "八进制";
    QTest::newRow("setuid") << QByteArray("f 4755 a") << QStringList() << "t:1" << "setuid";
    QTest::newRow("absolute") << QByteArray("f 644 /etc/a") << QStringList() << "t:1" << name;
    QTest::newRow("'..' part") << QByteArray("d 755 a/../b") << QStringList() << "t:1" << name;
    QTest::newRow("own name") << QByteArray("f 644 LoadUpdate.tree") << QStringList() << "t:1" << name;
    QTest::newRow("link, no target") << QByteArray("l 777 a") << QStringList() << "t:1" << "路径 -> 目标";
    QTest::newRow("absolute target") << QByteArray("l 777 a -> /etc") << QStringList() << "t:1" << target;
    QTest::newRow("target leaves") << QByteArray("l 777 a/b -> ../../x") << QStringList() << "t:1" << target;
    QTest::newRow("'..' inside target") << QByteArray("l 777 a/b -> x/../../y") << QStringList() << "t:1" << target;
    QTest::newRow("'\\' in target") << QByteArray("l 777 a -> b\\c") << QStringList() << "t:1" << target;
    QTest::newRow("target an own name") << QByteArray("l 777 a/b -> ../Update") << QStringList() << "t:1" << target;
    QTest::newRow("same path twice") << QByteArray("d 755 a\nd 755 a") << QStringList() << "t:2" << twice;
    QTest::newRow("'\\' and '/'") << QByteArray("f 644 a/b\nf 644 a\\b") << QStringList() << "t:2" << twice;
    QTest::newRow("file, then below it") << QByteArray("f 644 a\nd 755 a/b") << QStringList() << "t:2" << "上级路径";
    QTest::newRow("link, then below it") << QByteArray("l 777 a -> b\nf 644 a/c") << QStringList() << "t:2" << "上级路径";
    QTest::newRow("below, then file") << QByteArray("f 644 a/b\nf 644 a") << QStringList() << "t:2" << "另一条目的文件夹";
    QTest::newRow("file not listed") << client << QStringList{"bin/app"} << "lib/libcore.so.1" << "不在清单中";
    QTest::newRow("listed, no file") << client << files + QStringList{"x"} << "x" << "不是发布树中的文件";
    QTest::newRow("listed, a link") << client << files + QStringList{"lib/libcore.so"} << "lib/libcore.so"
                                    << "不是发布树中的文件";
    QTest::newRow("over 16 MiB") << QByteArray(release::ReleaseTree::maxTextSize + 1, 'f') << QStringList() << "t"
                                 << "文件超过大小上限";
}

void ReleaseTest::treeRules()
{
    QFETCH(QByteArray, text);
    QFETCH(QStringList, manifest);
    QFETCH(QString, subject);
    QFETCH(QString, rule);
    try {
        const release::ReleaseTree tree = release::ReleaseTree::parse(text, QStringLiteral("t"));
        tree.checkMatchesManifest(manifest);
        QVERIFY2(subject.isEmpty(), "tree accepted");
        QCOMPARE(QString::fromUtf8(tree.toText()), rule);
        // Built entry by entry, the same tree.
        release::ReleaseTree built;
        for (const release::TreeEntry &entry : tree.entries())
            built.add(entry);
        QCOMPARE(built.toText(), tree.toText());
        QCOMPARE(errorOf([&] { built.add(tree.entries().first()); }), Error::Code::InvalidArgument);
    } catch (const Error &error) {
        QCOMPARE(error.subject(), subject);
        QVERIFY2(update::describe(error).contains(rule), qPrintable(update::describe(error)));
    }
}

void ReleaseTest::indexWrittenChecksWithSha256sum()
{
    TempFolder site;
    ReleaseIndex index;
    const QByteArray chinese = QByteArrayLiteral("KVTA/ZE/\xbf\xcd\xbb\xa7.dll");
    for (const QByteArray &path : {QByteArrayLiteral("KVTA/ZE/UpdateNote.xml"), chinese}) {
        // Written under the raw bytes of its name, as a server in that code page holds it.
        const std::filesystem::path file = std::filesystem::path(site.path().toStdString()) / path.toStdString();
        std::filesystem::create_directories(file.parent_path());
        const QByteArray content = patternBytes(5000, int(path.size()));
        std::ofstream(file, std::ios::binary) << content.toStdString();
        release::Sha256 sha;
        sha.addData(content);
        index.add(path, sha.hexResult());
    }
    site.write(QStringLiteral("index"), index.toText());
    QProcess sum;
    sum.setWorkingDirectory(site.path());
    sum.start(QStringLiteral("sha256sum"), {"--strict", "-c", "index"});
    QVERIFY(sum.waitForFinished());
    QCOMPARE(sum.exitCode(), 0);
    QCOMPARE(ReleaseIndex::parse(index.toText(), "index").requireDigestOf(chinese), index.entries()[1].digest);
    QCOMPARE(errorOf([&] { index.add(chinese, QByteArray(64, '0')); }), Error::Code::InvalidArgument);
    QCOMPARE(errorOf([&] { index.add("a\nb", QByteArray(64, '0')); }), Error::Code::InvalidArgument);
}

void ReleaseTest::publicKeyRefuses_data()
{
    const QByteArray key = m_publicKeyFile.split('\n').at(1);
    const QByteArray bytes = QByteArray::fromBase64(key);
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<Error::Code>("code");
    QTest::newRow("bad base64") << QByteArray(key).replace(5, 1, "!") << Error::Code::MalformedKey;
    QTest::newRow("truncated") << key.left(52) << Error::Code::MalformedKey;
    QTest::newRow("one byte more") << (bytes + 'x').toBase64() << Error::Code::MalformedKey;
    QTest::newRow("trailing blank") << key + " " << Error::Code::MalformedKey;
    QTest::newRow("other algorithm") << ("ED" + bytes.mid(2)).toBase64() << Error::Code::UnsupportedAlgorithm;
    QTest::newRow("empty") << QByteArray() << Error::Code::MalformedKey;
}

void ReleaseTest::publicKeyRefuses()
{
    QFETCH(QByteArray, line);
    QFETCH(Error::Code, code);
    QCOMPARE(errorOf([&] { PublicKey::fromBase64(line, QStringLiteral("UPDATER_PUBLIC_KEY")); }), code);
}

void ReleaseTest::minisignSignaturesVerify_data()
{
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<int>("algorithm");
    QTest::newRow("prehashed ED") << m_prehashed << int(Signature::Algorithm::Prehashed);
    QTest::newRow("legacy Ed") << m_legacy << int(Signature::Algorithm::Legacy);
    QTest::newRow("CRLF line ends") << QByteArray(m_prehashed).replace("\n", "\r\n")
                                    << int(Signature::Algorithm::Prehashed);
}

void ReleaseTest::minisignSignaturesVerify()
{
    QFETCH(QByteArray, signature);
    QFETCH(int, algorithm);
    const Signature parsed = Signature::parse(signature, QStringLiteral("sig"));
    QCOMPARE(int(parsed.algorithm()), algorithm);
    // Both forms of the public key: the .pub file and its base64 line.
    PublicKey::fromFileText(m_publicKeyFile, QStringLiteral("a.pub")).verify(m_message, parsed, "sig");
    PublicKey::fromBase64(m_publicKeyFile.split('\n').at(1), QStringLiteral("key")).verify(m_message, parsed, "sig");
}

void ReleaseTest::tamperingRefused_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<QByteArray>("publicKey");
    QTest::addColumn<Error::Code>("code");
    const QByteArray sig = m_prehashed;
    const QByteArray key = m_publicKeyFile;
    QByteArray edited = m_message;
    edited[500] = char(edited[500] ^ 1);
    const QByteArray signatureBytes = base64Line(sig, 1);
    const QByteArray otherKeyId = base64Line(m_byOtherKey, 1).mid(2, 8);

    QTest::newRow("edited file") << edited << sig << key << Error::Code::BadSignature;
    QTest::newRow("edited file, legacy") << edited << m_legacy << key << Error::Code::BadSignature;
    QTest::newRow("edited trusted comment")
        << m_message << replaceLine(sig, 2, "trusted comment: timestamp:1800000000\tversion:2.5") << key
        << Error::Code::BadCommentSignature;
    QTest::newRow("edited global signature")
        << m_message << replaceLine(sig, 3, QByteArray(64, 'A').toBase64()) << key
        << Error::Code::BadCommentSignature;
    QTest::newRow("another key") << m_message << m_byOtherKey << key << Error::Code::WrongKey;
    QTest::newRow("another key, its id changed to ours")
        << m_message << replaceLine(m_byOtherKey, 1, (base64Line(m_byOtherKey, 1).left(2) + signatureBytes.mid(2, 8)
                                                      + base64Line(m_byOtherKey, 1).mid(10)).toBase64())
        << key << Error::Code::BadSignature;
    QTest::newRow("wrong key id") << m_message
                                  << replaceLine(sig, 1, (signatureBytes.left(2) + otherKeyId + signatureBytes.mid(10))
                                                             .toBase64())
                                  << key << Error::Code::WrongKey;
    QTest::newRow("prehashed marked legacy")
        << m_message << replaceLine(sig, 1, ("Ed" + signatureBytes.mid(2)).toBase64()) << key
        << Error::Code::BadSignature;
    QTest::newRow("wrong algorithm") << m_message << replaceLine(sig, 1, ("EE" + signatureBytes.mid(2)).toBase64())
                                     << key << Error::Code::UnsupportedAlgorithm;
    QTest::newRow("bad base64") << m_message << replaceLine(sig, 1, "RUR!" + sig.split('\n').at(1).mid(4)) << key
                                << Error::Code::MalformedSignature;
    QTest::newRow("no padding") << m_message << replaceLine(sig, 1, sig.split('\n').at(1).chopped(2)) << key
                                << Error::Code::MalformedSignature;
    QTest::newRow("short signature") << m_message << replaceLine(sig, 1, signatureBytes.left(73).toBase64()) << key
                                     << Error::Code::MalformedSignature;
    QTest::newRow("no untrusted prefix")
        << m_message << replaceLine(sig, 0, "comment: x") << key << Error::Code::MalformedSignature;
    QTest::newRow("no trusted prefix") << m_message << replaceLine(sig, 2, "trusted: x") << key
                                       << Error::Code::MalformedSignature;
    QTest::newRow("three lines") << m_message << sig.left(sig.lastIndexOf('\n', sig.size() - 2) + 1) << key
                                 << Error::Code::MalformedSignature;
    QTest::newRow("extra line") << m_message << sig + "more\n" << key << Error::Code::MalformedSignature;
    QTest::newRow("empty") << m_message << QByteArray() << key << Error::Code::MalformedSignature;
    QTest::newRow("over 1 MiB") << m_message << sig + QByteArray(Signature::maxTextSize, '\n') << key
                                << Error::Code::TooLarge;
    QTest::newRow("other public key") << m_message << sig << m_otherPublicKeyFile << Error::Code::WrongKey;
}

void ReleaseTest::tamperingRefused()
{
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, signature);
    QFETCH(QByteArray, publicKey);
    QFETCH(Error::Code, code);
    try {
        PublicKey::fromFileText(publicKey, QStringLiteral("pub"))
            .verify(message, Signature::parse(signature, QStringLiteral("LoadUpdate.sha256.minisig")),
                    QStringLiteral("LoadUpdate.sha256.minisig"));
        QFAIL("signature accepted");
    } catch (const Error &error) {
        QCOMPARE(error.code(), code);
        QVERIFY2(error.subject().startsWith(QStringLiteral("LoadUpdate.sha256.minisig")), qPrintable(error.subject()));
    }
}

void ReleaseTest::timestamp_data()
{
    using Code = Error::Code;
    QTest::addColumn<QByteArray>("comment");
    QTest::addColumn<qint64>("expected"); // -1: refused with `code`
    QTest::addColumn<Code>("code");
    const Code accepted{};
    QTest::newRow("minisign's default") << QByteArray("timestamp:1700000000\tfile:LoadUpdate.sha256\thashed")
                                        << qint64(1700000000) << accepted;
    QTest::newRow("after a blank") << QByteArray("version 2.5 timestamp:42") << qint64(42) << accepted;
    QTest::newRow("a day ahead of the clock") << QByteArray("timestamp:1700086400") << qint64(1700086400) << accepted;
    QTest::newRow("none") << QByteArray("file:x") << qint64(-1) << Code::MissingTimestamp;
    QTest::newRow("inside a word") << QByteArray("mytimestamp:5") << qint64(-1) << Code::MissingTimestamp;
    QTest::newRow("no digits") << QByteArray("timestamp:x") << qint64(-1) << Code::MalformedTimestamp;
    QTest::newRow("digits, then more") << QByteArray("timestamp:17e8") << qint64(-1) << Code::MalformedTimestamp;
    QTest::newRow("too large") << QByteArray("timestamp:99999999999999999999") << qint64(-1)
                               << Code::MalformedTimestamp;
    QTest::newRow("over a day ahead") << QByteArray("timestamp:1700086401") << qint64(-1) << Code::FutureTimestamp;
}

void ReleaseTest::timestamp()
{
    QFETCH(QByteArray, comment);
    QFETCH(qint64, expected);
    QFETCH(Error::Code, code);
    const qint64 now = 1700000000;
    const Signature signature(Signature::Algorithm::Prehashed, QByteArray(8, 'k'), QByteArray(64, 's'), comment,
                              QByteArray(64, 'g'), "x");
    if (expected < 0)
        QCOMPARE(errorOf([&] { signature.acceptedTimestamp(now, QStringLiteral("sig")); }), code);
    else
        QCOMPARE(signature.acceptedTimestamp(now, QStringLiteral("sig")), expected);
}

void ReleaseTest::scryptParameters_data()
{
    QTest::addColumn<quint64>("opsLimit");
    QTest::addColumn<quint64>("memLimit");
    QTest::addColumn<int>("nLog2");
    QTest::addColumn<int>("p");
    QTest::addColumn<bool>("affordable");
    QTest::newRow("sensitive (minisign)") << quint64(33554432) << quint64(1073741824) << 20 << 1 << true;
    QTest::newRow("halved once (low memory)") << quint64(16777216) << quint64(536870912) << 19 << 1 << true;
    QTest::newRow("interactive") << quint64(524288) << quint64(16777216) << 14 << 1 << true;
    QTest::newRow("ops below memory") << quint64(32768) << quint64(1073741824) << 10 << 1 << true;
    QTest::newRow("hostile memory") << (quint64(1) << 40) << (quint64(1) << 40) << 30 << 1 << false;
    QTest::newRow("hostile operations") << (quint64(1) << 40) << (quint64(1) << 20) << 10 << (1 << 25) << false;
}

void ReleaseTest::scryptParameters()
{
    QFETCH(quint64, opsLimit);
    QFETCH(quint64, memLimit);
    QFETCH(int, nLog2);
    QFETCH(int, p);
    QFETCH(bool, affordable);
    const auto parameters = release::pwhash::parametersFor(opsLimit, memLimit);
    QCOMPARE(release::pwhash::isAffordable(parameters), affordable);
    if (affordable) {
        QCOMPARE(parameters.nLog2, nLog2);
        QCOMPARE(parameters.r, 8u);
        QCOMPARE(int(parameters.p), p);
    }
}

void ReleaseTest::unencryptedKeysWorkBothWays()
{
    // Ours, used by minisign: it signs with our secret key and verifies with our public key.
    const SecretKey ours = SecretKey::generate();
    QVERIFY(!SecretKey::isEncrypted(ours.toFileText({}), "ours"));
    m_folder.write(QStringLiteral("ours.key"), ours.toFileText({}));
    m_folder.write(QStringLiteral("ours.pub"), ours.publicKey().toFileText());
    minisign({"-S", "-W", "-s", m_folder.path("ours.key"), "-m", m_folder.path("message"), "-x",
              m_folder.path("by-minisign")});
    ours.publicKey().verify(m_message, Signature::parse(m_folder.read("by-minisign"), "s"), "s");

    // Our signature, verified by minisign.
    m_folder.write(QStringLiteral("by-us"), ours.sign(m_message, "timestamp:1700000001\tversion:7").toText());
    int exitCode = -1;
    const QByteArray output = minisign({"-V", "-p", m_folder.path("ours.pub"), "-m", m_folder.path("message"), "-x",
                                        m_folder.path("by-us")},
                                       {}, &exitCode);
    QCOMPARE(exitCode, 0);
    QVERIFY(output.contains("timestamp:1700000001\tversion:7"));

    // minisign's -W key, used by us; minisign verifies the result.
    const SecretKey theirs = SecretKey::fromFile(m_folder.path("a.key"), {});
    // The key line; the comment above it is untrusted (minisign 0.11 writes
    // the key id there without leading zeros, newer versions with them).
    QCOMPARE(theirs.publicKey().toBase64(), m_publicKeyFile.split('\n').at(1));
    m_folder.write(QStringLiteral("by-us-2"), theirs.sign(m_message, "timestamp:1").toText());
    minisign({"-V", "-p", m_folder.path("a.pub"), "-m", m_folder.path("message"), "-x", m_folder.path("by-us-2")},
             {}, &exitCode);
    QCOMPARE(exitCode, 0);

    // A key file whose public half does not belong to its seed.
    QByteArray bytes = QByteArray::fromBase64(m_folder.read("a.key").split('\n').at(1));
    bytes[bytes.size() - 40] = char(bytes[bytes.size() - 40] ^ 1);
    QCOMPARE(errorOf([&] {
                 SecretKey::fromFileText("untrusted comment: x\n" + bytes.toBase64() + "\n", {}, "k");
             }),
             Error::Code::MalformedKey);
}

void ReleaseTest::encryptedKeysWorkBothWays()
{
    // Each derivation costs what minisign's default asks: 1 GiB, a few seconds.
    const QByteArray password = "correct horse";
    const SecretKey ours = SecretKey::generate();
    const QByteArray ourFile = ours.toFileText(password);
    QVERIFY(SecretKey::isEncrypted(ourFile, "ours"));
    m_folder.write(QStringLiteral("enc.key"), ourFile);
    m_folder.write(QStringLiteral("enc.pub"), ours.publicKey().toFileText());
    minisign({"-S", "-s", m_folder.path("enc.key"), "-m", m_folder.path("message"), "-x", m_folder.path("enc-sig")},
             password + "\n");
    ours.publicKey().verify(m_message, Signature::parse(m_folder.read("enc-sig"), "s"), "s");

    minisign({"-G", "-p", m_folder.path("m.pub"), "-s", m_folder.path("m.key")}, password + "\n" + password + "\n");
    QCOMPARE(errorOf([&] { SecretKey::fromFile(m_folder.path("m.key"), {}); }), Error::Code::PasswordRequired);
    QCOMPARE(errorOf([&] { SecretKey::fromFile(m_folder.path("m.key"), "wrong"); }), Error::Code::WrongPassword);
    const SecretKey theirs = SecretKey::fromFile(m_folder.path("m.key"), password);
    m_folder.write(QStringLiteral("m-sig"), theirs.sign(m_message, "timestamp:5").toText());
    int exitCode = -1;
    minisign({"-V", "-p", m_folder.path("m.pub"), "-m", m_folder.path("message"), "-x", m_folder.path("m-sig")}, {},
             &exitCode);
    QCOMPARE(exitCode, 0);
}

QTEST_GUILESS_MAIN(ReleaseTest)
#include "tst_release.moc"

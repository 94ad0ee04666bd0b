// What a signed run trusts, decided from bytes alone: releases signed by the
// real minisign, indexes written by the real sha256sum, no server, no window.

#include "platform/core/error.h"
#include "release/sitelayout.h"
#include "update/treechange.h"
#include "update/trustedset.h"

#include "support/programs.h"
#include "support/tempfolder.h"

#include <QCryptographicHash>
#include <QTest>

using Code = platform::Error::Code;
using update::TrustedSet;

namespace {

constexpr qint64 now = 1750000000, signedAt = 1700000000, dayAhead = now + 86401;
constexpr auto accepted = Code(-1);
const QString signature = sitelayout::signaturePath, stamp = sitelayout::stampPath,
              manifest = sitelayout::manifestPath;

QByteArray sha256(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}
const QByteArray anotherIndex = sha256("b") + "  files/b.bin\n";

// A trusted comment: signed at `time`, vouched for until `expires` if given.
QByteArray at(qint64 time, qint64 expires = 0)
{
    return "timestamp:" + QByteArray::number(time) + (expires ? " expires:" + QByteArray::number(expires) : "");
}

// The columns every family shares: the server's signature, then how the row ends.
void addColumns()
{
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<Code>("code"); // `accepted` for none
    QTest::addColumn<QString>("subject");
}

// Runs `steps` on the row's signature and compares what they raised with its code and subject.
template <typename Steps>
void expect(Steps steps)
{
    QFETCH(QByteArray, signature);
    QFETCH(Code, code);
    QFETCH(QString, subject);
    try {
        steps(signature);
    } catch (const platform::Error &error) {
        QCOMPARE(int(error.code()), int(code));
        QVERIFY2(error.subject().startsWith(subject), qPrintable(error.subject()));
        return;
    }
    QCOMPARE(int(accepted), int(code));
}

// Gives the signature, index and stamp of one release, as a run fetches them.
void establish(TrustedSet &set, const QByteArray &signature, const QByteArray &index, const QByteArray &stamp)
{
    set.updateSignature(signature);
    set.updateIndex(index);
    set.updateStamp(stamp);
}

} // namespace

class TrustTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void releases_data();
    void releases();
    void keptRelease_data();
    void keptRelease();
    void generations_data();
    void generations();
    void files_data();
    void files();
    void order_data();
    void order();
    void treeChange_data();
    void treeChange();

private:
    QByteArray sign(const QByteArray &comment, const QString &key = "publisher", QByteArray index = {});
    TrustedSet set(const QStringList &keys = {"publisher"}) const;

    TempFolder m_work;
    QByteArray m_index, m_manifest = "0001files/a.bin name a.bin\r\n", m_stored, m_good;
};

void TrustTest::initTestCase()
{
    for (const QString &name : QStringList{"publisher", "other", "next"})
        runProgram("minisign", {"-G", "-W", "-f", "-p", m_work.path(name + ".pub"), "-s", m_work.path(name + ".key")});
    m_stored = sitelayout::storedFile(sha256("stored"));
    const QByteArray files[][2]{
        {stamp.toLatin1(), "2.0\r\n"}, {manifest.toLatin1(), m_manifest}, {"files/a.bin", "a"}, {m_stored, "stored"}};
    QStringList paths;
    for (const auto &[path, content] : files)
        paths << m_work.write("site/" + path, content).section("/site/", 1);
    m_index = runProgram("sha256sum", paths, m_work.path("site"));
    QCOMPARE(m_index.count('\n'), 4);
    m_good = sign(at(signedAt));
}

QByteArray TrustTest::sign(const QByteArray &comment, const QString &key, QByteArray index)
{
    const QString file = m_work.write("index", index.isNull() ? m_index : index);
    QFile::remove(file + ".minisig");
    runProgram("minisign", {"-S", "-s", m_work.path(key + ".key"), "-m", file, "-t", comment});
    return m_work.read("index.minisig");
}

TrustedSet TrustTest::set(const QStringList &keys) const
{
    QByteArrayList lines;
    for (const QString &key : keys)
        lines << m_work.read(key + ".pub").split('\n').value(1);
    return TrustedSet(release::KeyRing::fromText(lines.join(';'), "keys"), [] { return now; });
}

void TrustTest::releases_data()
{
    addColumns();
    QTest::addColumn<QByteArray>("index");
    const QByteArray edited = QByteArray(m_good).replace(at(signedAt), at(signedAt + 1));
    const QByteArray malformed = m_index + "nonsense\n";
    QTest::newRow("whole") << m_good << accepted << "" << m_index;
    QTest::newRow("another key") << sign(at(signedAt), "other") << Code::WrongKey << signature << m_index;
    QTest::newRow("index changed after signing") << m_good << Code::BadSignature << signature << m_index + m_index;
    QTest::newRow("edited trusted comment") << edited << Code::BadCommentSignature << signature << m_index;
    QTest::newRow("no timestamp") << sign("file:x") << Code::MissingTimestamp << signature << m_index;
    QTest::newRow("malformed timestamp") << sign("timestamp:17x") << Code::MalformedTimestamp << signature << m_index;
    QTest::newRow("over a day ahead") << sign(at(dayAhead)) << Code::FutureTimestamp << signature << m_index;
    QTest::newRow("expired") << sign(at(signedAt, now)) << Code::ExpiredRelease << signature << m_index;
    QTest::newRow("malformed signature") << QByteArray("untrusted comment: x\nnot base64\n")
                                         << Code::MalformedSignature << signature << m_index;
    QTest::newRow("malformed index") << sign(at(signedAt), "publisher", malformed) << Code::MalformedIndex
                                     << QString(sitelayout::indexPath) << malformed;
}

void TrustTest::releases()
{
    QFETCH(QByteArray, index);
    TrustedSet trusted = set();
    expect([&](const QByteArray &signature) { establish(trusted, signature, index, "2.0\r\n"); });
}

void TrustTest::keptRelease_data()
{
    addColumns();
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QByteArray>("kept"); // the kept pair's signature; empty: none
    QTest::addColumn<bool>("equalStamps");
    const QStringList one{"publisher"}, both{"publisher", "next"}, next{"next"};
    const QByteArray later = sign(at(signedAt + 1)), byNext = sign(at(signedAt + 1), "next"),
                     expired = sign(at(signedAt + 1, now - 1)), fresh = sign(at(signedAt, now + 60)),
                     stale = sign(at(signedAt, now)), byOther = sign(at(signedAt, now + 60), "other");
    const Code older = Code::OlderRelease;
    QTest::newRow("older release") << m_good << older << signature << one << later << false;
    QTest::newRow("same release again") << m_good << accepted << "" << one << m_good << false;
    QTest::newRow("newer release") << later << accepted << "" << one << m_good << false;
    QTest::newRow("kept expired, still a reference") << m_good << older << signature << one << expired << false;
    QTest::newRow("kept by any accepted key") << m_good << older << signature << both << byNext << false;
    QTest::newRow("new key's release after the old") << byNext << accepted << "" << both << m_good << false;
    QTest::newRow("kept by a dropped key") << sign(at(signedAt), "next") << accepted << "" << next << later << false;
    QTest::newRow("kept a day ahead") << m_good << accepted << "" << one << sign(at(dayAhead)) << false;
    QTest::newRow("other key") << sign(at(signedAt), "other") << Code::WrongKey << signature << both << later << false;
    QTest::newRow("same time, another index") << m_good << older << signature << one << sign(at(signedAt), "publisher", anotherIndex) << false;
    // On equal stamps the server's signature is read only where the kept release carries an expiry.
    QTest::newRow("equal stamps, fresh") << fresh << accepted << "" << one << fresh << true;
    QTest::newRow("equal stamps, expired") << stale << Code::StaleRelease << signature << one << fresh << true;
    QTest::newRow("equal stamps, unknown key") << byOther << Code::WrongKey << signature << one << fresh << true;
    QTest::newRow("equal stamps, over a day ahead") << sign(at(dayAhead)) << Code::FutureTimestamp << signature
                                                    << one << fresh << true;
    QTest::newRow("equal stamps, no expiry kept") << expired << accepted << "" << one << m_good << true;
    QTest::newRow("equal stamps, older signature") << m_good << Code::StaleRelease << signature << one << expired << true;
    QTest::newRow("equal stamps, expiry dropped") << m_good << Code::StaleRelease << signature << one << stale << true;
}

void TrustTest::keptRelease()
{
    QFETCH(QStringList, keys);
    QFETCH(QByteArray, kept);
    QFETCH(bool, equalStamps);
    TrustedSet trusted = set(keys);
    trusted.loadKept(m_index, kept) || trusted.loadKept(anotherIndex, kept);
    expect([&](const QByteArray &signature) {
        if (!equalStamps)
            establish(trusted, signature, m_index, "2.0\r\n");
        else if (trusted.keptExpires())
            trusted.confirmFresh(signature);
    });
}

void TrustTest::generations_data()
{
    addColumns();
    QTest::addColumn<QByteArray>("index");
    QTest::addColumn<QByteArray>("stamp");
    QTest::addColumn<int>("manifestStatus");
    const QString folder = QString::fromLatin1(sitelayout::releasesFolder) + '/' + sha256(m_index) + '/',
                  indexCopy = folder + "LoadUpdate.sha256", manifestCopy = folder + "LoadUpdate.inf";
    const QByteArray named = sign(at(signedAt) + " index:" + sha256(m_index)), badField = sign("index:abc");
    const QByteArray other = m_index + sha256("b") + "  files/b.bin\n", next = "2.1\r\n", same = "2.0\r\n";
    QTest::newRow("named, whole") << named << accepted << "" << m_index << same << 200;
    QTest::newRow("named, another index") << named << Code::DigestMismatch << indexCopy << other << same << 200;
    QTest::newRow("named, stamp of another body") << named << Code::DigestMismatch << stamp << m_index << next << 200;
    QTest::newRow("named, no manifest yet") << named << Code::BeingPublished << manifestCopy << m_index << same << 404;
    QTest::newRow("index: no digest") << badField << Code::MalformedSignature << signature << m_index << same << 200;
    QTest::newRow("fixed paths, 404 is no release yet") << m_good << accepted << "" << m_index << same << 404;
    QTest::newRow("fixed paths, another stamp") << m_good << Code::BeingPublished << stamp << m_index << next << 200;
}

void TrustTest::generations()
{
    QFETCH(QByteArray, index);
    QFETCH(QByteArray, stamp);
    QFETCH(int, manifestStatus);
    TrustedSet trusted = set();
    expect([&](const QByteArray &signature) {
        establish(trusted, signature, index, stamp);
        trusted.generation().requireFound(sitelayout::manifestPath, manifestStatus);
    });
}

void TrustTest::files_data()
{
    addColumns();
    QTest::addColumn<QByteArray>("manifestBytes");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("content");
    const QString a = "files/a.bin", b = "files/b.bin";
    const QByteArray longer = m_manifest + "0001files/b.bin name b.bin\r\n";
    QTest::newRow("listed file") << m_good << accepted << "" << m_manifest << a << QByteArray("a");
    QTest::newRow("stored file") << m_good << accepted << "" << m_manifest << QString(m_stored) << QByteArray("stored");
    QTest::newRow("other bytes") << m_good << Code::DigestMismatch << a << m_manifest << a << QByteArray("b");
    QTest::newRow("not in the index") << m_good << Code::NotInIndex << b << m_manifest << b << QByteArray("b");
    QTest::newRow("manifest, a line more") << m_good << Code::DigestMismatch << manifest << longer << a << QByteArray();
}

void TrustTest::files()
{
    QFETCH(QByteArray, manifestBytes);
    QFETCH(QString, path);
    QFETCH(QByteArray, content);
    QFETCH(Code, code);
    TrustedSet trusted = set();
    expect([&](const QByteArray &signature) {
        establish(trusted, signature, m_index, "2.0\r\n");
        trusted.updateManifest(sha256(manifestBytes));
        // Only a file stored under its own digest may come from any cache.
        QCOMPARE(trusted.release().isContentAddressed(path), path == QString(m_stored));
        QCOMPARE(trusted.release().provesDigest(path, sha256(content)), code == accepted);
        trusted.release().checkDigest(path, sha256(content));
    });
}

void TrustTest::order_data()
{
    addColumns();
    QTest::addColumn<QString>("steps"); // given in this order; the last one is refused
    const Code refused = Code::InvalidArgument;
    QTest::newRow("index first") << m_good << refused << QString(sitelayout::indexPath) << "index";
    QTest::newRow("stamp before the index") << m_good << refused << stamp << "signature stamp";
    QTest::newRow("files before the manifest") << m_good << refused << manifest << "signature index stamp files";
    QTest::newRow("kept after the signature") << m_good << refused << QString(sitelayout::keptSignature)
                                              << "signature kept";
    QTest::newRow("signature twice") << m_good << refused << signature << "signature signature";
}

void TrustTest::order()
{
    QFETCH(QString, steps);
    TrustedSet trusted = set();
    expect([&](const QByteArray &signature) {
        const QMap<QString, std::function<void()>> step{{"kept", [&] { trusted.loadKept(m_index, signature); }},
                                                        {"signature", [&] { trusted.updateSignature(signature); }},
                                                        {"index", [&] { trusted.updateIndex(m_index); }},
                                                        {"stamp", [&] { trusted.updateStamp("2.0\r\n"); }},
                                                        {"files", [&] { trusted.release(); }}};
        for (const QString &name : steps.split(' '))
            step[name]();
    });
}

void TrustTest::treeChange_data()
{
    QTest::addColumn<QByteArray>("kept"); // empty: no kept tree counts
    QTest::addColumn<QByteArray>("next");
    QTest::addColumn<QStringList>("files");   // removed
    QTest::addColumn<QStringList>("folders"); // removed, deepest first
    QTest::addColumn<QStringList>("links");
    const QByteArray deep = "f 644 a\nf 755 p/q/r\nf 644 p/s\nd 755 e\n";
    QTest::newRow("no kept tree: nothing goes") << QByteArray() << QByteArray("f 644 a\n") << QStringList()
                                                << QStringList() << QStringList();
    QTest::newRow("files dropped, their folders and an empty one go")
        << deep << QByteArray("f 644 a\n") << QStringList{"p/q/r", "p/s"} << QStringList{"p/q", "e", "p"}
        << QStringList();
    QTest::newRow("the same tree: nothing goes") << deep << deep << QStringList() << QStringList() << QStringList();
    QTest::newRow("a file becomes a folder") << QByteArray("f 644 x\n") << QByteArray("f 644 x/y\n")
                                             << QStringList{"x"} << QStringList() << QStringList();
    QTest::newRow("a folder becomes a file") << QByteArray("f 644 x/y\n") << QByteArray("f 644 x\n")
                                             << QStringList{"x/y"} << QStringList{"x"} << QStringList();
    QTest::newRow("a file becomes a link: replaced, not removed")
        << QByteArray("f 644 lib.so\nf 644 lib.so.0\n") << QByteArray("l 777 lib.so -> lib.so.1\nf 644 lib.so.1\n")
        << QStringList{"lib.so.0"} << QStringList() << QStringList{"lib.so -> lib.so.1"};
    QTest::newRow("a link chain in a subfolder") << QByteArray()
        << QByteArray("l 777 lib/libcore.so -> libcore.so.1\nl 777 lib/libcore.so.1 -> libcore.so.1.2\n"
                      "f 755 lib/libcore.so.1.2\nl 777 bin/core -> ../lib/libcore.so\n")
        << QStringList() << QStringList()
        << QStringList{"bin/core -> ../lib/libcore.so", "lib/libcore.so -> libcore.so.1",
                       "lib/libcore.so.1 -> libcore.so.1.2"};
}

void TrustTest::treeChange()
{
    QFETCH(QByteArray, kept);
    QFETCH(QByteArray, next);
    QFETCH(QStringList, files);
    QFETCH(QStringList, folders);
    QFETCH(QStringList, links);
    const std::optional<release::ReleaseTree> keptTree =
        kept.isEmpty() ? std::nullopt : std::optional(release::ReleaseTree::parse(kept, "kept"));
    const release::ReleaseTree nextTree = release::ReleaseTree::parse(next, "next");
    const update::TreeChange change(keptTree ? &*keptTree : nullptr, nextTree);
    QStringList removed = change.removedFiles();
    removed.sort();
    QCOMPARE(removed, files);
    QCOMPARE(change.removedFolders(), folders);
    QStringList made;
    for (const auto &[path, target] : change.links())
        made << path + " -> " + target;
    made.sort();
    QCOMPARE(made, links);
    for (const auto &[path, mode] : change.modes())
        QCOMPARE(mode, nextTree.find(path)->mode);
    QCOMPARE(QSet<QString>(change.folders().cbegin(), change.folders().cend()), nextTree.folders());
}

QTEST_GUILESS_MAIN(TrustTest)
#include "tst_trust.moc"

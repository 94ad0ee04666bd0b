// Rebuilding a large file from a zstd patch, as a signed run does:
//   bench_rebuild [MiB]   makes an old file of MiB (default 1024) and a new
//                         one with a few changes in a temporary folder, a
//                         patch between them with the zstd program
//                         (--long=31 --patch-from), then hashes the old file
//                         through its descriptor and rebuilds the new one
//                         from it and the patch. Prints the seconds of each
//                         step, the peak memory beyond file mappings
//                         (anonymous resident memory, sampled every 5 ms),
//                         the peak resident size with the mappings, and the
//                         longest gap between two ticks of a 1 ms timer on
//                         the event loop, with the part of it that the
//                         event loop's thread spent waiting for a processor.

#include "update/filedigest.h"
#include "update/formrebuild.h"

#include "platform/files/filesystem.h"
#include "platform/files/filedescriptor.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Nanoseconds that this thread has spent waiting for a processor so far.
qint64 runQueueWaitNs()
{
    QFile schedstat(QStringLiteral("/proc/thread-self/schedstat"));
    return schedstat.open(QIODevice::ReadOnly) ? schedstat.readAll().split(' ').value(1).toLongLong() : 0;
}

// A field of /proc/self/status, in KiB.
qint64 statusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qsizetype(qstrlen(field))).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// MiB of bytes that zstd finds no shorter form of, and the same with a
// changed stretch of 4 KiB in every 64 MiB.
void writeFiles(const QString &oldPath, const QString &newPath, qint64 mebibytes)
{
    QFile oldFile(oldPath), newFile(newPath);
    oldFile.open(QIODevice::WriteOnly);
    newFile.open(QIODevice::WriteOnly);
    QByteArray block(1 << 20, Qt::Uninitialized);
    quint64 x = 88172645463325252ull;
    for (qint64 m = 0; m < mebibytes; ++m) {
        for (qsizetype i = 0; i < block.size(); i += 8) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            std::memcpy(block.data() + i, &x, 8);
        }
        oldFile.write(block);
        if (m % 64 == 7)
            std::fill_n(block.data() + 1000, 4096, char(m));
        newFile.write(block);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const qint64 mebibytes = argc > 1 ? std::atoll(argv[1]) : 1024;
    QTemporaryDir work;
    const QString oldPath = work.filePath(QStringLiteral("old")), newPath = work.filePath(QStringLiteral("new")),
                  patchPath = work.filePath(QStringLiteral("patch")), outPath = work.filePath(QStringLiteral("out"));
    writeFiles(oldPath, newPath, mebibytes);

    QElapsedTimer clock;
    clock.start();
    QProcess zstd;
    zstd.start(QStringLiteral("zstd"), {"-q", "-f", "-1", "--long=31", "--patch-from=" + oldPath, newPath, "-o", patchPath});
    if (!zstd.waitForFinished(-1) || zstd.exitCode() != 0) {
        std::fprintf(stderr, "zstd failed: %s\n", zstd.readAllStandardError().constData());
        return 1;
    }
    const double makeSeconds = clock.nsecsElapsed() / 1e9;
    const QByteArray expected = update::sha256OfPlainFile(newPath).value_or(QByteArray());
    QFile::remove(newPath);

    // The longest gap, and how much of it the thread was ready to run but
    // waited for a processor (the machine's load rather than the program).
    qint64 longestGapNs = 0, longestGapWaitNs = 0, lastWaitNs = runQueueWaitNs(), peakAnonKiB = 0;
    QElapsedTimer sinceTick;
    QTimer ticks, samples;
    ticks.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticks, &QTimer::timeout, [&] {
        const qint64 waitNs = runQueueWaitNs();
        if (sinceTick.nsecsElapsed() > longestGapNs) {
            longestGapNs = sinceTick.nsecsElapsed();
            longestGapWaitNs = waitNs - lastWaitNs;
        }
        lastWaitNs = waitNs;
        sinceTick.start();
    });
    QObject::connect(&samples, &QTimer::timeout, [&] { peakAnonKiB = std::max(peakAnonKiB, statusKiB("RssAnon:")); });
    const qint64 anonBeforeKiB = statusKiB("RssAnon:");
    sinceTick.start();
    ticks.start(1);
    samples.start(5);

    clock.restart();
    const platform::FileDescriptor source = platform::filesystem::openOwnFile(oldPath);
    const QByteArray from = update::sha256OfOpenFile(source.get(), oldPath).value_or(QByteArray());
    const double hashSeconds = clock.nsecsElapsed() / 1e9;
    clock.restart();
    const update::RebuiltFile rebuilt =
        update::rebuildFromForm(platform::filesystem::openOwnFile(patchPath), patchPath, source, oldPath, outPath);
    const double rebuildSeconds = clock.nsecsElapsed() / 1e9;
    peakAnonKiB = std::max(peakAnonKiB, statusKiB("RssAnon:"));

    std::printf("file-MiB %lld patch-bytes %lld make-patch-seconds %.2f hash-old-seconds %.3f rebuild-seconds %.3f "
                "peak-anon-MiB %.1f (before %.1f) peak-rss-with-mappings-MiB %.1f longest-stall-ms %.1f "
                "(waiting-for-a-processor-ms %.1f) rebuilt-right %s\n",
                mebibytes, QFileInfo(patchPath).size(), makeSeconds, hashSeconds, rebuildSeconds,
                peakAnonKiB / 1024.0, anonBeforeKiB / 1024.0, statusKiB("VmHWM:") / 1024.0, longestGapNs / 1e6,
                longestGapWaitNs / 1e6, rebuilt.sha256 == expected && from.size() == 64 ? "yes" : "NO");
    return rebuilt.sha256 == expected && from.size() == 64 ? 0 : 1;
}

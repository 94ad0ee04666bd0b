// The digest that the download engine computes while it writes:
//   bench_sha256 [MiB]   hashes MiB (default 256) of data in 512-byte blocks,
//                        first with Sha256 on the calling thread; then writes
//                        them to a file in 512-byte blocks as the engine does,
//                        without a digest and with BackgroundSha256 reading
//                        the file back. Prints, for each, the seconds, MB/s
//                        and cost per block, and the processor time of the
//                        calling thread; for the background digest, the time
//                        beyond writing the file alone (what the digest costs
//                        the writing thread).

#include "platform/files/bytestream.h"
#include "release/backgroundsha256.h"
#include "release/sha256.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>

namespace {

double threadCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + now.tv_nsec / 1e9;
}

void print(const char *name, qint64 mebibytes, double seconds, double cpu, const QByteArray &digest)
{
    const double bytes = double(mebibytes) * (1 << 20);
    std::printf("%s bytes %.0f seconds %.3f MB/s %.0f us-per-512-byte-block %.3f thread-cpu-seconds %.3f digest %s\n",
                name, bytes, seconds, bytes / seconds / 1e6, seconds * 1e6 / (bytes / 512), cpu,
                digest.isEmpty() ? "-" : digest.constData());
}

// Feeds the blocks to `add`, then asks `finish` for the digest: prints the
// seconds and the calling thread's processor seconds, less `cpuBeside`.
template <typename Add, typename Finish>
double measure(const char *name, const QByteArray &buffer, qint64 mebibytes, double cpuBeside, Add add, Finish finish)
{
    const double cpuBefore = threadCpuSeconds();
    QElapsedTimer clock;
    clock.start();
    for (qint64 m = 0; m < mebibytes; ++m) {
        for (qsizetype at = 0; at < buffer.size(); at += 512)
            add(buffer.constData() + at);
    }
    const QByteArray digest = finish();
    const double cpu = threadCpuSeconds() - cpuBefore;
    print(name, mebibytes, clock.nsecsElapsed() / 1e9, cpu - cpuBeside, digest);
    return cpu;
}

} // namespace

int main(int argc, char *argv[])
{
    const qint64 mebibytes = argc > 1 ? std::atoll(argv[1]) : 256;
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    for (qsizetype i = 0; i < buffer.size(); ++i)
        buffer[i] = char(i * 131 + (i >> 9));
    release::Sha256 onThisThread;
    measure("inline", buffer, mebibytes, 0, [&](const char *block) { onThisThread.addData(QByteArrayView(block, 512)); },
            [&] { return onThisThread.hexResult(); });
    QTemporaryDir folder;
    std::optional<platform::ByteStream> file;
    file.emplace(folder.filePath(QStringLiteral("plain")));
    const double writing = measure("written", buffer, mebibytes, 0, [&](const char *block) { file->write(block, 512); },
                                   [&] { file->close(); return QByteArray(); });
    release::BackgroundSha256 background;
    file.emplace(folder.filePath(QStringLiteral("hashed")));
    background.start(file->reader(), QStringLiteral("hashed"));
    measure("background", buffer, mebibytes, writing,
            [&](const char *block) {
                file->write(block, 512);
                background.written(qint64(file->flushedSize()));
            },
            [&] {
                file->flush();
                QByteArray digest = background.hexResult(qint64(file->flushedSize()));
                file->close();
                return digest;
            });
    return 0;
}

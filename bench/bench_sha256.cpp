// The digest that the download engine computes while it writes:
//   bench_sha256 [MiB]   hashes MiB (default 256) of data in 512-byte blocks,
//                        as the engine feeds them: first with Sha256 on the
//                        calling thread, then with BackgroundSha256, as the
//                        engine does now; prints, for each, the seconds,
//                        MB/s and cost per block, and the processor time
//                        of the calling thread (which a worker spares).

#include "release/backgroundsha256.h"
#include "release/sha256.h"

#include <QByteArray>
#include <QElapsedTimer>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

double threadCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + now.tv_nsec / 1e9;
}

template <typename Digest>
void measure(const char *name, const QByteArray &buffer, qint64 mebibytes)
{
    Digest sha;
    const double cpuBefore = threadCpuSeconds();
    QElapsedTimer clock;
    clock.start();
    for (qint64 m = 0; m < mebibytes; ++m) {
        for (qsizetype at = 0; at < buffer.size(); at += 512)
            sha.addData(QByteArrayView(buffer.constData() + at, 512));
    }
    const QByteArray digest = sha.hexResult();
    const double seconds = clock.nsecsElapsed() / 1e9;
    const double cpu = threadCpuSeconds() - cpuBefore;
    const double bytes = double(mebibytes) * (1 << 20);
    std::printf("%s bytes %.0f seconds %.3f MB/s %.0f us-per-512-byte-block %.3f thread-cpu-seconds %.3f digest %s\n",
                name, bytes, seconds, bytes / seconds / 1e6, seconds * 1e6 / (bytes / 512), cpu, digest.constData());
}

} // namespace

int main(int argc, char *argv[])
{
    const qint64 mebibytes = argc > 1 ? std::atoll(argv[1]) : 256;
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    for (qsizetype i = 0; i < buffer.size(); ++i)
        buffer[i] = char(i * 131 + (i >> 9));
    measure<release::Sha256>("inline", buffer, mebibytes);
    measure<release::BackgroundSha256>("background", buffer, mebibytes);
    return 0;
}

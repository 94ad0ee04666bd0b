// The digest that the download engine computes while it writes:
//   bench_sha256 [MiB]   hashes MiB (default 256) of data in 512-byte blocks,
//                        as the engine feeds them; prints MB/s and the cost
//                        per block.

#include "release/sha256.h"

#include <QByteArray>
#include <QElapsedTimer>

#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    const qint64 mebibytes = argc > 1 ? std::atoll(argv[1]) : 256;
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    for (qsizetype i = 0; i < buffer.size(); ++i)
        buffer[i] = char(i * 131 + (i >> 9));

    release::Sha256 sha;
    QElapsedTimer clock;
    clock.start();
    for (qint64 m = 0; m < mebibytes; ++m) {
        for (qsizetype at = 0; at < buffer.size(); at += 512)
            sha.addData(QByteArrayView(buffer.constData() + at, 512));
    }
    const QByteArray digest = sha.hexResult();
    const double seconds = clock.nsecsElapsed() / 1e9;
    const double bytes = double(mebibytes) * (1 << 20);
    std::printf("bytes %.0f seconds %.3f MB/s %.0f us-per-512-byte-block %.3f digest %s\n", bytes, seconds,
                bytes / seconds / 1e6, seconds * 1e6 / (bytes / 512), digest.constData());
    return 0;
}

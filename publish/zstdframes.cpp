#include "zstdframes.h"

#include "platform/core/error.h"
#include "release/zstdframe.h"

#include <QThread>

#include <zstd.h>

#include <bit>
#include <memory>

using platform::Error;

namespace publish::zstdframes {

namespace {

constexpr int level = 19;
// zstd's smallest window: 1 KiB.
constexpr int smallestWindowLog = 10;
// Input is handed over in pieces of this size, so that progress moves.
constexpr qsizetype piece = 1 << 20;

struct Free
{
    void operator()(ZSTD_CCtx *context) const { ZSTD_freeCCtx(context); }
};

[[noreturn]] void fail(const QString &name, const QString &reason)
{
    throw Error(Error::Code::InvalidArgument, name, reason);
}

size_t checked(size_t result, const QString &name)
{
    if (ZSTD_isError(result))
        fail(name, QStringLiteral("zstd: %1").arg(QLatin1String(ZSTD_getErrorName(result))));
    return result;
}

// The smallest window that holds `bytes`.
int windowLogFor(qint64 bytes)
{
    return std::max<int>(smallestWindowLog, std::bit_width(quint64(std::max<qint64>(bytes, 1) - 1)));
}

} // namespace

bool patchFits(qint64 olderSize, qint64 size)
{
    return windowLogFor(olderSize + size) <= largestWindowLog;
}

std::optional<QByteArray> encode(QByteArrayView content, QByteArrayView older, qint64 limit,
                                 const std::function<void(qint64)> &progress)
{
    const QString name = QStringLiteral("zstd compression");
    const std::unique_ptr<ZSTD_CCtx, Free> context(ZSTD_createCCtx());
    if (!context)
        throw Error(Error::Code::DiskFull, name, QStringLiteral("out of memory"));
    ZSTD_CCtx *cctx = context.get();
    checked(ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, level), name);
    // One worker or more writes the same frame whatever their number, so a
    // publisher on another machine makes the same forms.
    checked(ZSTD_CCtx_setParameter(cctx, ZSTD_c_nbWorkers, std::max(1, QThread::idealThreadCount())), name);
    if (!older.isEmpty()) {
        checked(ZSTD_CCtx_setParameter(cctx, ZSTD_c_enableLongDistanceMatching, 1), name);
        checked(ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, windowLogFor(older.size() + content.size())), name);
        checked(ZSTD_CCtx_refPrefix(cctx, older.data(), size_t(older.size())), name);
    }
    checked(ZSTD_CCtx_setPledgedSrcSize(cctx, quint64(content.size())), name);

    QByteArray frame;
    QByteArray buffer(qsizetype(ZSTD_CStreamOutSize()), Qt::Uninitialized);
    qsizetype taken = 0;
    for (;;) {
        const qsizetype end = std::min(content.size(), taken + piece);
        const bool last = end == content.size();
        ZSTD_inBuffer in{content.data() + taken, size_t(end - taken), 0};
        size_t left = 0;
        do {
            ZSTD_outBuffer out{buffer.data(), size_t(buffer.size()), 0};
            left = checked(ZSTD_compressStream2(cctx, &out, &in, last ? ZSTD_e_end : ZSTD_e_continue), name);
            frame.append(buffer.constData(), qsizetype(out.pos));
            if (frame.size() >= limit)
                return std::nullopt;
        } while (last ? left != 0 : in.pos != in.size);
        taken = end;
        if (progress)
            progress(taken);
        if (last)
            return frame;
    }
}

QByteArray decodedDigest(QByteArrayView frame, QByteArrayView older, const QString &name)
{
    // Checked and decoded as the updater does it, so a form passes here
    // exactly when clients can use it.
    const release::ZstdFrame checked(frame, name);
    QByteArray output(qsizetype(checked.contentSize()), Qt::Uninitialized);
    return checked.decodeInto(output.data(), older);
}

} // namespace publish::zstdframes

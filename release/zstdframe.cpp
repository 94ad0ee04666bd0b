#include "zstdframe.h"

#include "sha256.h"
#include "sitelayout.h"

#include "platform/core/error.h"
#include "platform/files/mappedread.h"

#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <algorithm>
#include <memory>

namespace release {

namespace {

using platform::Error;

// A window over 2 GiB is refused; `zstd --long=31` is the most it makes.
constexpr int largestWindowLog = 31;
// The input handed to the decoder at a time: the output of each slice is
// hashed while it is still in the cache.
constexpr std::size_t sliceSize = 64 * 1024;

struct FreeDCtx
{
    void operator()(ZSTD_DCtx *ctx) const { ZSTD_freeDCtx(ctx); }
};

[[noreturn]] void broken(const QString &name, const char *why)
{
    throw Error(Error::Code::BrokenFrame, name, QString::fromUtf8(why));
}

void check(std::size_t result, const QString &name)
{
    if (ZSTD_isError(result))
        broken(name, ZSTD_getErrorName(result));
}

} // namespace

ZstdFrame::ZstdFrame(QByteArrayView bytes, QString name) : m_bytes(bytes), m_name(std::move(name))
{
    ZSTD_frameHeader header{};
    const std::size_t headerResult = ZSTD_getFrameHeader(&header, m_bytes.data(), std::size_t(m_bytes.size()));
    check(headerResult, m_name);
    if (headerResult != 0 || header.frameType != ZSTD_frame)
        broken(m_name, "no zstd frame");
    if (header.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN)
        broken(m_name, "no content size");
    if (header.dictID != 0)
        broken(m_name, "needs a dictionary");
    if (header.frameContentSize >= std::uint64_t(sitelayout::fileSizeLimit)
        || header.windowSize > (std::uint64_t(1) << largestWindowLog))
        throw Error(Error::Code::TooLarge, m_name);
    // Walks the block headers only: a frame cut short, or bytes after it,
    // are refused before anything is decoded.
    const std::size_t frameSize = ZSTD_findFrameCompressedSize(m_bytes.data(), std::size_t(m_bytes.size()));
    check(frameSize, m_name);
    if (frameSize != std::size_t(m_bytes.size()))
        broken(m_name, "bytes after the frame");
    m_contentSize = std::int64_t(header.frameContentSize);
}

QByteArray ZstdFrame::decodeInto(char *output, QByteArrayView prefix) const
{
    const std::unique_ptr<ZSTD_DCtx, FreeDCtx> ctx(ZSTD_createDCtx());
    if (!ctx)
        broken(m_name, "no decoder");
    check(ZSTD_DCtx_setParameter(ctx.get(), ZSTD_d_windowLogMax, largestWindowLog), m_name);
    check(ZSTD_DCtx_setParameter(ctx.get(), ZSTD_d_stableOutBuffer, 1), m_name);
    if (!prefix.isEmpty())
        check(ZSTD_DCtx_refPrefix(ctx.get(), prefix.data(), std::size_t(prefix.size())), m_name);

    Sha256 sha;
    ZSTD_outBuffer out{output, std::size_t(m_contentSize), 0};
    ZSTD_inBuffer in{m_bytes.data(), 0, 0};
    std::size_t remaining = 1;
    while (remaining != 0) {
        const std::size_t hashed = out.pos;
        const std::size_t taken = in.pos;
        in.size = std::min(std::size_t(m_bytes.size()), in.pos + sliceSize);
        // The frame and the prefix may be files mapped whole: one cut short
        // meanwhile ends the decoding with an error, not the program.
        auto step = [&] { remaining = ZSTD_decompressStream(ctx.get(), &out, &in); };
        if (!platform::readsMapped({m_bytes, prefix}, step))
            throw Error(Error::Code::FileAccess, m_name, QStringLiteral("a file cut short while it was read"));
        check(remaining, m_name);
        sha.addData(QByteArrayView(output + hashed, qsizetype(out.pos - hashed)));
        // All input in, and nothing more comes out: the frame is cut short.
        if (remaining != 0 && in.pos == taken && out.pos == hashed)
            broken(m_name, "frame cut short");
    }
    if (out.pos != out.size)
        broken(m_name, "content size differs");
    return sha.hexResult();
}

} // namespace release

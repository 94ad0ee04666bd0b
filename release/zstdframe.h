#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <cstdint>

namespace release {

// One zstd frame as a signed index offers it: a file compressed whole, or a
// patch that rebuilds a file from an older one given as a raw prefix
// (`zstd --patch-from`). Only what the updater can rebuild within its limits
// passes: one whole frame, nothing after it, its content size in the header
// and below sitelayout::fileSizeLimit, a window of at most 2 GiB, no
// dictionary. Anything else raises BrokenFrame or TooLarge, naming `name`.
class ZstdFrame
{
public:
    ZstdFrame(QByteArrayView bytes, QString name);

    std::int64_t contentSize() const { return m_contentSize; }

    // Decodes into `output`, contentSize() bytes, with `prefix` as the
    // content that comes before (empty for a compressed file), and returns
    // the SHA-256 (64 lowercase hex digits) of what it wrote. The output is
    // the window, so the decoder holds no copy of it. A mapped file behind
    // the frame or `prefix` that is cut short meanwhile raises FileAccess.
    QByteArray decodeInto(char *output, QByteArrayView prefix) const;

private:
    QByteArrayView m_bytes;
    QString m_name;
    std::int64_t m_contentSize = 0;
};

} // namespace release

#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>

namespace platform {
class FileDescriptor;
}

namespace update {

// What a rebuild wrote.
struct RebuiltFile
{
    QByteArray sha256; // 64 lowercase hex digits
    std::int64_t size = 0;
};

// Rebuilds a file at `output` (a new file of the process's own) from the
// zstd frame in `form`, with `source` as the patch's older file or, when it
// is closed, as a plain decompression. Every file is mapped, so memory stays
// small whatever their sizes; the work runs on a thread of its own while the
// event loop keeps the window answering. A frame that does not decode
// within the limits, an output that the disk cannot hold or a file cut
// short while it is read raises its error, and nothing is left at `output`.
RebuiltFile rebuildFromForm(const platform::FileDescriptor &form, const QString &formPath,
                            const platform::FileDescriptor &source, const QString &sourcePath,
                            const QString &output);

} // namespace update

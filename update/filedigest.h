#pragma once

#include "platform/files/filedescriptor.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace update {

// The SHA-256 (64 lowercase hex digits) of the plain file at `path`; none
// when there is no plain file there (nothing, a link, a folder, a FIFO) or
// it cannot be read. Lets the event loop run between blocks, so the window
// answers while a large file is read.
std::optional<QByteArray> sha256OfPlainFile(const QString &path);

// The same for a file open for reading, read from its start; `path` names
// it in errors.
std::optional<QByteArray> sha256OfOpenFile(int fd, const QString &path);

// A file hashed once where it stands. When it is the updater's own, it was
// hashed through `own`, which stays open: whatever reads it again (the older
// file of a patch) reads the very bytes that were hashed.
struct HashedFile
{
    platform::FileDescriptor own;     // open only for a file of the updater's own
    std::optional<QByteArray> sha256; // as sha256OfPlainFile's

    static HashedFile at(const QString &path);
};

} // namespace update

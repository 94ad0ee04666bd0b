#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <functional>
#include <optional>

// The smaller forms of a file as the zstd program writes and reads them: one
// frame with the content size in its header. A patch is a frame made with the
// older file as its raw prefix (what `zstd --patch-from=OLD` makes), so that
// any zstd decoder given the same older file rebuilds the new one.
namespace publish::zstdframes {

// The largest window a patch may need, and every client accepts: 2 GiB.
inline constexpr int largestWindowLog = 31;

// Whether a patch from a file of `olderSize` bytes to one of `size` bytes
// fits in the largest window.
bool patchFits(qint64 olderSize, qint64 size);

// `content` compressed at level 19 on several threads; against `older` as its
// prefix when that is not empty (long-distance matching, a window over both).
// Nothing as soon as the frame would reach `limit` bytes: a form that large is
// not kept. `progress` hears how many bytes of `content` were taken so far.
std::optional<QByteArray> encode(QByteArrayView content, QByteArrayView older, qint64 limit,
                                 const std::function<void(qint64)> &progress = {});

// The SHA-256 (64 lower-case hex digits) of what `frame` decodes to with
// `older` as its prefix. A frame that the updater would refuse raises
// BrokenFrame or TooLarge naming `name`.
QByteArray decodedDigest(QByteArrayView frame, QByteArrayView older, const QString &name);

} // namespace publish::zstdframes

#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <optional>

// Constants and helpers shared by minisign's key and signature files.
namespace release::minisign {

inline constexpr char untrustedPrefix[] = "untrusted comment: ";
inline constexpr char trustedPrefix[] = "trusted comment: ";
inline constexpr char keyAlgorithm[] = "Ed";
inline constexpr qsizetype keyIdSize = 8;

// The bytes of `text` when it is canonical base64 of exactly `size` bytes.
std::optional<QByteArray> decodeBase64(QByteArrayView text, qsizetype size);

// The lines of a small text file: LF ends a line, a CR before it is dropped,
// a last line may lack its LF.
QList<QByteArray> splitLines(const QByteArray &text);

// The key id as minisign prints it: the 8 bytes as a little-endian number in
// 16 uppercase hex digits.
QByteArray keyIdHex(const QByteArray &keyId);

} // namespace release::minisign

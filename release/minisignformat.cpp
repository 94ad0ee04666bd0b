#include "minisignformat.h"

#include <QList>

namespace release::minisign {

std::optional<QByteArray> decodeBase64(QByteArrayView text, qsizetype size)
{
    auto decoded = QByteArray::fromBase64Encoding(text.toByteArray(), QByteArray::AbortOnBase64DecodingErrors);
    // Re-encoding refuses the forms that decode but are not canonical
    // (missing padding, stray bits in the last character).
    if (!decoded || decoded.decoded.size() != size || decoded.decoded.toBase64() != text)
        return std::nullopt;
    return decoded.decoded;
}

QList<QByteArray> splitLines(const QByteArray &text)
{
    QList<QByteArray> lines = text.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    return lines;
}

QByteArray keyIdHex(const QByteArray &keyId)
{
    QByteArray reversed(keyId.size(), Qt::Uninitialized);
    std::reverse_copy(keyId.cbegin(), keyId.cend(), reversed.begin());
    return reversed.toHex().toUpper();
}

} // namespace release::minisign

#include "requesturl.h"

namespace platform {

QUrl requestUrl(const QString &url, const CodePage &codePage)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    const QByteArray bytes = codePage.encode(url);
    QByteArray encoded;
    encoded.reserve(bytes.size() * 3);
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F || byte == '"' || byte == '<' || byte == '>' || byte == '\\'
            || byte == '^' || byte == '`' || byte == '{' || byte == '|' || byte == '}') {
            encoded += '%';
            encoded += hex[byte >> 4];
            encoded += hex[byte & 0xF];
        } else {
            encoded += c;
        }
    }
    return QUrl::fromEncoded(encoded, QUrl::StrictMode);
}

} // namespace platform

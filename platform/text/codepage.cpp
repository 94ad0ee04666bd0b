#include "codepage.h"

#include "platform/core/config.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace platform {

namespace {

// One iconv conversion descriptor, closed on every path.
class Converter
{
public:
    Converter(const char *to, const char *from) : m_cd(iconv_open(to, from))
    {
        if (m_cd == reinterpret_cast<iconv_t>(-1))
            throw std::runtime_error(std::string("unknown code page conversion ") + from + " -> " + to);
    }
    ~Converter() { iconv_close(m_cd); }
    Converter(const Converter &) = delete;
    Converter &operator=(const Converter &) = delete;

    // Converts all of `input`; an unconvertible or incomplete sequence is
    // skipped one unit at a time and stands as `replacement`.
    QByteArray convert(const QByteArray &input, const QByteArray &replacement, size_t unitSize)
    {
        QByteArray output;
        output.reserve(input.size() * 2 + 16);
        char *in = const_cast<char *>(input.constData());
        size_t inLeft = size_t(input.size());
        char buffer[4096];
        while (inLeft > 0) {
            char *out = buffer;
            size_t outLeft = sizeof buffer;
            const size_t rc = iconv(m_cd, &in, &inLeft, &out, &outLeft);
            output.append(buffer, out - buffer);
            if (rc != size_t(-1) || errno == E2BIG)
                continue;
            const size_t skip = std::min(unitSize, inLeft);
            in += skip;
            inLeft -= skip;
            output.append(replacement);
            iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
        }
        return output;
    }

private:
    iconv_t m_cd;
};

// Printable ASCII and the line breaks and tab: no escape or shift character,
// which a stateful code page (ISO-2022-JP) reads as the start of other text.
constexpr bool isPlain(char16_t c)
{
    return (c >= 0x20 && c < 0x7F) || c == '\t' || c == '\n' || c == '\r';
}

} // namespace

CodePage::CodePage(QByteArray name) : m_name(std::move(name))
{
    // Every plain character, and the sequences that shift the code pages
    // that use plain characters to shift (UTF-7, HZ).
    QByteArray plain("\t\n\r~{a~}+AGE-");
    for (char c = 0x20; c < 0x7F; ++c)
        plain += c;
    m_keepsPlainText = Converter("UTF-8", m_name.constData()).convert(plain, "?", 1) == plain
                       && encode(QString::fromLatin1(plain)) == plain;
}

QString CodePage::decode(const QByteArray &bytes) const
{
    if (m_keepsPlainText && std::all_of(bytes.begin(), bytes.end(), [](char c) { return isPlain(char16_t(c)); }))
        return QString::fromLatin1(bytes);
    Converter converter("UTF-8", m_name.constData());
    return QString::fromUtf8(converter.convert(bytes, QByteArrayLiteral("\xEF\xBF\xBD"), 1));
}

QByteArray CodePage::encode(const QString &text) const
{
    if (m_keepsPlainText && std::all_of(text.begin(), text.end(), [](QChar c) { return isPlain(c.unicode()); }))
        return text.toLatin1();
    Converter converter(m_name.constData(), "UTF-16LE");
    const QByteArray utf16(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
    return converter.convert(utf16, QByteArrayLiteral("?"), 2);
}

const CodePage &CodePage::deployment()
{
    static const CodePage codePage{QByteArray(config::codePage)};
    return codePage;
}

} // namespace platform

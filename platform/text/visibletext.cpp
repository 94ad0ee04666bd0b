#include "visibletext.h"

namespace platform {

namespace {

bool showsAsItself(char32_t c)
{
    const QChar::Category category = QChar::category(c);
    return QChar::isPrint(c) && category != QChar::Separator_Line && category != QChar::Separator_Paragraph;
}

} // namespace

QString visibleText(QStringView text, LineBreaks lineBreaks)
{
    QString shown;
    shown.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        // A pair as its code point; a lone surrogate as itself, to be escaped.
        char32_t c = text[i].unicode();
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(text[i], text[i + 1]);
            ++i;
        }
        if (c == u'\\')
            shown += QLatin1String("\\\\");
        else if (lineBreaks == LineBreaks::AsLetter && (c == u'\n' || c == u'\r'))
            shown += c == u'\n' ? QLatin1String("\\n") : QLatin1String("\\r");
        else if (showsAsItself(c))
            shown += QStringView(QChar::fromUcs4(c));
        else if (c < 0x100)
            shown += QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'));
        else if (c < 0x10000)
            shown += QStringLiteral("\\u%1").arg(uint(c), 4, 16, QLatin1Char('0'));
        else
            shown += QStringLiteral("\\U%1").arg(uint(c), 8, 16, QLatin1Char('0'));
    }
    return shown;
}

} // namespace platform

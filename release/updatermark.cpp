#include "updatermark.h"

#include <QRegularExpression>

namespace release::updatermark {

namespace {

std::optional<Mark> parse(QByteArrayView block)
{
    const qsizetype end = block.indexOf('\0');
    if (end < 0)
        return std::nullopt;
    static const QRegularExpression fields(QStringLiteral("^version=([0-9A-Za-z.+~-]+);keys=([A-Za-z0-9+/=;]*);$"));
    const QRegularExpressionMatch match = fields.match(QString::fromLatin1(block.first(end)));
    if (!match.hasMatch())
        return std::nullopt;
    return Mark{match.captured(1).toLatin1(), match.captured(2).toLatin1()};
}

} // namespace

std::optional<Mark> find(QByteArrayView program)
{
    const QByteArrayView start(prefix.data(), qsizetype(prefix.size()));
    for (qsizetype at = program.indexOf(start); at >= 0; at = program.indexOf(start, at + 1)) {
        const QByteArrayView rest = program.sliced(at + start.size());
        if (std::optional<Mark> mark = parse(rest.first(std::min(rest.size(), qsizetype(blockSize - start.size())))))
            return mark;
    }
    return std::nullopt;
}

} // namespace release::updatermark

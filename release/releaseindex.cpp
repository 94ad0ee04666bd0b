#include "releaseindex.h"
#include "textlines.h"

#include "platform/text/codepage.h"
#include "platform/core/error.h"

namespace release {

namespace {

bool isPathAllowed(const QByteArray &path)
{
    if (path.isEmpty())
        return false;
    for (const char c : path) {
        const auto u = static_cast<unsigned char>(c);
        // sha256sum escapes backslashes and line breaks; such lines never
        // stand in our indexes.
        if (u < 0x20 || u == 0x7f || c == '\\')
            return false;
    }
    return true;
}

QString subject(const QString &source, qsizetype lineNumber)
{
    return source + QLatin1Char(':') + QString::number(lineNumber);
}

} // namespace

bool isSha256Hex(const QByteArray &text)
{
    if (text.size() != 64)
        return false;
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

QString ReleaseIndex::brokenRule(const QByteArray &line) const
{
    if (line.isEmpty())
        return QStringLiteral("(空行)");
    if (line.endsWith('\r'))
        return QStringLiteral("(行尾须为 LF,不能是 CRLF)");
    const QByteArray digest = line.left(64);
    if (!isSha256Hex(digest)) {
        return isSha256Hex(digest.toLower()) ? QStringLiteral("(摘要须为小写十六进制数字,不能含大写字母)")
                                             : QStringLiteral("(行首须为 64 位十六进制数字的摘要)");
    }
    if (line.size() < 66 || line[64] != ' ' || (line[65] != ' ' && line[65] != '*'))
        return QStringLiteral("(摘要后须为两个空格,或一个空格和 *)");
    const QByteArray path = line.mid(66);
    if (!isPathAllowed(path))
        return QStringLiteral("(路径为空,或含控制字符、反斜杠)");
    if (digestOf(path))
        return QStringLiteral("(路径重复出现)");
    return {};
}

ReleaseIndex ReleaseIndex::parse(const QByteArray &text, const QString &source)
{
    if (text.size() > maxTextSize)
        throw platform::Error(platform::Error::Code::TooLarge, source);
    ReleaseIndex index;
    forEachLine(text, [&](const QByteArray &line, qsizetype lineNumber) {
        if (const QString rule = index.brokenRule(line); !rule.isEmpty())
            throw platform::Error(platform::Error::Code::MalformedIndex, subject(source, lineNumber), rule);
        const QByteArray path = line.mid(66);
        index.m_positions.insert(path, index.m_entries.size());
        index.m_entries.append({path, line.left(64)});
    });
    return index;
}

void ReleaseIndex::add(const QByteArray &path, const QByteArray &digest)
{
    if (!isPathAllowed(path) || !isSha256Hex(digest) || digestOf(path))
        throw platform::Error(platform::Error::Code::InvalidArgument,
                              platform::CodePage::deployment().decode(path));
    m_positions.insert(path, m_entries.size());
    m_entries.append({path, digest});
}

std::optional<QByteArray> ReleaseIndex::digestOf(const QByteArray &path) const
{
    const auto found = m_positions.constFind(path);
    if (found == m_positions.cend())
        return std::nullopt;
    return m_entries.at(*found).digest;
}

QByteArray ReleaseIndex::requireDigestOf(const QByteArray &path) const
{
    const auto digest = digestOf(path);
    if (!digest)
        throw platform::Error(platform::Error::Code::NotInIndex, platform::CodePage::deployment().decode(path));
    return *digest;
}

void ReleaseIndex::checkDigest(const QByteArray &path, const QByteArray &digest) const
{
    if (requireDigestOf(path) != digest.toLower())
        throw platform::Error(platform::Error::Code::DigestMismatch,
                              platform::CodePage::deployment().decode(path));
}

QByteArray ReleaseIndex::toText() const
{
    QByteArray text;
    for (const Entry &entry : m_entries)
        text += entry.digest + "  " + entry.path + '\n';
    return text;
}

} // namespace release

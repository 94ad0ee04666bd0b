#include "releasetree.h"

#include "localname.h"
#include "textlines.h"
#include "platform/core/error.h"

#include <QStringDecoder>

#include <algorithm>

namespace release {

namespace {

using Kind = TreeEntry::Kind;

const QString arrow = QStringLiteral(" -> ");

QString parentOf(const QString &path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? QString() : path.left(slash);
}

char letterOf(Kind kind)
{
    switch (kind) {
    case Kind::Folder: return 'd';
    case Kind::File: return 'f';
    case Kind::Link: return 'l';
    }
    return '?';
}

// The entry that a line of text stands for; a rule it breaks in `rule`.
TreeEntry entryOf(const QByteArray &line, QString &rule)
{
    if (line.isEmpty()) {
        rule = QStringLiteral("(空行)");
        return {};
    }
    if (line.endsWith('\r')) {
        rule = QStringLiteral("(行尾须为 LF,不能是 CRLF)");
        return {};
    }
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8(line);
    if (utf8.hasError() || line.startsWith("\xef\xbb\xbf")) {
        rule = QStringLiteral("(须为 UTF-8 文本,不带 BOM)");
        return {};
    }
    static const QString kinds = QStringLiteral("dfl");
    const qsizetype modeEnd = text.indexOf(QLatin1Char(' '), 2);
    if (text.size() < 2 || !kinds.contains(text[0]) || text[1] != QLatin1Char(' ') || modeEnd < 3
        || modeEnd > 6) {
        rule = QStringLiteral("(行首须为 d、f 或 l,一个空格,一至四位八进制权限,一个空格)");
        return {};
    }
    TreeEntry entry{Kind(kinds.indexOf(text[0])), text.mid(modeEnd + 1), 0, {}};
    bool octal = true;
    for (const QChar c : QStringView(text).sliced(2, modeEnd - 2))
        octal = octal && c >= QLatin1Char('0') && c <= QLatin1Char('7');
    if (!octal) {
        rule = QStringLiteral("(权限须为八进制数字)");
        return {};
    }
    entry.mode = text.mid(2, modeEnd - 2).toUInt(nullptr, 8);
    if (entry.kind == Kind::Link) {
        const qsizetype split = entry.path.indexOf(arrow);
        if (split < 0) {
            rule = QStringLiteral("(链接须写作 路径 -> 目标)");
            return {};
        }
        entry.target = entry.path.mid(split + arrow.size());
        entry.path.truncate(split);
    }
    return entry;
}

[[noreturn]] void malformed(const QString &subject, const QString &rule)
{
    throw platform::Error(platform::Error::Code::MalformedTree, subject, rule);
}

} // namespace

bool ReleaseTree::targetStaysInside(const QString &linkPath, const QString &target)
{
    if (target.isEmpty() || target.startsWith(QLatin1Char('/')) || target.contains(QLatin1Char('\\')))
        return false;
    QStringList parts = target.split(QLatin1Char('/'));
    qsizetype up = 0;
    while (up < parts.size() && parts[up] == QLatin1String(".."))
        ++up;
    parts.remove(0, up);
    if (parts.isEmpty() || parts.contains(QString()) || parts.contains(QStringLiteral("."))
        || parts.contains(QStringLiteral("..")))
        return false;
    QStringList folder = linkPath.split(QLatin1Char('/'));
    folder.removeLast();
    if (up > folder.size())
        return false;
    // What the target names, seen from the client's folder, must be a name
    // the updater could install there: never its own names, never too long.
    return localname::normalised((folder.first(folder.size() - up) + parts).join(QLatin1Char('/'))).has_value();
}

QString ReleaseTree::brokenRule(const TreeEntry &entry) const
{
    const std::optional<QString> path = localname::normalised(entry.path);
    if (!path)
        return QStringLiteral("(路径不是更新程序可以安装的本地名称)");
    if (entry.mode > 0777)
        return QStringLiteral("(权限须在 0777 以内,不能有 setuid、setgid 或粘滞位)");
    if (entry.kind == Kind::Link && (path->contains(arrow) || !targetStaysInside(*path, entry.target)))
        return QStringLiteral("(链接目标须为树内的相对路径,只在开头有 ..,且不离开此树)");
    if (m_positions.contains(*path))
        return QStringLiteral("(路径重复出现)");
    if (entry.kind != Kind::Folder && m_folders.contains(*path))
        return QStringLiteral("(文件或链接的路径是另一条目的文件夹)");
    for (QString parent = parentOf(*path); !parent.isEmpty(); parent = parentOf(parent)) {
        if (const TreeEntry *above = find(parent); above && above->kind != Kind::Folder)
            return QStringLiteral("(上级路径是文件或链接,不是文件夹)");
    }
    return {};
}

void ReleaseTree::append(TreeEntry entry)
{
    entry.path = *localname::normalised(entry.path);
    if (entry.kind == Kind::Folder)
        m_folders.insert(entry.path);
    for (QString parent = parentOf(entry.path); !parent.isEmpty(); parent = parentOf(parent))
        m_folders.insert(parent);
    m_positions.insert(entry.path, m_entries.size());
    m_entries.append(std::move(entry));
}

ReleaseTree ReleaseTree::parse(const QByteArray &text, const QString &source)
{
    if (text.size() > maxTextSize)
        throw platform::Error(platform::Error::Code::TooLarge, source);
    ReleaseTree tree;
    forEachLine(text, [&](const QByteArray &line, qsizetype lineNumber) {
        QString rule;
        TreeEntry entry = entryOf(line, rule);
        if (rule.isEmpty())
            rule = tree.brokenRule(entry);
        if (!rule.isEmpty())
            malformed(source + QLatin1Char(':') + QString::number(lineNumber), rule);
        tree.append(std::move(entry));
    });
    return tree;
}

void ReleaseTree::add(const TreeEntry &entry)
{
    if (const QString rule = brokenRule(entry); !rule.isEmpty())
        throw platform::Error(platform::Error::Code::InvalidArgument, entry.path, rule);
    append(entry);
}

QByteArray ReleaseTree::toText() const
{
    QList<std::pair<QByteArray, const TreeEntry *>> sorted;
    sorted.reserve(m_entries.size());
    for (const TreeEntry &entry : m_entries)
        sorted.append({entry.path.toUtf8(), &entry});
    std::sort(sorted.begin(), sorted.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    QByteArray text;
    for (const auto &[path, entry] : sorted) {
        text += letterOf(entry->kind) + (' ' + QByteArray::number(entry->mode, 8)) + ' ' + path;
        if (entry->kind == Kind::Link)
            text += arrow.toLatin1() + entry->target.toUtf8();
        text += '\n';
    }
    return text;
}

const TreeEntry *ReleaseTree::find(const QString &normalisedPath) const
{
    const auto found = m_positions.constFind(normalisedPath);
    return found == m_positions.cend() ? nullptr : &m_entries.at(*found);
}

void ReleaseTree::checkMatchesManifest(const QStringList &localNames) const
{
    QSet<QString> listed;
    for (const QString &name : localNames) {
        const QString path = localname::normalised(name).value_or(name);
        const TreeEntry *entry = find(path);
        if (!entry || entry->kind != Kind::File)
            malformed(name, QStringLiteral("(清单中的文件不是发布树中的文件)"));
        listed.insert(path);
    }
    for (const TreeEntry &entry : m_entries) {
        if (entry.kind == Kind::File && !listed.contains(entry.path))
            malformed(entry.path, QStringLiteral("(发布树中的文件不在清单中)"));
    }
}

} // namespace release

#pragma once

#include "release/sitelayout.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

namespace release {

// One entry of a release tree: a folder, a regular file with its permission
// bits, or a symbolic link with its target. The path is a local name,
// normalised (localname::normalised), its parts joined by '/'.
struct TreeEntry
{
    enum class Kind { Folder, File, Link };
    Kind kind;
    QString path;
    unsigned mode;
    QString target; // links only
};

// The whole tree of a signed release, as the publisher declares it in
// sitelayout::treePath: one line per entry, "d MODE PATH", "f MODE PATH" or
// "l MODE PATH -> TARGET", MODE in octal as `find -printf %m` prints it.
// Every rule holds for the tree as a whole: no path twice, no file or link
// where another entry needs a folder, no link whose target leaves the tree.
class ReleaseTree
{
public:
    static constexpr qsizetype maxTextSize = sitelayout::largestTree;

    // Parses UTF-8 text with LF line ends; `source` names it in errors. A
    // malformed line raises MalformedTree with "source:line" as subject and
    // the rule it breaks as detail; more than maxTextSize bytes raise TooLarge.
    static ReleaseTree parse(const QByteArray &text, const QString &source);

    // Adds an entry under the same rules; InvalidArgument naming the path.
    void add(const TreeEntry &entry);

    // The text: one line per entry, sorted by path (bytewise UTF-8).
    QByteArray toText() const;

    const QList<TreeEntry> &entries() const { return m_entries; }
    // The entry at a normalised path; none when the tree has no entry there.
    const TreeEntry *find(const QString &normalisedPath) const;
    // The folders of the tree: its folder entries and every parent folder of
    // every entry.
    QSet<QString> folders() const { return m_folders; }

    // Raises MalformedTree naming the first path that is a file of the tree
    // and no local name of the manifest, or the reverse.
    void checkMatchesManifest(const QStringList &localNames) const;

    // Whether a link at `linkPath` (normalised) to `target` stays inside the
    // tree: relative, ".." parts only at its start and no more of them than
    // the link's folder depth, the rest plain names, and what it names a
    // local name the updater would take.
    static bool targetStaysInside(const QString &linkPath, const QString &target);

private:
    // The rule that `entry` breaks as the next entry, for the user; empty
    // when it is a good one. `entry.path` is as given.
    QString brokenRule(const TreeEntry &entry) const;
    void append(TreeEntry entry);

    QList<TreeEntry> m_entries;
    QHash<QString, qsizetype> m_positions;
    QSet<QString> m_folders;
};

} // namespace release

#pragma once

#include "release/sitelayout.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include <optional>

namespace release {

// The release index: one SHA-256 digest per path under the base URL, in the
// text format of coreutils sha256sum ("<64 lowercase hex>  <path>\n", or a
// space and '*' before the path). Paths are raw bytes in the deployment code
// page, exactly as the client requests them.
class ReleaseIndex
{
public:
    struct Entry
    {
        QByteArray path;
        QByteArray digest; // 64 lowercase hex digits
    };

    static constexpr qsizetype maxTextSize = sitelayout::largestIndex;

    // Parses the index text; `source` names it in errors. A malformed line
    // raises MalformedIndex with "source:line" as subject and the rule it
    // breaks as detail; more than maxTextSize bytes raise TooLarge.
    static ReleaseIndex parse(const QByteArray &text, const QString &source);

    // Adds a path; a path that the format cannot carry (empty, a control
    // character or a backslash in it), a digest that is not 64 lowercase hex
    // digits or a path given twice raise InvalidArgument.
    void add(const QByteArray &path, const QByteArray &digest);

    // The digest of `path`, if the index has it.
    std::optional<QByteArray> digestOf(const QByteArray &path) const;
    // The digest of `path`; NotInIndex, naming `path`, when it is missing.
    QByteArray requireDigestOf(const QByteArray &path) const;
    // Raises DigestMismatch (naming `path`) unless `digest` is the one listed,
    // NotInIndex when the path is not listed.
    void checkDigest(const QByteArray &path, const QByteArray &digest) const;

    const QList<Entry> &entries() const { return m_entries; }

    // The text in the order the paths were added, two spaces, LF line ends.
    QByteArray toText() const;

private:
    // The rule that `line` breaks, for the user; empty when it is a good next line.
    QString brokenRule(const QByteArray &line) const;

    QList<Entry> m_entries;
    QHash<QByteArray, qsizetype> m_positions;
};

// Whether `text` is 64 lowercase hex digits.
bool isSha256Hex(const QByteArray &text);

} // namespace release

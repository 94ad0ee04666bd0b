#include "manifestlint.h"

#include "releaseplan.h"
#include "platform/core/error.h"
#include "platform/files/textinput.h"
#include "platform/text/visibletext.h"
#include "release/manifestline.h"
#include "release/sitelayout.h"

#include <QRegularExpression>

#include <algorithm>

namespace publish {

namespace {

// Text for a one-line report: whatever would not show as itself as an escape.
QString shown(const QString &text)
{
    return platform::visibleText(text, platform::LineBreaks::AsLetter);
}

// Why the updater refuses a manifest line, for the report: the updater's own
// split decides; this only names the likely cause.
QString refusalReason(const QString &line)
{
    const qsizetype word = line.indexOf(QLatin1String("name"));
    if (word < 5)
        return QStringLiteral("the updater refuses this line: no 'name' after four characters of lead, a remote "
                              "path and one separator");
    if (line.size() <= word + 4)
        return QStringLiteral("the updater refuses this line: nothing after 'name'");
    const QString local = line.mid(word + 5);
    const QString refused = QStringLiteral("the updater refuses the local name '%1'").arg(shown(local));
    if (std::any_of(local.cbegin(), local.cend(), [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; }))
        return refused + QStringLiteral(": it holds line breaks or other control characters");
    if (const QString own = collidingUpdaterFile(local); !own.isEmpty())
        return refused + QStringLiteral(": it is the updater's own file %1").arg(own);
    if (local.contains(QLatin1Char('/')) || local.contains(QLatin1Char('\\')))
        return refused + QStringLiteral(": it holds a folder part that the updater refuses (absolute, a drive, an "
                                        "empty, '.' or '..' part, its own name at the top; 'name' inside the "
                                        "remote path?)");
    return refused;
}

} // namespace

ManifestLint lintManifest(const QByteArray &manifest, const platform::CodePage &codePage)
{
    ManifestLint lint;
    const QString path = QString(sitelayout::manifestPath);
    const auto report = [&](const QString &where, const QString &rule) {
        lint.problems.append(where + QStringLiteral(": ") + rule);
    };
    for (qsizetype at = manifest.indexOf('\n'); at >= 0; at = manifest.indexOf('\n', at + 1)) {
        if (at == 0 || manifest[at - 1] != '\r') {
            report(path, QStringLiteral("LF-only line ends; the updater ends lines at CR or CRLF only, so it reads "
                                        "the lines as one"));
            break;
        }
    }
    static const QRegularExpression separatedWord(QStringLiteral("\\sname\\s"));
    platform::TextInput input = platform::TextInput::fromBytes(manifest, codePage);
    for (int number = 1; !input.atEnd(); ++number) {
        const QString line = input.readLine();
        const QString where = path + QStringLiteral(" line %1").arg(number);
        if (line.isEmpty()) {
            report(where, QStringLiteral("blank line; the updater stops the update there"));
            continue;
        }
        if (line.contains(QChar::ReplacementCharacter)) {
            report(where, QStringLiteral("bytes that the code page %1 cannot decode")
                              .arg(QString::fromLatin1(codePage.name())));
            continue;
        }
        ManifestEntry entry;
        try {
            entry = splitManifestLine(line);
        } catch (const platform::Error &) {
            report(where, refusalReason(line));
            continue;
        }
        if (entry.localName().contains(separatedWord)) {
            report(where, QStringLiteral("the updater splits at the first 'name' and reads remote path '%1' and "
                                         "local name '%2' ('name' inside the remote path?)")
                              .arg(shown(entry.remotePath()), shown(entry.localName())));
            continue;
        }
        lint.remotePaths.append(entry.remotePath());
    }
    return lint;
}

} // namespace publish

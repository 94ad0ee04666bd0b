#pragma once

#include <QString>
#include <QStringView>

namespace platform {

// `text` with every character that would not show as itself written as an
// escape: C0 and C1 controls, DEL, format characters (direction overrides),
// line and paragraph separators and code points without a glyph become
// "\x1b", "\u202e" or "\U000e0001", and a backslash becomes "\\", so that
// no escape can be forged. For lines that people read in a terminal.
// `lineBreaks` may write CR and LF as "\r" and "\n" instead.
enum class LineBreaks { AsCode, AsLetter };
QString visibleText(QStringView text, LineBreaks lineBreaks = LineBreaks::AsCode);

} // namespace platform

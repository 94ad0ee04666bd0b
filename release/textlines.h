#pragma once

#include <QByteArray>

namespace release {

// Calls `take(line, number)` for each line of `text`, split at LF and
// numbered from 1; the last line may lack its LF, and none follows a final LF.
template<typename Take>
void forEachLine(const QByteArray &text, Take take)
{
    qsizetype number = 0;
    qsizetype start = 0;
    while (start < text.size()) {
        qsizetype end = text.indexOf('\n', start);
        if (end < 0)
            end = text.size();
        take(text.mid(start, end - start), ++number);
        start = end + 1;
    }
}

} // namespace release

#pragma once

#include "platform/text/codepage.h"

#include <QString>

#include <limits>

namespace platform {

inline constexpr qint64 noLimit = std::numeric_limits<qint64>::max();

// A text file opened for sequential input, read line by line. A line ends at
// a carriage return or a carriage return and line feed; a line feed on its
// own stays in the line; a last line without a break is read as well.
class TextInput
{
public:
    // TooLarge, naming the file, when it holds more than `limit` bytes.
    TextInput(const QString &path, const CodePage &codePage, qint64 limit = noLimit);
    // Bytes at hand, read by the same rules as a file's.
    static TextInput fromBytes(const QByteArray &bytes, const CodePage &codePage);

    bool atEnd() const { return m_pos >= m_text.size(); }
    QString readLine();

private:
    explicit TextInput(QString text) : m_text(std::move(text)) {}

    QString m_text;
    qsizetype m_pos = 0;
};

// Reads a whole file's bytes; the platform's file error when it cannot,
// TooLarge (naming the file) when it holds more than `limit` bytes, which are
// never read.
QByteArray readFileBytes(const QString &path, qint64 limit = noLimit);

} // namespace platform

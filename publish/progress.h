#pragma once

#include <QString>

#include <cstdio>

namespace publish {

// Progress on standard error: a bar per large file, redrawn in place on a
// terminal; on a pipe or a log only the finished line, so logs stay short.
class Progress
{
public:
    explicit Progress(std::FILE *stream = stderr);

    // Starts the work on one item of `total` bytes ("hashing", "storing").
    void begin(const QString &action, const QString &item, qint64 total);
    void advance(qint64 done);
    void end();

    // One line of its own.
    void note(const QString &line);

private:
    void draw(bool final);

    std::FILE *m_stream;
    bool m_terminal;
    QString m_action;
    QString m_item;
    qint64 m_total = 0;
    qint64 m_done = 0;
    int m_shownPercent = -1;
    bool m_active = false;
};

} // namespace publish

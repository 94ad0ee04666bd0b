#include "progress.h"

#include <unistd.h>

namespace publish {

namespace {

// Files below this size finish too fast for a bar to help.
constexpr qint64 barThreshold = 8 * 1024 * 1024;
constexpr int barWidth = 30;

} // namespace

Progress::Progress(std::FILE *stream) : m_stream(stream), m_terminal(isatty(fileno(stream)) == 1) {}

void Progress::begin(const QString &action, const QString &item, qint64 total)
{
    m_action = action;
    m_item = item;
    m_total = total;
    m_done = 0;
    m_shownPercent = -1;
    m_active = true;
    if (m_terminal && m_total >= barThreshold)
        draw(false);
}

void Progress::advance(qint64 done)
{
    m_done = done;
    if (!m_terminal || m_total < barThreshold)
        return;
    const int percent = int(m_done * 100 / std::max<qint64>(m_total, 1));
    if (percent != m_shownPercent)
        draw(false);
}

void Progress::end()
{
    if (!m_active)
        return;
    // Work of unknown size (a download without a known length) ends at what was done.
    m_total = std::max(m_total, m_done);
    m_done = m_total;
    draw(true);
    m_active = false;
}

void Progress::note(const QString &line)
{
    std::fprintf(m_stream, "%s\n", line.toUtf8().constData());
    std::fflush(m_stream);
}

void Progress::draw(bool final)
{
    const QByteArray text = m_action.toUtf8() + ' ' + m_item.toUtf8();
    if (m_terminal && m_total >= barThreshold) {
        const int percent = int(m_done * 100 / std::max<qint64>(m_total, 1));
        m_shownPercent = percent;
        const int filled = percent * barWidth / 100;
        const QByteArray bar = QByteArray(filled, '#') + QByteArray(barWidth - filled, '.');
        std::fprintf(m_stream, "\r[%s] %3d%% %s", bar.constData(), percent, text.constData());
    } else if (final) {
        std::fprintf(m_stream, "%s", text.constData());
    }
    if (final)
        std::fprintf(m_stream, " (%lld bytes)\n", static_cast<long long>(m_total));
    std::fflush(m_stream);
}

} // namespace publish

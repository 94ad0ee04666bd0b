#include "retrycountdown.h"

using platform::Error;

RetryCountdown::RetryCountdown(platform::TransferObservers &transfers, widgets::Label &statusLine)
    : m_statusLine(statusLine), m_status(statusLine.caption()), m_registration(transfers, *this)
{
    // Never early: each second's text stands for a whole second.
    m_tick.setTimerType(Qt::PreciseTimer);
    m_tick.setInterval(1000);
    QObject::connect(&m_tick, &QTimer::timeout, [this] { show(); });
}

void RetryCountdown::setStatus(const QString &text)
{
    m_status = text;
    if (!m_why)
        m_statusLine.setCaption(text);
}

QString RetryCountdown::text(const Error &why, int seconds)
{
    QString what;
    switch (why.code()) {
    case Error::Code::ConnectionBroken: what = QStringLiteral("连接中断"); break;
    case Error::Code::Timeout: what = QStringLiteral("连接超时"); break;
    case Error::Code::HttpStatus: what = QStringLiteral("服务器暂时无法响应"); break;
    case Error::Code::NetworkFailure: what = QStringLiteral("无法连接服务器"); break;
    case Error::Code::TooSlow: what = QStringLiteral("传输过慢"); break;
    default: what = QStringLiteral("网络错误"); break;
    }
    return QStringLiteral("%1,%2 秒后重试...").arg(what).arg(seconds);
}

void RetryCountdown::retryWaiting(const QString &url, const Error &why, std::chrono::milliseconds wait)
{
    Q_UNUSED(url);
    // A body that was flowing goes on at once: nothing to count down.
    if (wait <= std::chrono::milliseconds(0))
        return;
    m_why = why;
    m_deadline.setRemainingTime(wait);
    show();
    m_tick.start();
}

void RetryCountdown::retryStarted(const QString &url)
{
    Q_UNUSED(url);
    restore();
}

void RetryCountdown::transferEnded(const platform::TransferReport &report)
{
    Q_UNUSED(report);
    restore();
}

void RetryCountdown::show()
{
    // Whole seconds, rounded up: "1" until the retry starts.
    const qint64 left = std::max<qint64>(1, (m_deadline.remainingTime() + 999) / 1000);
    m_statusLine.setCaption(text(*m_why, int(left)));
}

void RetryCountdown::restore()
{
    if (!m_why)
        return;
    m_tick.stop();
    m_why.reset();
    m_statusLine.setCaption(m_status);
}

#pragma once

#include "app/widgets/label.h"
#include "platform/net/transferobserver.h"

#include <QDeadlineTimer>
#include <QString>
#include <QTimer>

#include <optional>

// The status line, which a transfer that waits before its next attempt
// borrows: it says why and in how many seconds, counted down each second.
// When the transfer goes on or ends, the status line shows its own text
// again, the last one set meanwhile.
class RetryCountdown final : public platform::TransferObserver
{
public:
    RetryCountdown(platform::TransferObservers &transfers, widgets::Label &statusLine);

    // The status line's own text: shown at once, or once the wait is over.
    void setStatus(const QString &text);

    // The status line's text with `seconds` left before a retry after `why`.
    static QString text(const platform::Error &why, int seconds);

    void retryWaiting(const QString &url, const platform::Error &why, std::chrono::milliseconds wait) override;
    void retryStarted(const QString &url) override;
    void transferEnded(const platform::TransferReport &report) override;

private:
    void show();
    void restore();

    widgets::Label &m_statusLine;
    QTimer m_tick;
    QDeadlineTimer m_deadline;
    std::optional<platform::Error> m_why;
    QString m_status; // the status line's own text
    platform::ObserverRegistration m_registration;
};

#pragma once

#include "httpclient.h"

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

class QNetworkReply;

namespace platform {

// An asynchronous HTTP request whose state is polled, with the request
// object's own defaults (no user agent of ours). readyState 4 means that the
// request has ended, with a response or a failure.
class HttpRequest
{
public:
    static constexpr int completed = 4;

    explicit HttpRequest(NetworkLimits limits = {});
    ~HttpRequest();
    HttpRequest(const HttpRequest &) = delete;
    HttpRequest &operator=(const HttpRequest &) = delete;

    void open(const QByteArray &method, const QString &url);
    void send();
    int readyState() const;

    QByteArray responseBody() const;
    // The final HTTP status, 0 when no response arrived.
    int status() const;
    // Why the request failed when it did: empty for a response of any status.
    QString failure() const;
    // Whether it failed because the network limits ran out.
    bool timedOut() const { return m_timedOut; }

private:
    void restartWatchdog();

    QNetworkAccessManager m_manager;
    NetworkLimits m_limits;
    QByteArray m_method;
    QUrl m_url;
    QNetworkReply *m_reply = nullptr;
    QTimer m_watchdog;
    bool m_timedOut = false;
};

// Creates a request object, or null when none can be created.
using HttpRequestFactory = std::function<std::unique_ptr<HttpRequest>()>;

} // namespace platform

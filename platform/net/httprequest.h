#pragma once

#include "curltransfer.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace platform {

class HttpClient;

// An asynchronous HTTP request whose state is polled, made over the client's
// transport with the request object's own defaults: no user agent of ours,
// a response of any status, and only a short text (a longer body fails the
// request). readyState 4 means that the request has ended, with a response
// or a failure. The client must outlive it.
class HttpRequest
{
public:
    static constexpr int completed = 4;

    HttpRequest(HttpClient &client, qsizetype longestBody);
    ~HttpRequest();
    HttpRequest(const HttpRequest &) = delete;
    HttpRequest &operator=(const HttpRequest &) = delete;

    void open(const QByteArray &method, const QString &url);
    void send();
    int readyState() const;

    QByteArray responseBody() const;
    // The final HTTP status, 0 when no response arrived.
    int status() const;
    // Why no response arrived, once the request has ended: empty for a
    // response of any status.
    std::optional<Error> failure() const;

private:
    HttpClient &m_client;
    qsizetype m_longestBody;
    QString m_url;
    std::unique_ptr<CurlTransfer> m_transfer;
    std::optional<Error> m_invalidUrl;
};

// Creates a request object, or null when none can be created.
using HttpRequestFactory = std::function<std::unique_ptr<HttpRequest>()>;

} // namespace platform

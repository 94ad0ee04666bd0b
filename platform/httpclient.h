#pragma once

#include "codepage.h"

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QDeadlineTimer>
#include <QString>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

class QNetworkReply;
class QNetworkRequest;

namespace platform {

// How long the network may keep the program waiting.
struct NetworkLimits
{
    // A connection that cannot be made, or a server that does not answer the
    // request, within this time fails the open.
    std::chrono::milliseconds connect{60000};
    // A transfer during which no data arrives for this long fails.
    std::chrono::milliseconds idle{60000};
};

// Why a URL did not open.
struct OpenFailure
{
    int httpStatus = 0; // the final status when the server answered, else 0
};

// One requested URL whose response headers have arrived with a 2xx status.
// Reads wait in the event loop; memory stays bounded by the reply's read
// buffer whatever the size of the body.
class UrlHandle
{
public:
    explicit UrlHandle(QNetworkReply *reply, NetworkLimits limits);
    ~UrlHandle();
    UrlHandle(const UrlHandle &) = delete;
    UrlHandle &operator=(const UrlHandle &) = delete;

    // The final HTTP status of the response.
    int status() const;
    // The Content-Length header's text, when the response has one.
    std::optional<QByteArray> contentLength() const;

    // Reads up to `size` bytes, waiting until that many are there or the body
    // has ended: n > 0 bytes read, 0 at the end of the body, -1 when the
    // transfer failed (connection lost, no data within the idle limit).
    std::int64_t read(char *data, std::int64_t size);

    // Whether the body arrived whole: the transfer ended without a failure.
    bool completed() const { return m_completed; }
    bool timedOut() const { return m_timedOut; }

private:
    friend class HttpSession;

    QNetworkReply *m_reply;
    NetworkLimits m_limits;
    QTimer m_wake;
    bool m_completed = false;
    bool m_timedOut = false;
};

// An HTTP session: the user agent and proxy settings that its requests share.
class HttpSession
{
public:
    HttpSession(QNetworkAccessManager &manager, const CodePage &codePage, QByteArray userAgent,
                NetworkLimits limits);

    // GET that always goes to the server and follows redirects. Null, with
    // the reason in `failure`, when no connection could be made, the server
    // did not answer in time, or the final status is not 2xx.
    std::unique_ptr<UrlHandle> openUrl(const QString &url, OpenFailure *failure = nullptr);

private:
    QNetworkAccessManager &m_manager;
    const CodePage &m_codePage;
    QByteArray m_userAgent;
    NetworkLimits m_limits;
};

// Opens HTTP sessions. Connections are reused underneath, across sessions.
class HttpClient
{
public:
    explicit HttpClient(const CodePage &codePage = CodePage::deployment());
    virtual ~HttpClient();

    // Null when no session can be created.
    virtual std::unique_ptr<HttpSession> openSession(const QByteArray &userAgent);

    void setLimits(NetworkLimits limits) { m_limits = limits; }
    NetworkLimits limits() const { return m_limits; }

private:
    QNetworkAccessManager m_manager;
    const CodePage &m_codePage;
    NetworkLimits m_limits;
};

// The final HTTP status of a reply; 0 when no response arrived.
int httpStatus(const QNetworkReply &reply);

// A GET request as every request of the system makes it: straight to the
// server (no cache), redirects followed.
QNetworkRequest freshRequest(const QUrl &url);

// Proxies as the system configures them; never one for a loopback address.
void useSystemProxy(QNetworkAccessManager &manager);

} // namespace platform

#include "httpclient.h"

#include "eventloop.h"
#include "requesturl.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace platform {

namespace {

// Bounds what a reply holds in memory, whatever the size of the body.
constexpr qint64 readBufferSize = 1024 * 1024;

class SystemProxyFactory : public QNetworkProxyFactory
{
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &query) override
    {
        const QString host = query.peerHostName();
        if (host == QLatin1String("localhost") || QHostAddress(host).isLoopback())
            return {QNetworkProxy::NoProxy};
        return systemProxyForQuery(query);
    }
};

bool isRedirect(int status)
{
    return status >= 300 && status < 400;
}

} // namespace

int httpStatus(const QNetworkReply &reply)
{
    return reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

QNetworkRequest freshRequest(const QUrl &url)
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setRawHeader("Cache-Control", "no-cache");
    request.setRawHeader("Pragma", "no-cache");
    return request;
}

void useSystemProxy(QNetworkAccessManager &manager)
{
    manager.setProxyFactory(new SystemProxyFactory);
}

UrlHandle::UrlHandle(QNetworkReply *reply, NetworkLimits limits) : m_reply(reply), m_limits(limits)
{
    m_wake.setSingleShot(true);
}

UrlHandle::~UrlHandle()
{
    if (!m_reply->isFinished())
        m_reply->abort();
    delete m_reply;
}

int UrlHandle::status() const
{
    return httpStatus(*m_reply);
}

std::optional<QByteArray> UrlHandle::contentLength() const
{
    if (!m_reply->hasRawHeader("Content-Length"))
        return std::nullopt;
    return m_reply->rawHeader("Content-Length").trimmed();
}

std::int64_t UrlHandle::read(char *data, std::int64_t size)
{
    qint64 available = m_reply->bytesAvailable();
    if (available < size && !m_reply->isFinished()) {
        QDeadlineTimer deadline(m_limits.idle);
        while (available < size && !m_reply->isFinished()) {
            if (!sleepUntilEvent(m_wake, deadline)) {
                m_timedOut = true;
                m_reply->abort();
                return -1;
            }
            const qint64 now = m_reply->bytesAvailable();
            if (now > available)
                deadline.setRemainingTime(m_limits.idle);
            available = now;
        }
        m_wake.stop();
    }
    const qint64 n = m_reply->read(data, size);
    if (n > 0)
        return n;
    if (m_reply->isFinished() && m_reply->error() == QNetworkReply::NoError) {
        m_completed = true;
        return 0;
    }
    return -1;
}

HttpSession::HttpSession(QNetworkAccessManager &manager, const CodePage &codePage, QByteArray userAgent,
                         NetworkLimits limits)
    : m_manager(manager), m_codePage(codePage), m_userAgent(std::move(userAgent)), m_limits(limits)
{
}

std::unique_ptr<UrlHandle> HttpSession::openUrl(const QString &url, OpenFailure *failure)
{
    OpenFailure ignored;
    OpenFailure &why = failure ? *failure : ignored;
    why = {};

    const QUrl target = requestUrl(url, m_codePage);
    if (!target.isValid() || target.scheme().isEmpty())
        return nullptr;
    QNetworkRequest request = freshRequest(target);
    request.setHeader(QNetworkRequest::UserAgentHeader, m_userAgent);

    auto handle = std::make_unique<UrlHandle>(m_manager.get(request), m_limits);
    QNetworkReply &reply = *handle->m_reply;
    reply.setReadBufferSize(readBufferSize);

    const auto headersArrived = [&reply] {
        const QVariant status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
        return reply.isFinished() || (status.isValid() && !isRedirect(status.toInt()));
    };
    QDeadlineTimer deadline(m_limits.connect);
    while (!headersArrived()) {
        if (!platform::sleepUntilEvent(handle->m_wake, deadline))
            return nullptr;
    }
    handle->m_wake.stop();

    why.httpStatus = httpStatus(reply);
    if (why.httpStatus < 200 || why.httpStatus > 299)
        return nullptr;
    return handle;
}

HttpClient::HttpClient(const CodePage &codePage) : m_codePage(codePage)
{
    useSystemProxy(m_manager);
    m_manager.setAutoDeleteReplies(false);
}

HttpClient::~HttpClient() = default;

std::unique_ptr<HttpSession> HttpClient::openSession(const QByteArray &userAgent)
{
    return std::make_unique<HttpSession>(m_manager, m_codePage, userAgent, m_limits);
}

} // namespace platform

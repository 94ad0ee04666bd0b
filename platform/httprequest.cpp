#include "httprequest.h"

#include "requesturl.h"

#include <QNetworkReply>
#include <QNetworkRequest>

namespace platform {

HttpRequest::HttpRequest(NetworkLimits limits) : m_limits(limits)
{
    useSystemProxy(m_manager);
    m_watchdog.setSingleShot(true);
    QObject::connect(&m_watchdog, &QTimer::timeout, &m_manager, [this] {
        if (m_reply && !m_reply->isFinished()) {
            m_timedOut = true;
            m_reply->abort();
        }
    });
}

HttpRequest::~HttpRequest()
{
    if (m_reply && !m_reply->isFinished())
        m_reply->abort();
    delete m_reply;
}

void HttpRequest::open(const QByteArray &method, const QString &url)
{
    m_method = method;
    m_url = requestUrl(url, CodePage::deployment());
}

void HttpRequest::send()
{
    m_reply = m_manager.sendCustomRequest(freshRequest(m_url), m_method);
    // The connect limit covers the wait for the response headers, the idle
    // limit every later wait for data.
    m_watchdog.start(m_limits.connect);
    QObject::connect(m_reply, &QNetworkReply::metaDataChanged, &m_manager, [this] { restartWatchdog(); });
    QObject::connect(m_reply, &QNetworkReply::downloadProgress, &m_manager, [this] { restartWatchdog(); });
    QObject::connect(m_reply, &QNetworkReply::finished, &m_manager, [this] { m_watchdog.stop(); });
}

void HttpRequest::restartWatchdog()
{
    if (!m_reply->isFinished())
        m_watchdog.start(m_limits.idle);
}

int HttpRequest::readyState() const
{
    if (!m_reply)
        return 1;
    return m_reply->isFinished() ? completed : 3;
}

QByteArray HttpRequest::responseBody() const
{
    return m_reply && m_reply->isFinished() ? m_reply->peek(m_reply->bytesAvailable()) : QByteArray();
}

int HttpRequest::status() const
{
    return m_reply ? httpStatus(*m_reply) : 0;
}

QString HttpRequest::failure() const
{
    if (m_timedOut)
        return QStringLiteral("no answer within the time limit");
    if (!m_reply || !m_reply->isFinished() || m_reply->error() == QNetworkReply::NoError)
        return {};
    // An error status still came with a response; only a missing one is a failure here.
    if (status() != 0 && m_reply->error() > QNetworkReply::UnknownProxyError)
        return {};
    return m_reply->errorString();
}

} // namespace platform

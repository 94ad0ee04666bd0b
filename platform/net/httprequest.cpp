#include "httprequest.h"

#include "httpclient.h"

namespace platform {

HttpRequest::HttpRequest(HttpClient &client, qsizetype longestBody) : m_client(client), m_longestBody(longestBody) {}

HttpRequest::~HttpRequest() = default;

void HttpRequest::open(const QByteArray &method, const QString &url)
{
    // The system only ever reads with GET.
    Q_ASSERT(method == "GET");
    m_url = url;
}

void HttpRequest::send()
{
    CurlTransfer::Options options{m_client.settings({}), m_url};
    const QByteArray target = sendableUrl(m_url, m_client.codePage(), options.settings);
    if (target.isEmpty()) {
        m_invalidUrl = Error(Error::Code::InvalidArgument, m_url);
        return;
    }
    options.anyStatusAnswers = true;
    options.wholeBody = true;
    m_transfer = std::make_unique<CurlTransfer>(m_client.multi(), target, options);
    m_transfer->limitBody({m_longestBody, QString::number(m_longestBody / 1024) + QStringLiteral(" KB")});
}

int HttpRequest::readyState() const
{
    if (m_invalidUrl)
        return completed;
    if (!m_transfer)
        return 1;
    return m_transfer->stage() == CurlTransfer::Stage::Finished ? completed : 3;
}

QByteArray HttpRequest::responseBody() const
{
    return m_transfer && m_transfer->complete() ? m_transfer->peekAll() : QByteArray();
}

int HttpRequest::status() const
{
    return m_transfer ? m_transfer->status() : 0;
}

std::optional<Error> HttpRequest::failure() const
{
    if (m_invalidUrl)
        return m_invalidUrl;
    if (readyState() != completed)
        return std::nullopt;
    return m_transfer->failure();
}

} // namespace platform

#include "smallfetch.h"

#include "platform/core/error.h"

namespace update {

using platform::Error;

SmallFetch::SmallFetch(platform::HttpClient &client, const QString &url, qsizetype limit)
    : m_url(url), m_request(client.startUrl(url))
{
    if (m_request)
        m_request->limitBody({limit, {}});
}

QByteArray SmallFetch::take()
{
    const QString &url = m_url;
    if (!m_request)
        throw Error(Error::Code::NetworkFailure, url);
    platform::OpenFailure failure;
    const std::unique_ptr<platform::UrlHandle> handle = m_request->open(&failure);
    m_request.reset();
    if (!handle) {
        if (failure.httpStatus != 0)
            throw Error(Error::Code::HttpStatus, url, QString::number(failure.httpStatus));
        throw failure.error.value_or(Error(Error::Code::NetworkFailure, url));
    }

    QByteArray body;
    char block[16384];
    for (;;) {
        const std::int64_t n = handle->read(block, sizeof block);
        if (n == 0)
            break;
        if (n < 0)
            throw handle->failure().value_or(Error(Error::Code::NetworkFailure, url));
        body.append(block, qsizetype(n));
    }
    if (!handle->completed())
        throw Error(Error::Code::ConnectionBroken, url);
    return body;
}

} // namespace update

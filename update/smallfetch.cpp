#include "smallfetch.h"

#include "platform/core/error.h"

using platform::Error;

QByteArray fetchSmallFile(platform::HttpClient &client, const QString &url, qsizetype limit)
{
    const std::unique_ptr<platform::HttpSession> session = client.openSession(platform::HttpClient::userAgent);
    if (!session)
        throw Error(Error::Code::NetworkFailure, url);
    platform::OpenFailure failure;
    const std::unique_ptr<platform::UrlHandle> handle = session->openUrl(url, &failure);
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
        if (body.size() + n > limit)
            throw Error(Error::Code::TooLarge, url);
        body.append(block, qsizetype(n));
    }
    if (!handle->completed())
        throw Error(Error::Code::ConnectionBroken, url);
    return body;
}

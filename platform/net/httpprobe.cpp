#include "httpprobe.h"

#include "curlattempt.h"
#include "httpclient.h"

#include <algorithm>

namespace platform {

ProbeResponse probeUrl(HttpClient &client, const QString &url, std::int64_t mostBytes,
                       const std::function<void(QByteArrayView)> &takeBody)
{
    ProbeResponse response;
    const QByteArray target = curlUrl(url, client.codePage());
    if (target.isEmpty()) {
        response.failure = Error(Error::Code::InvalidArgument, url);
        return response;
    }
    const auto checkHead = [&](const ResponseHead &head) {
        response.status = head.status;
        response.contentLength = head.contentLength();
        response.chunked = head.chunked();
        return true;
    };
    const auto take = [&](const char *data, qsizetype size) {
        const qsizetype room = qsizetype(std::min<std::int64_t>(size, mostBytes - response.received));
        takeBody(QByteArrayView(data, room));
        response.received += room;
        response.overLimit = room < size;
        return response.overLimit ? CurlAttempt::Take::Refused : CurlAttempt::Take::Taken;
    };
    std::optional<CURLcode> result;
    const CurlAttempt attempt(client.multi(), target, client.settings(HttpClient::userAgent), {}, checkHead, take,
                              [&](CURLcode code) { result = code; }, CurlAttempt::BodyEnd::ConnectionClose);
    waitForEvents([&] { return result.has_value(); });
    if (*result != CURLE_OK && !response.overLimit) {
        const Error why = attempt.errorFor(*result);
        response.failure = Error(why.code(), url, why.detail());
    }
    return response;
}

} // namespace platform

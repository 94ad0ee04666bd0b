#include "httpprobe.h"

#include "curlattempt.h"
#include "httpclient.h"

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
    CurlAttempt *attempt = nullptr;
    const auto checkHead = [&](const ResponseHead &head) {
        response.status = head.status;
        response.contentLength = head.contentLength();
        response.chunked = head.chunked();
        // A body that runs far past its announced length shows what it is
        // long before it reaches the limit, if ever.
        if (response.contentLength && *response.contentLength < mostBytes - beyondAnnounced)
            attempt->limitBody(*response.contentLength + beyondAnnounced);
        return true;
    };
    const auto take = [&](const char *data, qsizetype size) {
        takeBody(QByteArrayView(data, size));
        response.received += size;
        return CurlAttempt::Take::Taken;
    };
    std::optional<CURLcode> result;
    CurlAttempt probe(client.multi(), target, client.settings(HttpClient::userAgent), {}, checkHead, take,
                      [&](CURLcode code) { result = code; }, CurlAttempt::BodyEnd::ConnectionClose);
    if (probe.unstarted()) {
        response.failure = Error(probe.unstarted()->code(), url, probe.unstarted()->detail());
        return response;
    }
    attempt = &probe;
    probe.limitBody(mostBytes);
    waitForEvents([&] { return result.has_value(); });
    response.overLimit = probe.overLimit();
    if (*result != CURLE_OK && !response.overLimit) {
        const Error why = probe.errorFor(*result);
        response.failure = Error(why.code(), url, why.detail());
    }
    return response;
}

} // namespace platform

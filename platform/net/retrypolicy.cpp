#include "retrypolicy.h"

#include "curlattempt.h"

#include <algorithm>

namespace platform {

using std::chrono::milliseconds;

CurlResultRule ruleOf(CURLcode code)
{
    using Code = Error::Code;
    struct Row
    {
        CURLcode result;
        CurlResultRule rule;
    };
    static constexpr Row table[] = {
        {CURLE_COULDNT_CONNECT, {Code::NetworkFailure, true}},
        {CURLE_OPERATION_TIMEDOUT, {Code::Timeout, true}},
        {CURLE_PEER_FAILED_VERIFICATION, {Code::Certificate, false}},
        {CURLE_SSL_CACERT_BADFILE, {Code::Certificate, false}},
        {CURLE_SSL_ISSUER_ERROR, {Code::Certificate, false}},
        {CURLE_SSL_PINNEDPUBKEYNOTMATCH, {Code::Certificate, false}},
        {CURLE_SEND_ERROR, {Code::ConnectionBroken, true}},
        {CURLE_RECV_ERROR, {Code::ConnectionBroken, true}},
        {CURLE_GOT_NOTHING, {Code::ConnectionBroken, true}},
        {CURLE_PARTIAL_FILE, {Code::ConnectionBroken, true}},
        {CURLE_HTTP2, {Code::ConnectionBroken, true}},
        {CURLE_HTTP2_STREAM, {Code::ConnectionBroken, true}},
        // A head beyond curl's bounds: before 8.6 curl calls it running out of memory.
        {CURLE_OUT_OF_MEMORY, {Code::BadResponse, false}},
        {CURLE_WEIRD_SERVER_REPLY, {Code::BadResponse, false}},
#if LIBCURL_VERSION_NUM >= 0x080600
        {CURLE_TOO_LARGE, {Code::BadResponse, false}},
#endif
    };
    const auto row = std::find_if(std::begin(table), std::end(table), [code](const Row &r) { return r.result == code; });
    // Refused for good, no such host, no route: the server cannot be reached.
    return row != std::end(table) ? row->rule : CurlResultRule{Code::NetworkFailure, false};
}

bool isRetryableStatus(int status)
{
    return status == 408 || status == 429 || status == 500 || status == 502 || status == 503 || status == 504;
}

std::optional<milliseconds> retryAfterOf(const QByteArray &value, std::time_t now)
{
    if (const auto seconds = decimalCount(value.trimmed()))
        return milliseconds(std::min<std::int64_t>(*seconds, 24 * 3600) * 1000);
    const time_t when = curl_getdate(value.constData(), nullptr);
    if (when < 0)
        return std::nullopt;
    return milliseconds(std::max<qint64>(0, qint64(when - now) * 1000));
}

milliseconds backoff(milliseconds base, int n, double spread)
{
    const double factor = double(1LL << std::min(n - 1, 20)) * (0.8 + 0.4 * spread);
    return milliseconds(qint64(double(base.count()) * factor));
}

std::optional<ContentRange> contentRangeOf(const QByteArray &value)
{
    if (!value.startsWith("bytes "))
        return std::nullopt;
    const QByteArray range = value.mid(6).trimmed();
    const qsizetype dash = range.indexOf('-');
    const qsizetype slash = range.indexOf('/');
    if (dash <= 0 || slash <= dash)
        return std::nullopt;
    const auto first = decimalCount(range.left(dash));
    const auto last = decimalCount(range.mid(dash + 1, slash - dash - 1));
    const auto total = decimalCount(range.mid(slash + 1));
    if (!first || !last || !total)
        return std::nullopt;
    return ContentRange{*first, *last, *total};
}

} // namespace platform

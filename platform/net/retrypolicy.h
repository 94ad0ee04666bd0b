#pragma once

#include "platform/core/error.h"

#include <QByteArray>

#include <curl/curl.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <optional>

// When a transfer tries again, how long it waits and whether a resumed
// response goes on where the body broke off: rules of their own, apart
// from any connection.
namespace platform {

// What a curl result stands for: the error that the user is told of, with
// curl's words as its detail, and whether another attempt is worth it. One
// table holds every result told apart; any other is a server that cannot
// be reached, for good.
struct CurlResultRule
{
    Error::Code error;
    bool retryable;
};
CurlResultRule ruleOf(CURLcode code);

// 408, 429, 500, 502, 503 and 504 are worth another attempt.
bool isRetryableStatus(int status);

// Retry-After as seconds (at most a day) or as an HTTP date, from `now`;
// none when it is neither.
std::optional<std::chrono::milliseconds> retryAfterOf(const QByteArray &value, std::time_t now);

// The wait before the `n`th retry in a row: about `base` times 2^(n-1),
// from 0.8 to 1.2 times that as `spread` goes from 0 to 1, so that clients
// that failed together do not come back together.
std::chrono::milliseconds backoff(std::chrono::milliseconds base, int n, double spread);

// "bytes FIRST-LAST/TOTAL"
struct ContentRange
{
    std::int64_t first = -1, last = -1, total = -1;
};
std::optional<ContentRange> contentRangeOf(const QByteArray &value);

} // namespace platform

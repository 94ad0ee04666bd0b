#pragma once

#include "platform/core/error.h"

#include <QByteArrayView>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

namespace platform {

class HttpClient;

// What a server really sent for one GET.
struct ProbeResponse
{
    std::optional<Error> failure; // no response, or the body broke off
    int status = 0;
    std::optional<std::int64_t> contentLength; // as announced, when it is a count
    bool chunked = false;
    std::int64_t received = 0; // body bytes taken, at most the limit
    bool overLimit = false;    // more came than the limit allows: the probe stopped there
};

// One GET made as the updater makes it (its user agent, redirects, proxy,
// certificates and limits) but looked at rather than trusted: one attempt,
// no retry, no resume, and the body read until the server closes, so that a
// body longer or shorter than announced shows. `takeBody` hears every piece;
// after `mostBytes` bytes the probe stops, and after `beyondAnnounced` bytes
// past an announced length. Waits in the event loop.
constexpr std::int64_t beyondAnnounced = 1 << 20;
ProbeResponse probeUrl(HttpClient &client, const QString &url, std::int64_t mostBytes,
                       const std::function<void(QByteArrayView)> &takeBody);

} // namespace platform

#pragma once

#include "earlybodies.h"
#include "httpclient.h"

#include <QString>

#include <deque>
#include <memory>
#include <optional>
#include <utility>

namespace platform {

// The requests for the files that a reader will ask for next, in its order,
// sent before it asks, so that their round trips pass together: a few over
// HTTP/1.1 connections of their own, more over one HTTP/2 connection. Each is
// handed to the reader in its turn; one dropped before its turn was never
// its request.
class RequestsAhead
{
public:
    // In flight beside the reader's own request: over HTTP/1.1 one connection
    // each, one connection left for the reader's other requests.
    static constexpr int overConnections = int(CurlMulti::connectionsPerServer) - 1;
    // In flight once the server answers over HTTP/2: a round trip's worth.
    static constexpr int overOneConnection = 32;
    // The memory that bodies arriving before their turn hold in all.
    static constexpr std::int64_t earlyBodyMemory = 16 * 1024 * 1024;

    explicit RequestsAhead(HttpClient &client);

    // Asks for `url` after every URL added before it.
    void add(const QString &url, CacheUse cacheUse);
    // The request for `url` sent ahead, if it was; the ones added before it
    // are dropped, and those after it are sent as room comes.
    std::optional<PendingUrl> take(const QString &url);

private:
    void sendMore();

    HttpClient &m_client;
    std::unique_ptr<HttpSession> m_session;
    EarlyBodies m_earlyBodies{earlyBodyMemory};
    std::deque<std::pair<QString, CacheUse>> m_waiting;
    std::deque<std::pair<QString, PendingUrl>> m_sent;
    bool m_multiplexed = false;
};

} // namespace platform

#include "requestsahead.h"

#include <algorithm>

namespace platform {

RequestsAhead::RequestsAhead(HttpClient &client)
    : m_client(client), m_session(client.openSession(HttpClient::userAgent))
{
}

void RequestsAhead::add(const QString &url, CacheUse cacheUse)
{
    // A URL that cannot be sent fails in its turn, as it always did.
    if (!m_session || curlUrl(url, m_client.codePage()).isEmpty())
        return;
    m_waiting.emplace_back(url, cacheUse);
    sendMore();
}

std::optional<PendingUrl> RequestsAhead::take(const QString &url)
{
    const auto named = [&](const auto &request) { return request.first == url; };
    std::optional<PendingUrl> taken;
    if (const auto sent = std::find_if(m_sent.begin(), m_sent.end(), named); sent != m_sent.end()) {
        taken = std::move(sent->second);
        m_sent.erase(m_sent.begin(), sent + 1);
    } else if (const auto waiting = std::find_if(m_waiting.begin(), m_waiting.end(), named);
               waiting != m_waiting.end()) {
        m_sent.clear();
        m_waiting.erase(m_waiting.begin(), waiting + 1);
    }
    sendMore();
    return taken;
}

void RequestsAhead::sendMore()
{
    // Known from the first response: until then, only as many as connections allow.
    m_multiplexed = m_multiplexed || std::any_of(m_sent.begin(), m_sent.end(), [](const auto &request) {
                        return request.second.version() == "HTTP/2";
                    });
    const std::size_t most = std::size_t(m_multiplexed ? overOneConnection : overConnections);
    while (m_sent.size() < most && !m_waiting.empty()) {
        auto [url, cacheUse] = std::move(m_waiting.front());
        m_waiting.pop_front();
        m_sent.emplace_back(url, m_session->startUrl(url, cacheUse, {}, &m_earlyBodies));
    }
}

} // namespace platform

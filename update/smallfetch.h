#pragma once

#include "platform/net/httpclient.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace update {

// A small file fetched into memory, never onto disk. The request leaves when
// the fetch is made, so that several fetches share their round trips; take()
// waits for the body. A body over `limit` bytes raises TooLarge at the first
// byte beyond it; a URL that does not open or a transfer that breaks off
// raises the network error, naming the URL.
class SmallFetch
{
public:
    SmallFetch(platform::HttpClient &client, const QString &url, qsizetype limit);

    QByteArray take();

private:
    QString m_url;
    std::optional<platform::PendingUrl> m_request;
};

} // namespace update

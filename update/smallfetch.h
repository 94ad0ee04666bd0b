#pragma once

#include "platform/net/httpclient.h"

#include <QByteArray>
#include <QString>

// Fetches a small file into memory, never onto disk. A body over `limit`
// bytes raises TooLarge at the first byte beyond it; a URL that does not open
// or a transfer that breaks off raises the network error, naming the URL.
QByteArray fetchSmallFile(platform::HttpClient &client, const QString &url, qsizetype limit);

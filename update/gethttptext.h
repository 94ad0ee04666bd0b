#pragma once

#include "platform/net/httpclient.h"
#include "platform/net/httprequest.h"

#include <QString>

#include <vector>

namespace update {

// The request object factories over `client`, in the order they are tried.
// Their requests keep the request object's own defaults: no user agent, any
// 2xx status, and no text longer than a stamp may be.
std::vector<platform::HttpRequestFactory> defaultRequestFactories(platform::HttpClient &client);

// Fetches a URL's body as text in the deployment code page, with the first
// request object that a factory creates. Empty text when none can be
// created; the network or HTTP error otherwise. Waiting sleeps in the event
// loop; the client's network limits bound it.
QString GetHttpText(const QString &url, const std::vector<platform::HttpRequestFactory> &factories);

} // namespace update

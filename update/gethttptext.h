#pragma once

#include "platform/net/httprequest.h"

#include <QString>

#include <vector>

// The request object factories, in the order they are tried.
std::vector<platform::HttpRequestFactory> defaultRequestFactories();

// Fetches a URL's body as text in the deployment code page. Empty text when
// no request object can be created; the network or HTTP error otherwise.
// Waiting sleeps in the event loop; the network limits bound it.
QString GetHttpText(const QString &url,
                    const std::vector<platform::HttpRequestFactory> &factories = defaultRequestFactories());

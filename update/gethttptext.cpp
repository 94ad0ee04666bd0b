#include "gethttptext.h"

#include "platform/text/codepage.h"
#include "platform/core/error.h"
#include "release/sitelayout.h"

namespace update {

using platform::Error;
using platform::HttpRequest;

std::vector<platform::HttpRequestFactory> defaultRequestFactories(platform::HttpClient &client)
{
    const auto create = [&client] { return std::make_unique<HttpRequest>(client, sitelayout::largestStamp); };
    return {create, create};
}

QString GetHttpText(const QString &url, const std::vector<platform::HttpRequestFactory> &factories)
{
    std::unique_ptr<HttpRequest> request;
    for (const auto &factory : factories) {
        if ((request = factory()))
            break;
    }
    if (!request)
        return {};

    request->open("GET", url);
    request->send();
    platform::waitForEvents([&] { return request->readyState() == HttpRequest::completed; });

    if (const std::optional<Error> failure = request->failure())
        throw *failure;
    const int status = request->status();
    if (status < 200 || status > 299)
        throw Error(Error::Code::HttpStatus, url, QString::number(status));
    return platform::CodePage::deployment().decode(request->responseBody());
}

} // namespace update

#include "storeoptions.h"

namespace publish {

StoreOptions::StoreOptions(const QString &toDescription)
    : to(QStringLiteral("to"), toDescription, QStringLiteral("s3://BUCKET[/PREFIX]")),
      endpoint(QStringLiteral("endpoint"),
               QStringLiteral("A compatible store's endpoint, http(s)://host[:port] (default: AWS's for the region)."),
               QStringLiteral("URL")),
      region(QStringLiteral("region"), QStringLiteral("The region the requests are signed for (default: us-east-1)."),
             QStringLiteral("R"))
{
}

S3Location StoreOptions::location(const QCommandLineParser &parser) const
{
    return S3Location::parse(parser.value(to), parser.value(endpoint), parser.value(region));
}

} // namespace publish

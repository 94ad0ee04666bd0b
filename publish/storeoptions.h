#pragma once

#include "s3location.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

namespace publish {

// The options that name a bucket prefix of a store, shared by the commands
// that work on one: --to, --endpoint, --region.
struct StoreOptions
{
    explicit StoreOptions(const QString &toDescription);

    QList<QCommandLineOption> all() const { return {to, endpoint, region}; }
    // Where the parsed options point; InvalidArgument when they do not.
    S3Location location(const QCommandLineParser &parser) const;

    QCommandLineOption to;
    QCommandLineOption endpoint;
    QCommandLineOption region;
};

} // namespace publish

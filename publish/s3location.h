#pragma once

#include <QByteArray>
#include <QString>

namespace publish {

// Where a site goes in an S3-style store: a bucket and a key prefix, reached
// path-style (endpoint/bucket/key), which every compatible store serves.
struct S3Location
{
    QString endpoint; // "http(s)://host[:port]", no closing slash
    QString region;
    QString bucket;
    QByteArray prefix; // UTF-8, no slash at either end; empty: the bucket's root

    // "s3://BUCKET[/PREFIX]"; the endpoint defaults to AWS's for the region.
    // InvalidArgument, in English, for anything else.
    static S3Location parse(const QString &to, const QString &endpoint, const QString &region);

    // The key of a site path, and its URL for signed requests.
    QByteArray key(const QByteArray &sitePath) const;
    QByteArray objectUrl(const QByteArray &sitePath) const;
    // One page of the keys under the prefix, after `continuation` (empty: the first).
    QByteArray listUrl(const QByteArray &continuation) const;
    // The site path of a listed key; empty when it is not under the prefix.
    QByteArray sitePath(const QByteArray &key) const;
    // What clients read without a signature: endpoint/bucket/prefix/, in ASCII.
    QString readUrl() const;
    // "s3://BUCKET/PREFIX", as the user named it.
    QString shown() const;
};

// A key or query value as an S3 signature expects it: every byte
// percent-encoded except A-Z a-z 0-9 - . _ ~ (and '/' when `keepSlash`).
QByteArray s3Encoded(const QByteArray &bytes, bool keepSlash);

} // namespace publish

#pragma once

#include "objectmetadata.h"
#include "s3credentials.h"
#include "s3location.h"

#include "platform/net/httpclient.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <cstdint>
#include <optional>

namespace publish {

// One bucket prefix of an S3-style store, over the system's one transport:
// every request signed (AWS Signature Version 4), retried with the
// transport's back-off, its body's SHA-256 signed too, so that the store
// refuses bytes that changed on the way. Failures raise platform::Error
// naming the site path and the store's own error code.
class S3Store
{
public:
    S3Store(S3Location location, S3Credentials credentials);

    // What the store holds of an object.
    struct Object
    {
        std::int64_t size = 0;
        QByteArray sha256; // as the uploader recorded it; empty when unknown
    };

    // Every site path under the prefix, with its size.
    QHash<QByteArray, std::int64_t> list();
    // None when there is no such object.
    std::optional<Object> head(const QByteArray &sitePath);
    // The SHA-256 of the object's bytes, read through.
    QByteArray digestOf(const QByteArray &sitePath);
    // A small object whole, at most `limit` bytes; none when there is none.
    std::optional<QByteArray> get(const QByteArray &sitePath, std::int64_t limit);

    // Stores the file `source` (or `bytes` when it is empty) under the site
    // path with its SHA-256 and metadata. With `onlyIfAbsent` nothing that is
    // there already is replaced: returns false when the store kept its own.
    bool put(const QByteArray &sitePath, const QString &source, const QByteArray &bytes, const QByteArray &sha256,
             const ObjectMetadata &metadata, bool onlyIfAbsent);
    void remove(const QByteArray &sitePath);

    const S3Location &location() const { return m_location; }

private:
    // A response of any status, whole; a transfer that failed raises.
    struct Answer
    {
        int status = 0;
        QByteArray body;
        std::optional<QByteArray> contentLength;
        std::optional<QByteArray> sha256;
    };
    Answer send(const QByteArray &url, const QString &subject, platform::OutgoingRequest request,
                std::int64_t limit = 1024 * 1024);
    // The request signed, its body's SHA-256 (hex) named.
    platform::OutgoingRequest signedRequest(const QByteArray &method, const QByteArray &bodySha256 = {}) const;
    // The store's refusal as an error about `subject`.
    static platform::Error refusal(const QString &subject, const Answer &answer);

    S3Location m_location;
    S3Credentials m_credentials;
    platform::HttpClient m_client;
};

} // namespace publish

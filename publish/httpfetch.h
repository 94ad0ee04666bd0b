#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

// One GET over a plain socket, exactly as the server sends it: no
// decompression, no redirects, no connection reuse, the body read until the
// server closes, so that a body longer or shorter than announced shows.
struct HttpFetch
{
    QString failure;                    // empty when a response arrived
    int status = 0;
    std::optional<qint64> contentLength; // as announced
    bool chunked = false;
    qint64 received = 0;                // body bytes until the connection closed
    QByteArray body;                    // the body, when it is at most `keepLimit` bytes
    QByteArray sha256;                  // hex digest of the body as received

    // "HTTP 404", "body shorter than announced (10 of 20 bytes)", ...; empty
    // when the response is what a client needs.
    QString problem() const;
};

HttpFetch httpGet(const QUrl &url, qint64 keepLimit, const std::function<void(qint64)> &progress = {},
                  int timeoutMs = 30000);

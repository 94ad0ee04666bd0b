#pragma once

#include "curlmulti.h"
#include "transferobserver.h"
#include "platform/core/error.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QMap>
#include <QString>

#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>

namespace platform {

// How long the network may keep the program waiting, and how hard a
// transfer tries again.
struct NetworkLimits
{
    // A connection that cannot be made within this time fails the attempt.
    std::chrono::milliseconds connect{60000};
    // An attempt during which no data arrives for this long fails (whole
    // seconds: curl's low-speed limit).
    std::chrono::milliseconds idle{60000};
    // Attempts in a row that bring no byte of the body.
    int attempts = 5;
    // The wait before the first retry; it doubles with every further one.
    std::chrono::milliseconds firstRetryWait{1000};
    // The longest wait a server's Retry-After can ask for.
    std::chrono::milliseconds longestRetryAfter{30000};
    // No retry once this long has passed without a byte or an accepted answer.
    std::chrono::milliseconds retryWindow{60000};
};

// What every request of a transfer carries.
struct TransferSettings
{
    QByteArray userAgent; // none sent when empty
    NetworkLimits limits;
    QByteArray caCertificates; // PEM; empty: the system's trusted ones
    TransferObserver *observer = nullptr; // hears every transfer's retries and end
};

// Whether a request lets caches on the way answer from their copies.
enum class CacheUse { Revalidate, AllowCached };

// The head of a final response: its status and headers.
struct ResponseHead
{
    int status = 0;
    QByteArray version; // "HTTP/1.1", "HTTP/2", ...
    // Names in lower case; a repeated header keeps its last value, except
    // Content-Length, whose differing values stay side by side ("2000, 3000")
    // so that they never pass for one length.
    QMap<QByteArray, QByteArray> headers;

    std::optional<QByteArray> header(const QByteArray &name) const;
    // The Content-Length, when there is one and it is a count.
    std::optional<std::int64_t> contentLength() const;
    bool chunked() const;
    // A body that only the server's close ends, so that a cut looks like
    // its end: HTTP/1 with neither a length nor chunks.
    bool closeDelimited() const;
};

// A request other than a plain GET, as an object store takes it: its method,
// the body it sends and the signature that names its sender.
struct OutgoingRequest
{
    QByteArray method = "GET"; // GET, HEAD, PUT or DELETE
    QByteArray body;           // sent with PUT, unless bodyFile names a file
    QString bodyFile;          // sent with PUT, read afresh by every attempt
    QList<QByteArray> headers; // "Name: value", after the transfer's own
    // curl's AWS Signature Version 4 provider ("aws:amz:REGION:s3") and the
    // "ACCESS:SECRET" it signs with; unsigned when empty.
    QByteArray awsSigV4;
    QByteArray credentials;
};

// A decimal count and nothing else: no sign, no blank inside.
std::optional<std::int64_t> decimalCount(const QByteArray &text);

// One request and its response over one curl handle, redirects followed,
// always to the server past any cache. The owner looks at the final head
// before any of its body is taken and takes the body piece by piece, pausing
// it while it has no room. A limit on the body is kept here, where its bytes
// are taken: the owner is handed no byte beyond it.
class CurlAttempt
{
public:
    enum class Take { Taken, Full };
    // Where a body ends: where its framing says, as a client reads it; or only
    // where the server closes the connection (which the request asks it to),
    // so that bytes beyond the Content-Length show.
    enum class BodyEnd { Framing, ConnectionClose };
    using HeadCheck = std::function<bool(const ResponseHead &)>;
    using BodySink = std::function<Take(const char *data, qsizetype size)>;

    CurlAttempt(CurlMulti &multi, const QByteArray &url, const TransferSettings &settings,
                const QList<QByteArray> &headers, HeadCheck checkHead, BodySink takeBody,
                CurlMulti::Finished finished, BodyEnd bodyEnd = BodyEnd::Framing,
                const OutgoingRequest &request = {});
    ~CurlAttempt();
    CurlAttempt(const CurlAttempt &) = delete;
    CurlAttempt &operator=(const CurlAttempt &) = delete;

    // Lets a paused body flow again.
    void resume();
    bool paused() const { return m_paused; }
    // The most body bytes it takes from now on: the bytes up to the limit
    // are handed on, the first one beyond ends the attempt.
    void limitBody(std::int64_t mostBytes) { m_room = mostBytes; }
    // Whether the attempt ended at its limit.
    bool overLimit() const { return m_overLimit; }
    // Why the attempt failed with `code`: the family the user is told of,
    // with curl's own words as the detail.
    Error errorFor(CURLcode code) const;
    // Why curl refused to start the attempt, if it did: it never ends then.
    const std::optional<Error> &unstarted() const { return m_unstarted; }

private:
    static size_t onHeader(char *data, size_t size, size_t count, void *self);
    static size_t onBody(char *data, size_t size, size_t count, void *self);
    static size_t onSend(char *data, size_t size, size_t count, void *self);
    static int onSeek(void *self, curl_off_t offset, int origin);
    void setUpRequest(const OutgoingRequest &request);
    bool headLine(QByteArrayView line);

    CurlMulti &m_multi;
    CURL *m_easy;
    curl_slist *m_headers = nullptr;
    HeadCheck m_checkHead;
    BodySink m_takeBody;
    ResponseHead m_head;
    bool m_paused = false;
    std::int64_t m_room = std::numeric_limits<std::int64_t>::max();
    bool m_overLimit = false;
    qint64 m_idleSeconds; // curl's low-speed time
    QElapsedTimer m_sinceBody; // since the last bytes of the body came; invalid before the first
    bool m_finalHead = false; // the final head was checked: later lines are trailers
    char m_error[CURL_ERROR_SIZE] = {};
    // What a PUT sends: the file, or the bytes from m_sent on.
    std::unique_ptr<QFile> m_bodyFile;
    QByteArray m_body;
    qsizetype m_sent = 0;
    std::optional<Error> m_unstarted;
};

} // namespace platform

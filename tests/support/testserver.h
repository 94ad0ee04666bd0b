#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QMutex>
#include <QString>
#include <QThread>

#include <memory>
#include <optional>

// An HTTP/1.0-style server on 127.0.0.1 in a thread of its own, so that it
// answers whatever the thread under test is doing. Each route can inject a
// fault. With a certificate and key (PEM) it speaks HTTPS.
class TestServer
{
public:
    struct Route
    {
        enum class Mode {
            Normal,     // Content-Length and the whole body
            Chunked,    // chunked transfer encoding, no Content-Length
            CutShort,   // announces the body, sends `sendBytes` of it, closes
            Stall,      // announces the body, sends `sendBytes` of it, then nothing
            NoResponse, // reads the request and never answers
            Throttled,  // sends `chunk` bytes every `intervalMs`
            CloseDelimited, // no length at all: the end of the body is the end of the connection
            Endless,    // bytes that never stop; no length unless `contentLength`
        };

        int status = 200;
        QByteArray body;
        Mode mode = Mode::Normal;
        qint64 sendBytes = 0;
        QByteArray contentLength; // overrides the announced length when set
        QByteArray location;      // a Location header, for redirects
        int delayMs = 0;          // before the response starts
        int chunk = 4096;
        int intervalMs = 10;
        int servings = -1; // how often it answers before it is gone (404); -1: always
        std::shared_ptr<Route> afterwards; // what answers once the servings are used up

        // Validators; a Range request whose If-Range names one of them (or
        // that has none) gets a 206 with the rest, unless `ignoreRange`.
        QByteArray etag;
        QByteArray lastModified;
        bool ignoreRange = false;
        qint64 rangeShift = 0; // a 206 that starts this much further on than asked
        // Absolute offsets in the body at which a response stops: every
        // response ends at the first cut after where it starts.
        QList<qint64> cuts;
        bool resetAtCut = false; // a TCP reset in place of a close (also for CutShort, CloseDelimited)
        QByteArray retryAfter;
        bool compressWhenAsked = false; // deflate when the request accepts it
        // Sent right after the body, the connection then kept open (no
        // "Connection: close") with every later request on it unanswered.
        QByteArray excess;
    };

    struct Request
    {
        QByteArray method;
        QByteArray target;
        QMap<QByteArray, QByteArray> headers; // names in lower case
    };

    struct Tls
    {
        QByteArray certificate;
        QByteArray key;
    };

    // On `port`, or on one the system picks.
    explicit TestServer(std::optional<Tls> tls = std::nullopt, quint16 port = 0);
    ~TestServer();

    quint16 port() const { return m_port; }
    // "http://127.0.0.1:PORT/" (https with TLS) followed by `path`.
    QString url(const QString &path = {}) const;

    // `target` is the request target as it stands on the request line.
    void setRoute(const QByteArray &target, Route route);
    void setFile(const QByteArray &target, const QByteArray &body, int status = 200);
    void removeRoute(const QByteArray &target);
    QList<Request> requests() const;
    void clearRequests();

    // Used by the server's thread.
    Route routeFor(const QByteArray &target, bool *found);
    void record(Request request);

private:
    QThread m_thread;
    QObject *m_core = nullptr;
    quint16 m_port = 0;
    bool m_tls = false;
    mutable QMutex m_mutex;
    QMap<QByteArray, Route> m_routes;
    QList<Request> m_requests;
};

// A refused connection: a loopback port where nothing listens.
quint16 unusedPort();

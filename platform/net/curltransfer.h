#pragma once

#include "curlattempt.h"
#include "earlybodies.h"
#include "platform/core/error.h"

#include <QElapsedTimer>
#include <QTimer>

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>

namespace platform {

// The most bytes a body may have: the first byte beyond fails the transfer
// with TooLarge and `detail`.
struct BodyLimit
{
    std::int64_t bytes = std::numeric_limits<std::int64_t>::max();
    QString detail;
};

// The first `from` bytes of a body, at hand from an earlier transfer: the
// rest is asked for as long as the body is still the version of `validator`
// and `length` bytes long; any other answer than that rest is the whole body
// again or a failure, never a splice of two versions.
struct KeptBody
{
    std::int64_t from = 0;
    QByteArray validator;
    std::int64_t length = -1;
};

// One request (a GET unless its options ask for another) as the system makes
// it, on top of as many attempts as it takes:
// it retries an attempt that failed on the way (refused, reset, timed out,
// 408, 429, 500, 502, 503, 504) after a growing wait, resumes a body that
// broke off with a Range request bound to the first response's validator,
// and hands on one continuous body from a bounded buffer. Everything runs
// from the event loop; nothing here waits.
class CurlTransfer
{
public:
    enum class Stage { Opening, Open, Finished };

    struct Options
    {
        TransferSettings settings;
        // The URL as the caller wrote it, named in every error.
        QString subject;
        // Whether a status other than 200 is still an answer (kept with its
        // body); else only 200 is, and everything else a failure.
        bool anyStatusAnswers = false;
        // Stream: the body waits in a ring of this size, borrowed from the
        // multi's pool, the transfer paused while it is full. Whole: the body
        // is kept as it arrives, within the transfer's limit.
        qsizetype bufferSize = 1024 * 1024;
        bool wholeBody = false;
        // Whether caches on the way must ask the server (no-cache); a body
        // proven by its digest may come from any cache.
        CacheUse cacheUse = CacheUse::Revalidate;
        // Another method, a body to send, a signature; only a GET resumes.
        OutgoingRequest request = {};
        // Bytes of the body at hand from before: only their rest is asked for.
        KeptBody kept = {};
        // Sent before its turn: until takeTurn(), its body holds memory of
        // these (paused when there is none), and how an attempt ended waits
        // for the turn, reported and retried then as for any request.
        EarlyBodies *earlyBodies = nullptr;
    };

    CurlTransfer(CurlMulti &multi, QByteArray url, Options options);
    ~CurlTransfer();
    CurlTransfer(const CurlTransfer &) = delete;
    CurlTransfer &operator=(const CurlTransfer &) = delete;

    // The body's limit, none until set: set when the request is sent, or
    // later before the body is read if it is no smaller than a stream's
    // ring, which holds all that can have arrived by then.
    void limitBody(BodyLimit limit);

    // The owner reads it now: what happened before is dealt with as if it
    // happened now.
    void takeTurn();

    Stage stage() const { return m_stage; }
    // Whether a response was accepted: its status and headers are known.
    bool answered() const { return m_answered; }
    // The status of the accepted response, or of the last one refused; 0 when none came.
    int status() const { return m_status; }
    std::optional<QByteArray> header(const QByteArray &name) const { return m_head.header(name); }
    // Where in the whole body the bytes handed on begin: the kept bytes'
    // count when the server sent their rest, else 0.
    std::int64_t startsAt() const { return m_startsAt; }
    // The whole body's length, -1 when unknown.
    std::int64_t length() const { return m_length; }
    // What an If-Range in a later run may name for the body answered: its
    // strong validator, empty when it has none.
    QByteArray lastingValidator() const;
    // The protocol of the accepted response ("HTTP/1.1", "HTTP/2"); empty before.
    const QByteArray &version() const { return m_head.version; }

    qsizetype available() const { return m_ring ? (*m_ring)->size() : m_buffer.size(); }
    // Stream: moves what waits, up to `size` bytes, out of the ring.
    qsizetype read(char *data, qsizetype size);
    // Whole: the body received so far.
    QByteArray peekAll() const { return m_buffer; }

    // Between attempts, waiting before the next one.
    bool waitingToRetry() const { return m_retryTimer.isActive(); }
    // Finished with the whole body, as its framing and its length say.
    bool complete() const { return m_stage == Stage::Finished && !m_failure; }
    // Why it failed, once it has.
    const std::optional<Error> &failure() const { return m_failure; }

private:
    enum class Verdict { None, Accepted, Retry, Failed };

    void startAttempt();
    bool checkHead(const ResponseHead &head);
    bool checkFirstHead(const ResponseHead &head);
    bool checkResumedHead(const ResponseHead &head);
    CurlAttempt::Take takeBody(const char *data, qsizetype size);
    // What the limit leaves of the body.
    std::int64_t roomLeft() const;
    void attemptFinished(CURLcode code);
    bool canResume() const;
    void retryLater(const Error &why, std::chrono::milliseconds wait);
    void fail(Error why);
    void report(bool finished);

    CurlMulti &m_multi;
    QByteArray m_url;
    Options m_options;
    BodyLimit m_limit;
    std::unique_ptr<CurlAttempt> m_attempt;
    QTimer m_retryTimer;
    QElapsedTimer m_sinceProgress;
    QElapsedTimer m_sinceStart;
    int m_attempts = 0;
    int m_resumes = 0;
    bool m_reported = false;

    Stage m_stage = Stage::Opening;
    bool m_answered = false;
    int m_status = 0;
    ResponseHead m_head;
    std::int64_t m_length = -1; // the first response's Content-Length, -1 when none
    QByteArray m_validator;     // ETag, else Last-Modified; empty: no resume
    std::int64_t m_received = 0; // where the body stands, kept bytes included
    std::int64_t m_startsAt = 0;

    Verdict m_verdict = Verdict::None;
    std::optional<Error> m_refusal; // why the head check refused the attempt
    std::optional<std::chrono::milliseconds> m_retryAfter;
    std::int64_t m_attemptBytes = 0;
    int m_failedAttempts = 0;

    QByteArray m_buffer;                     // whole
    std::unique_ptr<ByteRingPool::Loan> m_ring; // stream
    std::optional<Error> m_failure;

    // Before its turn: how its last attempt ended, and the early bytes it holds.
    std::optional<CURLcode> m_endBeforeTurn;
    std::int64_t m_heldEarly = 0;
    bool m_putOff = false; // asked again in its turn
};

} // namespace platform

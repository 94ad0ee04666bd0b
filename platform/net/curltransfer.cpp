#include "curltransfer.h"

#include "retrypolicy.h"

#include <QDateTime>
#include <QRandomGenerator>

#include <ctime>
#include <utility>

namespace platform {

using std::chrono::milliseconds;

CurlTransfer::CurlTransfer(CurlMulti &multi, QByteArray url, Options options)
    : m_multi(multi), m_url(std::move(url)), m_options(std::move(options)),
      m_length(m_options.kept.length), m_validator(m_options.kept.validator), m_received(m_options.kept.from),
      m_startsAt(m_options.kept.from)
{
    if (!m_options.wholeBody)
        m_ring = m_multi.streamBuffers().borrow(m_options.bufferSize);
    m_retryTimer.setSingleShot(true);
    QObject::connect(&m_retryTimer, &QTimer::timeout, &m_multi, [this] {
        if (m_options.settings.observer)
            m_options.settings.observer->retryStarted(m_options.subject);
        startAttempt();
    });
    m_sinceProgress.start();
    m_sinceStart.start();
    startAttempt();
}

CurlTransfer::~CurlTransfer()
{
    // One sent ahead and dropped before its turn was never the owner's request.
    if (m_options.earlyBodies) {
        m_options.earlyBodies->stopWaiting(this);
        m_options.earlyBodies->giveBack(m_heldEarly);
        return;
    }
    // Its owner let it go before its end (a stop, a body that was enough).
    if (!m_reported)
        report(false);
}

void CurlTransfer::takeTurn()
{
    EarlyBodies *early = std::exchange(m_options.earlyBodies, nullptr);
    if (!early)
        return;
    early->stopWaiting(this);
    early->giveBack(std::exchange(m_heldEarly, 0));
    // The retry window counts from now, as for a request sent now.
    m_sinceProgress.restart();
    if (std::exchange(m_putOff, false)) {
        m_endBeforeTurn.reset();
        m_attempts = 0;
        startAttempt();
    } else if (const std::optional<CURLcode> end = std::exchange(m_endBeforeTurn, std::nullopt))
        attemptFinished(*end);
    else if (m_attempt)
        m_attempt->resume();
}

void CurlTransfer::startAttempt()
{
    QList<QByteArray> headers;
    if (m_options.cacheUse == CacheUse::Revalidate)
        headers << "Cache-Control: no-cache" << "Pragma: no-cache";
    if (m_answered || m_startsAt > 0) {
        headers.append("Range: bytes=" + QByteArray::number(m_received) + '-');
        headers.append("If-Range: " + m_validator);
        ++m_resumes;
    }
    ++m_attempts;
    m_verdict = Verdict::None;
    m_refusal.reset();
    m_retryAfter.reset();
    m_attemptBytes = 0;
    m_attempt = std::make_unique<CurlAttempt>(
        m_multi, m_url, m_options.settings, headers, [this](const ResponseHead &head) { return checkHead(head); },
        [this](const char *data, qsizetype size) { return takeBody(data, size); },
        [this](CURLcode code) { attemptFinished(code); }, CurlAttempt::BodyEnd::Framing, m_options.request);
    // An attempt curl does not start would never end: the transfer ends now,
    // and is reported as every other.
    if (m_attempt->unstarted()) {
        const Error refused = *m_attempt->unstarted();
        m_attempt.reset();
        fail(refused);
        return;
    }
    m_attempt->limitBody(roomLeft());
}

void CurlTransfer::limitBody(BodyLimit limit)
{
    m_limit = std::move(limit);
    if (m_attempt)
        m_attempt->limitBody(roomLeft());
}

std::int64_t CurlTransfer::roomLeft() const
{
    return std::max<std::int64_t>(0, m_limit.bytes - m_received);
}

bool CurlTransfer::checkHead(const ResponseHead &head)
{
    // curl keeps in memory what a paused HTTP/2 stream goes on receiving: a
    // body beyond the ring is not taken before its turn, and asked for then.
    if (m_options.earlyBodies && m_ring && head.version.startsWith("HTTP/2")
        && head.contentLength().value_or(0) > (*m_ring)->capacity()) {
        m_putOff = true;
        return false;
    }
    if (isRetryableStatus(head.status)) {
        m_verdict = Verdict::Retry;
        if (!m_answered)
            m_status = head.status;
        m_refusal = Error(Error::Code::HttpStatus, {}, QString::number(head.status));
        if (const auto after = head.header("retry-after"))
            m_retryAfter = retryAfterOf(*after, std::time(nullptr));
        return false;
    }
    const bool accepted = m_answered ? checkResumedHead(head) : checkFirstHead(head);
    m_verdict = accepted ? Verdict::Accepted : Verdict::Failed;
    if (accepted)
        m_sinceProgress.restart();
    return accepted;
}

bool CurlTransfer::checkFirstHead(const ResponseHead &head)
{
    m_status = head.status;
    // Kept bytes go on only with the rest of their version; a 200 is the
    // whole body again.
    const bool continues = m_startsAt > 0 && head.status == 206;
    if (continues && !checkResumedHead(head))
        return false;
    const bool answers = continues || m_options.anyStatusAnswers || head.status == 200;
    if (!answers) {
        // 204, 205, a 206 that nobody asked for and every other status: no file.
        m_refusal = Error(Error::Code::HttpStatus, {}, QString::number(head.status));
        return false;
    }
    const std::optional<QByteArray> length = head.header("content-length");
    if (length && !head.contentLength()) {
        m_refusal = Error(Error::Code::BadResponse, {}, QStringLiteral("Content-Length: ") + QString::fromLatin1(*length));
        return false;
    }
    // A streamed body (a file, the manifest) must say where it ends; a whole
    // body is a small text within its bound.
    if (!m_options.wholeBody && head.closeDelimited()) {
        m_refusal = Error(Error::Code::BadResponse, {}, QStringLiteral("没有 Content-Length，也不是分块传输"));
        return false;
    }
    m_head = head;
    m_answered = true;
    if (!continues) {
        m_startsAt = 0;
        m_received = 0;
        m_length = head.contentLength().value_or(-1);
        const QByteArray etag = head.header("etag").value_or(QByteArray());
        // If-Range needs a strong validator.
        m_validator =
            !etag.isEmpty() && !etag.startsWith("W/") ? etag : head.header("last-modified").value_or(QByteArray());
    }
    m_stage = Stage::Open;
    return true;
}

QByteArray CurlTransfer::lastingValidator() const
{
    if (m_validator.isEmpty() || m_validator == m_head.header("etag"))
        return m_validator;
    // A date is strong only when the server answered a second or more after
    // it: within the same second the file may have changed again.
    const auto dateOf = [&](const QByteArray &name) {
        return QDateTime::fromString(QString::fromLatin1(m_head.header(name).value_or(QByteArray())), Qt::RFC2822Date);
    };
    const QDateTime modified = dateOf("last-modified");
    const QDateTime answered = dateOf("date");
    return modified.isValid() && answered.isValid() && modified.secsTo(answered) >= 1 ? m_validator : QByteArray();
}

bool CurlTransfer::checkResumedHead(const ResponseHead &head)
{
    // Only the rest of the same version, exactly where it broke off: never
    // two versions spliced, never bytes twice.
    const auto range = head.status == 206 ? contentRangeOf(head.header("content-range").value_or(QByteArray()))
                                          : std::nullopt;
    if (range && range->first == m_received && range->total == m_length && range->last == m_length - 1)
        return true;
    // A 200 here means the file changed or the server does not resume.
    m_refusal = Error(Error::Code::BadResponse, {},
                      head.status == 206 ? QStringLiteral("续传的范围不符")
                                         : QStringLiteral("未能续传 (状态 %1)").arg(head.status));
    return false;
}

CurlAttempt::Take CurlTransfer::takeBody(const char *data, qsizetype size)
{
    // A full ring waits for the turn; early bytes beyond their memory, for room.
    if (EarlyBodies *early = m_options.earlyBodies; early && !(m_ring && size > (*m_ring)->space())) {
        if (!early->take(size)) {
            early->waitForRoom(this, [this] {
                if (m_attempt)
                    m_attempt->resume();
            });
            return CurlAttempt::Take::Full;
        }
        m_heldEarly += size;
    }
    if (m_options.wholeBody) {
        m_buffer.append(data, size);
    } else {
        if (size > (*m_ring)->space())
            return CurlAttempt::Take::Full;
        (*m_ring)->write(data, size);
    }
    m_received += size;
    m_attemptBytes += size;
    return CurlAttempt::Take::Taken;
}

qsizetype CurlTransfer::read(char *data, qsizetype size)
{
    const qsizetype n = (*m_ring)->read(data, size);
    if (m_attempt && m_attempt->paused() && available() <= m_options.bufferSize / 2)
        m_attempt->resume();
    return n;
}

void CurlTransfer::attemptFinished(CURLcode code)
{
    if (m_options.earlyBodies) {
        m_endBeforeTurn = code;
        return;
    }
    const std::unique_ptr<CurlAttempt> attempt = std::move(m_attempt);
    if (attempt->overLimit()) {
        fail(Error(Error::Code::TooLarge, {}, m_limit.detail));
        return;
    }
    if (code == CURLE_OK && m_verdict == Verdict::Accepted) {
        m_stage = Stage::Finished;
        report(true);
        return;
    }
    if (m_verdict == Verdict::Failed) {
        fail(*m_refusal);
        return;
    }
    const Error why = m_verdict == Verdict::Retry ? *m_refusal : attempt->errorFor(code);
    if (m_verdict != Verdict::Retry && !ruleOf(code).retryable) {
        fail(why);
        return;
    }
    // An attempt that brought bytes starts the count and the window afresh,
    // also when it ended on the idle limit.
    if (m_attemptBytes > 0) {
        m_failedAttempts = 0;
        m_sinceProgress.restart();
    }
    ++m_failedAttempts;
    if (m_answered && !canResume()) {
        fail(why);
        return;
    }
    // A body that was flowing resumes at once; anything else waits longer each time.
    milliseconds wait = m_attemptBytes > 0 ? milliseconds(0)
                                           : backoff(m_options.settings.limits.firstRetryWait, m_failedAttempts,
                                                     QRandomGenerator::global()->generateDouble());
    if (m_retryAfter)
        wait = std::min(*m_retryAfter, m_options.settings.limits.longestRetryAfter);
    retryLater(why, wait);
}

bool CurlTransfer::canResume() const
{
    return m_options.request.method == "GET" && m_length >= 0 && !m_validator.isEmpty();
}

void CurlTransfer::retryLater(const Error &why, milliseconds wait)
{
    const NetworkLimits &limits = m_options.settings.limits;
    if (m_failedAttempts >= limits.attempts
        || milliseconds(m_sinceProgress.elapsed()) + wait > limits.retryWindow) {
        fail(why);
        return;
    }
    if (m_options.settings.observer)
        m_options.settings.observer->retryWaiting(m_options.subject, why, wait);
    m_retryTimer.start(wait);
}

void CurlTransfer::fail(Error why)
{
    m_stage = Stage::Finished;
    m_failure = Error(why.code(), m_options.subject, why.detail());
    report(true);
}

void CurlTransfer::report(bool finished)
{
    m_reported = true;
    if (!m_options.settings.observer)
        return;
    m_options.settings.observer->transferEnded({m_options.subject, m_status, m_received - m_startsAt,
                                                std::chrono::milliseconds(m_sinceStart.elapsed()), m_attempts,
                                                m_resumes, finished, m_failure});
}

} // namespace platform

#pragma once

#include "platform/text/codepage.h"
#include "curltransfer.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace platform {

// Why a URL did not open.
struct OpenFailure
{
    int httpStatus = 0;          // the final status when the server answered, else 0
    std::optional<Error> error; // why, for the user; none when the URL was not even well-formed
};

// One requested URL whose response has arrived with status 200. Reads wait
// in the event loop; memory stays bounded by the transfer's buffer whatever
// the size of the body. A body that breaks off is resumed underneath where
// the server allows it: the reader sees one continuous body.
class UrlHandle
{
public:
    explicit UrlHandle(std::unique_ptr<CurlTransfer> transfer);
    ~UrlHandle();
    UrlHandle(const UrlHandle &) = delete;
    UrlHandle &operator=(const UrlHandle &) = delete;

    // The HTTP status of the response.
    int status() const;
    // The Content-Length header's text, when the response has one.
    std::optional<QByteArray> contentLength() const;
    // Where the bytes read begin in the whole body: the kept bytes' count
    // when the request asked for their rest and got it, else 0.
    std::int64_t startsAt() const { return m_transfer->startsAt(); }
    // The whole body's length, -1 when unknown.
    std::int64_t length() const { return m_transfer->length(); }
    // The validator that a later request for the rest may name; empty: none.
    QByteArray lastingValidator() const { return m_transfer->lastingValidator(); }

    // Reads up to `size` bytes, waiting until that many are there or the body
    // has ended: n > 0 bytes read, 0 at the end of the body, -1 when the
    // transfer failed for good (see failure()). While it waits before a
    // retry, `waiting` is called about every half second.
    std::int64_t read(char *data, std::int64_t size, const std::function<void()> &waiting = {});

    // Whether the body arrived whole: its framing ended properly.
    bool completed() const { return m_transfer->complete(); }
    // Why the transfer failed, once it has.
    const std::optional<Error> &failure() const { return m_transfer->failure(); }

private:
    std::unique_ptr<CurlTransfer> m_transfer;
};

// A GET already on its way, so that several requests wait out their round
// trips together; open() waits for its answer as openUrl's would.
class PendingUrl
{
public:
    explicit PendingUrl(std::unique_ptr<CurlTransfer> transfer) : m_transfer(std::move(transfer)) {}

    // A body beyond `limit` fails the transfer (see CurlTransfer::limitBody).
    void limitBody(BodyLimit limit)
    {
        if (m_transfer)
            m_transfer->limitBody(std::move(limit));
    }

    // Null, with the reason in `failure`, as openUrl's answer.
    std::unique_ptr<UrlHandle> open(OpenFailure *failure = nullptr);
    // The protocol its response came in; empty until it has come.
    QByteArray version() const { return m_transfer ? m_transfer->version() : QByteArray(); }

private:
    std::unique_ptr<CurlTransfer> m_transfer;
};

// An HTTP session: the user agent, limits and trusted certificates that its
// requests share.
class HttpSession
{
public:
    HttpSession(CurlMulti &multi, const CodePage &codePage, TransferSettings settings);

    // GET that goes to the server and follows redirects, retried
    // while that is worth it. Null, with the reason in `failure`, when no
    // connection could be made, the server did not answer in time, or the
    // status is not 200.
    // `cacheUse` may let caches answer instead, for a body proven otherwise.
    std::unique_ptr<UrlHandle> openUrl(const QString &url, OpenFailure *failure = nullptr,
                                       CacheUse cacheUse = CacheUse::Revalidate);
    // The same request, sent now and opened later; with `kept`, for the
    // rest of a body whose first bytes are at hand; one sent before its turn
    // holds its early body within `earlyBodies`.
    PendingUrl startUrl(const QString &url, CacheUse cacheUse = CacheUse::Revalidate, const KeptBody &kept = {},
                        EarlyBodies *earlyBodies = nullptr);

private:
    CurlMulti &m_multi;
    const CodePage &m_codePage;
    TransferSettings m_settings;
};

// The one transport of the system: every request of the updater and of the
// publisher's check goes through one client, over its one CurlMulti, with its
// limits and trusted certificates. Connections are reused underneath, across
// sessions and requests.
class HttpClient
{
public:
    // What the updater's sessions and the publisher's probe say they are.
    static constexpr char userAgent[] = "VB Http";

    explicit HttpClient(const CodePage &codePage = CodePage::deployment());
    virtual ~HttpClient();

    // Null when no session can be created.
    virtual std::unique_ptr<HttpSession> openSession(const QByteArray &agent);
    // A GET sent now by a session of the updater's own agent, to be opened
    // later; none when no session can be created.
    std::optional<PendingUrl> startUrl(const QString &url, CacheUse cacheUse = CacheUse::Revalidate);

    void setLimits(NetworkLimits limits) { m_limits = limits; }
    NetworkLimits limits() const { return m_limits; }
    // The certificate authorities (PEM) that HTTPS servers must be signed by,
    // in place of the system's; empty: the system's.
    void setCaCertificates(QByteArray pem) { m_caCertificates = std::move(pem); }
    // Those who hear what every transfer of this client does.
    TransferObservers &observers() { return m_observers; }

    // What a request that says it is `agent` (nothing when empty) carries.
    TransferSettings settings(const QByteArray &agent);
    CurlMulti &multi() { return m_multi; }
    // The code page that URLs are written in.
    const CodePage &codePage() const { return m_codePage; }

private:
    CurlMulti m_multi;
    const CodePage &m_codePage;
    NetworkLimits m_limits;
    QByteArray m_caCertificates;
    TransferObservers m_observers;
};

// The URL of a request in curl's terms (code-page bytes, encoded), or empty
// when it is not an http or https URL.
QByteArray curlUrl(const QString &url, const CodePage &codePage);

// curlUrl for a request made with `settings`: when the URL cannot be sent,
// its observer hears of a request that ended before its first attempt, as
// of every other request tried.
QByteArray sendableUrl(const QString &url, const CodePage &codePage, const TransferSettings &settings);

} // namespace platform

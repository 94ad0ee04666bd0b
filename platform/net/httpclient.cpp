#include "httpclient.h"

#include "requesturl.h"

#include <QTimer>

namespace platform {

QByteArray curlUrl(const QString &url, const CodePage &codePage)
{
    const QUrl target = requestUrl(url, codePage);
    const QString scheme = target.scheme();
    if (!target.isValid() || target.host().isEmpty()
        || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return {};
    return target.toEncoded();
}

QByteArray sendableUrl(const QString &url, const CodePage &codePage, const TransferSettings &settings)
{
    QByteArray target = curlUrl(url, codePage);
    if (target.isEmpty() && settings.observer) {
        TransferReport unsent;
        unsent.url = url;
        unsent.finished = true;
        unsent.failure = Error(Error::Code::InvalidArgument, url, QStringLiteral("not an http or https URL"));
        settings.observer->transferEnded(unsent);
    }
    return target;
}

UrlHandle::UrlHandle(std::unique_ptr<CurlTransfer> transfer) : m_transfer(std::move(transfer)) {}

UrlHandle::~UrlHandle() = default;

int UrlHandle::status() const
{
    return m_transfer->status();
}

std::optional<QByteArray> UrlHandle::contentLength() const
{
    return m_transfer->header("content-length");
}

std::int64_t UrlHandle::read(char *data, std::int64_t size, const std::function<void()> &waiting)
{
    CurlTransfer &transfer = *m_transfer;
    const auto ready = [&] { return transfer.available() >= size || transfer.stage() == CurlTransfer::Stage::Finished; };
    if (!ready()) {
        QTimer tick;
        if (waiting) {
            QObject::connect(&tick, &QTimer::timeout, [&] {
                if (transfer.waitingToRetry())
                    waiting();
            });
            tick.start(std::chrono::milliseconds(500));
        }
        // curl's limits and the transfer's retry window bound this wait.
        waitForEvents(ready);
    }
    const qsizetype n = transfer.read(data, qsizetype(size));
    if (n > 0)
        return n;
    return transfer.complete() ? 0 : -1;
}

HttpSession::HttpSession(CurlMulti &multi, const CodePage &codePage, TransferSettings settings)
    : m_multi(multi), m_codePage(codePage), m_settings(std::move(settings))
{
}

std::unique_ptr<UrlHandle> HttpSession::openUrl(const QString &url, OpenFailure *failure, CacheUse cacheUse)
{
    return startUrl(url, cacheUse).open(failure);
}

PendingUrl HttpSession::startUrl(const QString &url, CacheUse cacheUse, const KeptBody &kept,
                                 EarlyBodies *earlyBodies)
{
    const QByteArray target = sendableUrl(url, m_codePage, m_settings);
    if (target.isEmpty())
        return PendingUrl(nullptr);
    CurlTransfer::Options options{m_settings, url};
    options.cacheUse = cacheUse;
    options.kept = kept;
    options.earlyBodies = earlyBodies;
    return PendingUrl(std::make_unique<CurlTransfer>(m_multi, target, std::move(options)));
}

std::unique_ptr<UrlHandle> PendingUrl::open(OpenFailure *failure)
{
    OpenFailure ignored;
    OpenFailure &why = failure ? *failure : ignored;
    why = {};
    if (!m_transfer)
        return nullptr;
    m_transfer->takeTurn();
    waitForEvents([&] { return m_transfer->stage() != CurlTransfer::Stage::Opening; });
    why.httpStatus = m_transfer->status();
    if (!m_transfer->answered()) {
        why.error = m_transfer->failure();
        return nullptr;
    }
    return std::make_unique<UrlHandle>(std::move(m_transfer));
}

HttpClient::HttpClient(const CodePage &codePage) : m_codePage(codePage) {}

HttpClient::~HttpClient() = default;

std::unique_ptr<HttpSession> HttpClient::openSession(const QByteArray &agent)
{
    return std::make_unique<HttpSession>(m_multi, m_codePage, settings(agent));
}

std::optional<PendingUrl> HttpClient::startUrl(const QString &url, CacheUse cacheUse)
{
    const std::unique_ptr<HttpSession> session = openSession(userAgent);
    if (!session)
        return std::nullopt;
    return session->startUrl(url, cacheUse);
}

TransferSettings HttpClient::settings(const QByteArray &agent)
{
    return {agent, m_limits, m_caCertificates, &m_observers};
}

} // namespace platform

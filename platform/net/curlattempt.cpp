#include "curlattempt.h"

#include "retrypolicy.h"

#include <QHostAddress>
#include <QNetworkProxyFactory>
#include <QUrl>

#include <algorithm>

namespace platform {

namespace {

// Statuses curl follows when a Location comes with them.
bool isFollowedRedirect(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The system's proxy for `url` in curl's notation; empty: none, also never
// one for a loopback address.
QByteArray proxyFor(const QUrl &url)
{
    const QString host = url.host();
    if (host == QLatin1String("localhost") || QHostAddress(host).isLoopback())
        return {};
    const QList<QNetworkProxy> proxies = QNetworkProxyFactory::systemProxyForQuery(QNetworkProxyQuery(url));
    for (const QNetworkProxy &proxy : proxies) {
        QByteArray scheme;
        if (proxy.type() == QNetworkProxy::HttpProxy)
            scheme = "http";
        else if (proxy.type() == QNetworkProxy::Socks5Proxy)
            scheme = "socks5h";
        else
            continue;
        QUrl address;
        address.setScheme(QString::fromLatin1(scheme));
        address.setHost(proxy.hostName());
        address.setPort(proxy.port());
        address.setUserName(proxy.user());
        address.setPassword(proxy.password());
        return address.toEncoded();
    }
    return {};
}

} // namespace

std::optional<std::int64_t> decimalCount(const QByteArray &text)
{
    if (text.isEmpty() || text.size() > 18)
        return std::nullopt;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
    }
    return text.toLongLong();
}

std::optional<QByteArray> ResponseHead::header(const QByteArray &name) const
{
    const auto it = headers.find(name);
    if (it == headers.end())
        return std::nullopt;
    return *it;
}

std::optional<std::int64_t> ResponseHead::contentLength() const
{
    const std::optional<QByteArray> length = header("content-length");
    return length ? decimalCount(*length) : std::nullopt;
}

bool ResponseHead::chunked() const
{
    return header("transfer-encoding").value_or(QByteArray()).toLower().contains("chunked");
}

bool ResponseHead::closeDelimited() const
{
    const bool hasBody = status >= 200 && status != 204 && status != 304;
    return hasBody && version.startsWith("HTTP/1") && !headers.contains("content-length") && !chunked();
}

CurlAttempt::CurlAttempt(CurlMulti &multi, const QByteArray &url, const TransferSettings &settings,
                         const QList<QByteArray> &headers, HeadCheck checkHead, BodySink takeBody,
                         CurlMulti::Finished finished, BodyEnd bodyEnd, const OutgoingRequest &request)
    : m_multi(multi), m_easy(curl_easy_init()), m_checkHead(std::move(checkHead)), m_takeBody(std::move(takeBody)),
      m_idleSeconds(std::max<qint64>(1, (settings.limits.idle.count() + 999) / 1000))
{
    const NetworkLimits &limits = settings.limits;
    const bool secure = url.startsWith("https:");
    curl_easy_setopt(m_easy, CURLOPT_URL, url.constData());
    curl_easy_setopt(m_easy, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(m_easy, CURLOPT_PROTOCOLS_STR, "http,https");
    // Never from https down to plain http.
    curl_easy_setopt(m_easy, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
    curl_easy_setopt(m_easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(m_easy, CURLOPT_MAXREDIRS, 20L);
    curl_easy_setopt(m_easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(m_easy, CURLOPT_CONNECTTIMEOUT_MS, long(limits.connect.count()));
    curl_easy_setopt(m_easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(m_easy, CURLOPT_LOW_SPEED_TIME, long(m_idleSeconds));
    curl_easy_setopt(m_easy, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(m_easy, CURLOPT_BUFFERSIZE, 128L * 1024);
    // HTTP/2 only where TLS lets the server offer it; there a request waits
    // for a connection under way that may carry it rather than open another.
    curl_easy_setopt(m_easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_2TLS));
    curl_easy_setopt(m_easy, CURLOPT_PIPEWAIT, long(secure));
    // The bytes the server stores: no Accept-Encoding, nothing decoded.
    curl_easy_setopt(m_easy, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    curl_easy_setopt(m_easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    if (!settings.userAgent.isEmpty())
        curl_easy_setopt(m_easy, CURLOPT_USERAGENT, settings.userAgent.constData());
    if (!settings.caCertificates.isEmpty()) {
        curl_blob blob{const_cast<char *>(settings.caCertificates.constData()),
                       size_t(settings.caCertificates.size()), CURL_BLOB_COPY};
        curl_easy_setopt(m_easy, CURLOPT_CAINFO_BLOB, &blob);
        curl_easy_setopt(m_easy, CURLOPT_CAPATH, nullptr);
    }
    // Set even when empty, so that curl reads no proxy of its own.
    const QByteArray proxy = proxyFor(QUrl::fromEncoded(url));
    curl_easy_setopt(m_easy, CURLOPT_PROXY, proxy.constData());
    if (bodyEnd == BodyEnd::ConnectionClose) {
        curl_easy_setopt(m_easy, CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
        m_headers = curl_slist_append(m_headers, "Connection: close");
    }
    for (const QByteArray &header : headers + request.headers)
        m_headers = curl_slist_append(m_headers, header.constData());
    curl_easy_setopt(m_easy, CURLOPT_HTTPHEADER, m_headers);
    curl_easy_setopt(m_easy, CURLOPT_HEADERFUNCTION, &CurlAttempt::onHeader);
    curl_easy_setopt(m_easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(m_easy, CURLOPT_WRITEFUNCTION, &CurlAttempt::onBody);
    curl_easy_setopt(m_easy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(m_easy, CURLOPT_ERRORBUFFER, m_error);
    setUpRequest(request);
    if (const CURLMcode refused = m_multi.add(m_easy, std::move(finished)); refused != CURLM_OK)
        m_unstarted = Error(ruleOf(CURLE_FAILED_INIT).error, {}, QString::fromUtf8(curl_multi_strerror(refused)));
}

void CurlAttempt::setUpRequest(const OutgoingRequest &request)
{
    if (request.method == "HEAD")
        curl_easy_setopt(m_easy, CURLOPT_NOBODY, 1L);
    else if (request.method == "DELETE")
        curl_easy_setopt(m_easy, CURLOPT_CUSTOMREQUEST, "DELETE");
    if (request.method == "PUT") {
        std::int64_t size = request.body.size();
        if (request.bodyFile.isEmpty()) {
            m_body = request.body;
        } else {
            m_bodyFile = std::make_unique<QFile>(request.bodyFile);
            size = m_bodyFile->open(QIODevice::ReadOnly) ? m_bodyFile->size() : 0;
        }
        curl_easy_setopt(m_easy, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(m_easy, CURLOPT_INFILESIZE_LARGE, curl_off_t(size));
        curl_easy_setopt(m_easy, CURLOPT_READFUNCTION, &CurlAttempt::onSend);
        curl_easy_setopt(m_easy, CURLOPT_READDATA, this);
        curl_easy_setopt(m_easy, CURLOPT_SEEKFUNCTION, &CurlAttempt::onSeek);
        curl_easy_setopt(m_easy, CURLOPT_SEEKDATA, this);
    }
    if (!request.awsSigV4.isEmpty()) {
        curl_easy_setopt(m_easy, CURLOPT_AWS_SIGV4, request.awsSigV4.constData());
        curl_easy_setopt(m_easy, CURLOPT_USERPWD, request.credentials.constData());
    }
    // A store's redirect names another region or host: the signature would
    // not hold there, and a body is never sent twice.
    if (request.method != "GET" || !request.awsSigV4.isEmpty())
        curl_easy_setopt(m_easy, CURLOPT_FOLLOWLOCATION, 0L);
}

size_t CurlAttempt::onSend(char *data, size_t size, size_t count, void *self)
{
    auto *attempt = static_cast<CurlAttempt *>(self);
    const qsizetype room = qsizetype(size * count);
    if (attempt->m_bodyFile) {
        const qint64 n = attempt->m_bodyFile->isOpen() ? attempt->m_bodyFile->read(data, room) : -1;
        return n < 0 ? CURL_READFUNC_ABORT : size_t(n);
    }
    const qsizetype n = std::min(room, attempt->m_body.size() - attempt->m_sent);
    std::copy_n(attempt->m_body.constData() + attempt->m_sent, n, data);
    attempt->m_sent += n;
    return size_t(n);
}

int CurlAttempt::onSeek(void *self, curl_off_t offset, int origin)
{
    auto *attempt = static_cast<CurlAttempt *>(self);
    if (origin != SEEK_SET)
        return CURL_SEEKFUNC_CANTSEEK;
    if (attempt->m_bodyFile)
        return attempt->m_bodyFile->seek(offset) ? CURL_SEEKFUNC_OK : CURL_SEEKFUNC_FAIL;
    if (offset > attempt->m_body.size())
        return CURL_SEEKFUNC_FAIL;
    attempt->m_sent = qsizetype(offset);
    return CURL_SEEKFUNC_OK;
}

CurlAttempt::~CurlAttempt()
{
    m_multi.remove(m_easy);
    curl_easy_cleanup(m_easy);
    curl_slist_free_all(m_headers);
}

void CurlAttempt::resume()
{
    if (!m_paused)
        return;
    m_paused = false;
    curl_easy_pause(m_easy, CURLPAUSE_CONT);
}

Error CurlAttempt::errorFor(CURLcode code) const
{
    QString curlText = QString::fromUtf8(m_error).trimmed();
    if (curlText.isEmpty())
        curlText = QString::fromUtf8(curl_easy_strerror(code));
    // The idle limit ends a body that trickles as it ends one that stopped:
    // bytes that came within its time say the server was sending, too slowly.
    const bool trickled = m_sinceBody.isValid() && m_sinceBody.elapsed() < m_idleSeconds * 1000;
    const Error::Code error = code == CURLE_OPERATION_TIMEDOUT && trickled ? Error::Code::TooSlow : ruleOf(code).error;
    return Error(error, {}, curlText);
}

size_t CurlAttempt::onHeader(char *data, size_t size, size_t count, void *self)
{
    return static_cast<CurlAttempt *>(self)->headLine(QByteArrayView(data, qsizetype(size * count))) ? size * count
                                                                                                     : 0;
}

bool CurlAttempt::headLine(QByteArrayView line)
{
    const QByteArray text = line.toByteArray().trimmed();
    if (m_finalHead)
        return true;
    if (text.startsWith("HTTP/")) {
        m_head = {};
        const QList<QByteArray> statusLine = text.split(' ');
        m_head.version = statusLine.value(0);
        m_head.status = statusLine.value(1).toInt();
        return true;
    }
    if (!text.isEmpty()) {
        const qsizetype colon = text.indexOf(':');
        if (colon <= 0)
            return true;
        const QByteArray name = text.left(colon).trimmed().toLower();
        QByteArray value = text.mid(colon + 1).trimmed();
        const auto earlier = m_head.headers.constFind(name);
        if (name == "content-length" && earlier != m_head.headers.constEnd() && *earlier != value)
            value = *earlier + ", " + value;
        m_head.headers.insert(name, value);
        return true;
    }
    // The end of a head: an interim one, one that curl follows, or the final one.
    if (m_head.status < 200 || (isFollowedRedirect(m_head.status) && m_head.headers.contains("location")))
        return true;
    m_finalHead = true;
    return m_checkHead(m_head);
}

size_t CurlAttempt::onBody(char *data, size_t size, size_t count, void *self)
{
    auto *attempt = static_cast<CurlAttempt *>(self);
    const qsizetype n = qsizetype(size * count);
    const qsizetype room = qsizetype(std::min<std::int64_t>(n, attempt->m_room));
    if (n > 0)
        attempt->m_sinceBody.restart();
    if (room > 0) {
        if (attempt->m_takeBody(data, room) == Take::Full) {
            // curl hands the same bytes again once resumed.
            attempt->m_paused = true;
            return CURL_WRITEFUNC_PAUSE;
        }
        attempt->m_room -= room;
    }
    if (room == n)
        return size * count;
    attempt->m_overLimit = true;
    return 0;
}

} // namespace platform

#include "s3store.h"

#include "platform/core/error.h"
#include "platform/net/curltransfer.h"
#include "release/sha256.h"

#include <QCoreApplication>
#include <QXmlStreamReader>

using platform::Error;

namespace publish {

namespace {

// Where the uploader records an object's SHA-256: user metadata comes back
// with every HEAD.
constexpr char digestHeader[] = "x-amz-meta-sha256";

// The store's error code in its XML answer ("AccessDenied"), else its status.
QString storeCode(int status, const QByteArray &body)
{
    QXmlStreamReader xml(body);
    while (xml.readNextStartElement()) {
        if (xml.name() == QLatin1String("Code"))
            return xml.readElementText();
        if (xml.name() != QLatin1String("Error"))
            xml.skipCurrentElement();
    }
    return QStringLiteral("HTTP status %1").arg(status);
}

} // namespace

S3Store::S3Store(S3Location location, S3Credentials credentials)
    : m_location(std::move(location)), m_credentials(std::move(credentials))
{
}

platform::OutgoingRequest S3Store::signedRequest(const QByteArray &method, const QByteArray &bodySha256) const
{
    platform::OutgoingRequest request;
    request.method = method;
    request.awsSigV4 = "aws:amz:" + m_location.region.toLatin1() + ":s3";
    request.credentials = m_credentials.accessKey + ':' + m_credentials.secretKey;
    // curl signs the payload hash it is given; the store checks the body against it.
    request.headers.append("x-amz-content-sha256: "
                           + (bodySha256.isEmpty() ? release::Sha256::hexOf({}) : bodySha256));
    if (!m_credentials.sessionToken.isEmpty())
        request.headers.append("x-amz-security-token: " + m_credentials.sessionToken);
    return request;
}

Error S3Store::refusal(const QString &subject, const Answer &answer)
{
    const QString code = storeCode(answer.status, answer.body);
    if (answer.status == 401 || answer.status == 403)
        return Error(Error::Code::PermissionDenied, subject, QStringLiteral("the store refused the request: ") + code);
    return Error(Error::Code::HttpStatus, subject,
                 QStringLiteral("the store answered HTTP status %1: %2").arg(answer.status).arg(code));
}

S3Store::Answer S3Store::send(const QByteArray &url, const QString &subject, platform::OutgoingRequest request,
                              std::int64_t limit)
{
    platform::CurlTransfer::Options options{m_client.settings("updater-publish/" + QCoreApplication::applicationVersion().toLatin1()),
                                            subject};
    options.anyStatusAnswers = true;
    options.wholeBody = true;
    // The object's own Cache-Control is the one a PUT sends.
    options.cacheUse = platform::CacheUse::AllowCached;
    options.request = std::move(request);
    platform::CurlTransfer transfer(m_client.multi(), url, std::move(options));
    transfer.limitBody({limit, QStringLiteral("a store's answer over %1 KiB").arg(limit / 1024)});
    platform::waitForEvents([&] { return transfer.stage() == platform::CurlTransfer::Stage::Finished; });
    if (!transfer.complete())
        throw *transfer.failure();
    return {transfer.status(), transfer.peekAll(), transfer.header("content-length"), transfer.header(digestHeader)};
}

QHash<QByteArray, std::int64_t> S3Store::list()
{
    QHash<QByteArray, std::int64_t> objects;
    QByteArray continuation;
    do {
        const Answer answer = send(m_location.listUrl(continuation), m_location.shown(), signedRequest("GET"), 16 << 20);
        if (answer.status != 200)
            throw refusal(m_location.shown(), answer);
        continuation.clear();
        QXmlStreamReader xml(answer.body);
        QByteArray key;
        while (!xml.atEnd()) {
            xml.readNext();
            if (!xml.isStartElement())
                continue;
            // URL-encoded; AWS writes a blank as '+' (and '+' as %2B).
            if (xml.name() == QLatin1String("Key"))
                key = QByteArray::fromPercentEncoding(xml.readElementText().toLatin1().replace('+', ' '));
            else if (xml.name() == QLatin1String("Size") && !m_location.sitePath(key).isEmpty())
                objects.insert(m_location.sitePath(key), xml.readElementText().toLongLong());
            else if (xml.name() == QLatin1String("NextContinuationToken"))
                continuation = xml.readElementText().toUtf8();
        }
        if (xml.hasError())
            throw Error(Error::Code::BadResponse, m_location.shown(),
                        QStringLiteral("the store's listing is no XML: ") + xml.errorString());
    } while (!continuation.isEmpty());
    return objects;
}

std::optional<S3Store::Object> S3Store::head(const QByteArray &sitePath)
{
    const QString subject = QString::fromUtf8(sitePath);
    const Answer answer = send(m_location.objectUrl(sitePath), subject, signedRequest("HEAD"));
    if (answer.status == 404)
        return std::nullopt;
    if (answer.status != 200)
        throw refusal(subject, answer);
    return Object{answer.contentLength.value_or("0").toLongLong(), answer.sha256.value_or(QByteArray())};
}

std::optional<QByteArray> S3Store::get(const QByteArray &sitePath, std::int64_t limit)
{
    const QString subject = QString::fromUtf8(sitePath);
    const Answer answer = send(m_location.objectUrl(sitePath), subject, signedRequest("GET"), limit);
    if (answer.status == 404)
        return std::nullopt;
    if (answer.status != 200)
        throw refusal(subject, answer);
    return answer.body;
}

QByteArray S3Store::digestOf(const QByteArray &sitePath)
{
    const QString subject = QString::fromUtf8(sitePath);
    platform::CurlTransfer::Options options{m_client.settings({}), subject};
    options.request = signedRequest("GET");
    options.cacheUse = platform::CacheUse::AllowCached;
    platform::PendingUrl pending(
        std::make_unique<platform::CurlTransfer>(m_client.multi(), m_location.objectUrl(sitePath), std::move(options)));
    platform::OpenFailure why;
    const std::unique_ptr<platform::UrlHandle> handle = pending.open(&why);
    if (!handle)
        throw why.error.value_or(Error(Error::Code::HttpStatus, subject, QString::number(why.httpStatus)));
    release::Sha256 sha256;
    QByteArray block(256 * 1024, Qt::Uninitialized);
    std::int64_t n = 0;
    while ((n = handle->read(block.data(), block.size())) > 0)
        sha256.addData(QByteArrayView(block.constData(), n));
    if (n < 0)
        throw *handle->failure();
    return sha256.hexResult();
}

bool S3Store::put(const QByteArray &sitePath, const QString &source, const QByteArray &bytes,
                  const QByteArray &sha256, const ObjectMetadata &metadata, bool onlyIfAbsent)
{
    const QString subject = QString::fromUtf8(sitePath);
    platform::OutgoingRequest request = signedRequest("PUT", sha256);
    request.bodyFile = source;
    request.body = bytes;
    request.headers << "Content-Type: " + metadata.contentType << "Cache-Control: " + metadata.cacheControl
                    << QByteArray(digestHeader) + ": " + sha256;
    if (onlyIfAbsent)
        request.headers.append("If-None-Match: *");
    const Answer answer = send(m_location.objectUrl(sitePath), subject, std::move(request));
    if (answer.status == 412 && onlyIfAbsent)
        return false;
    if (answer.status != 200)
        throw refusal(subject, answer);
    return true;
}

void S3Store::remove(const QByteArray &sitePath)
{
    const QString subject = QString::fromUtf8(sitePath);
    const Answer answer = send(m_location.objectUrl(sitePath), subject, signedRequest("DELETE"));
    if (answer.status != 204 && answer.status != 200 && answer.status != 404)
        throw refusal(subject, answer);
}

} // namespace publish

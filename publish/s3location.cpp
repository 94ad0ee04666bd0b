#include "s3location.h"

#include "platform/core/error.h"

#include <QRegularExpression>
#include <QUrl>

using platform::Error;

namespace publish {

QByteArray s3Encoded(const QByteArray &bytes, bool keepSlash)
{
    // Qt keeps exactly the unreserved characters and writes upper-case hex, as S3 wants.
    return bytes.toPercentEncoding(keepSlash ? QByteArray("/") : QByteArray());
}

S3Location S3Location::parse(const QString &to, const QString &endpoint, const QString &region)
{
    const auto refuse = [&](const QString &why) { return Error(Error::Code::InvalidArgument, to, why); };
    if (!to.startsWith(QLatin1String("s3://")))
        throw refuse(QStringLiteral("expected s3://BUCKET[/PREFIX]"));
    S3Location location;
    location.region = region.isEmpty() ? QStringLiteral("us-east-1") : region;
    const QString rest = to.mid(5);
    const qsizetype slash = rest.indexOf(QLatin1Char('/'));
    location.bucket = slash < 0 ? rest : rest.left(slash);
    // DNS-style names: what every store accepts and a URL path carries as is.
    static const QRegularExpression bucketName(QStringLiteral("^[a-z0-9][a-z0-9.-]{1,61}[a-z0-9]$"));
    if (!bucketName.match(location.bucket).hasMatch())
        throw refuse(QStringLiteral("a bucket name has 3 to 63 lower-case letters, digits, '.' and '-'"));
    QString prefix = slash < 0 ? QString() : rest.mid(slash + 1);
    while (prefix.endsWith(QLatin1Char('/')))
        prefix.chop(1);
    location.prefix = prefix.toUtf8();
    if (location.prefix.startsWith('/') || location.prefix.contains("//"))
        throw refuse(QStringLiteral("the prefix has an empty folder name"));
    location.endpoint = endpoint.isEmpty() ? QStringLiteral("https://s3.%1.amazonaws.com").arg(location.region) : endpoint;
    while (location.endpoint.endsWith(QLatin1Char('/')))
        location.endpoint.chop(1);
    const QUrl url(location.endpoint);
    if (!url.isValid() || url.host().isEmpty() || !(url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"))
        || !url.path().isEmpty())
        throw Error(Error::Code::InvalidArgument, endpoint, QStringLiteral("expected an http(s)://host[:port] endpoint"));
    return location;
}

QByteArray S3Location::key(const QByteArray &sitePath) const
{
    return prefix.isEmpty() ? sitePath : prefix + '/' + sitePath;
}

QByteArray S3Location::objectUrl(const QByteArray &sitePath) const
{
    return endpoint.toLatin1() + '/' + bucket.toLatin1() + '/' + s3Encoded(key(sitePath), true);
}

QByteArray S3Location::listUrl(const QByteArray &continuation) const
{
    // In the order the signature sorts them, each with its '='.
    QByteArray url = endpoint.toLatin1() + '/' + bucket.toLatin1() + '?';
    if (!continuation.isEmpty())
        url += "continuation-token=" + s3Encoded(continuation, false) + '&';
    url += "encoding-type=url&list-type=2";
    if (!prefix.isEmpty())
        url += "&prefix=" + s3Encoded(prefix + '/', false);
    return url;
}

QByteArray S3Location::sitePath(const QByteArray &key) const
{
    if (prefix.isEmpty())
        return key;
    return key.startsWith(prefix + '/') ? key.sliced(prefix.size() + 1) : QByteArray();
}

QString S3Location::readUrl() const
{
    return endpoint + QLatin1Char('/') + bucket + QLatin1Char('/')
        + QString::fromLatin1(prefix.isEmpty() ? QByteArray() : s3Encoded(prefix, true) + '/');
}

QString S3Location::shown() const
{
    return QStringLiteral("s3://") + bucket + (prefix.isEmpty() ? QString() : QLatin1Char('/') + QString::fromUtf8(prefix));
}

} // namespace publish

#include "httpfetch.h"

#include "release/sha256.h"

#include <QSslSocket>
#include <QTcpSocket>

#include <memory>

namespace {

constexpr qsizetype headerLimit = 64 * 1024;

// The request target: path and query as the URL holds them, encoded.
QByteArray target(const QUrl &url)
{
    QByteArray path = url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment);
    return path.isEmpty() ? QByteArray("/") : path;
}

QByteArray hostHeader(const QUrl &url)
{
    const bool https = url.scheme() == QLatin1String("https");
    QByteArray host = url.host(QUrl::FullyEncoded).toLatin1();
    if (url.port() > 0 && url.port() != (https ? 443 : 80))
        host += ':' + QByteArray::number(url.port());
    return host;
}

// Parses the head; false when it is not an HTTP response.
bool parseHead(const QByteArray &head, HttpFetch &fetch)
{
    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> statusLine = lines.value(0).trimmed().split(' ');
    if (statusLine.size() < 2 || !statusLine[0].startsWith("HTTP/"))
        return false;
    bool ok = false;
    fetch.status = statusLine[1].toInt(&ok);
    if (!ok)
        return false;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "content-length") {
            const qint64 length = value.toLongLong(&ok);
            if (ok && length >= 0)
                fetch.contentLength = length;
        } else if (name == "transfer-encoding" && value.toLower().contains("chunked")) {
            fetch.chunked = true;
        }
    }
    return true;
}

} // namespace

QString HttpFetch::problem() const
{
    if (!failure.isEmpty())
        return failure;
    if (status != 200)
        return QStringLiteral("HTTP status %1").arg(status);
    if (!contentLength)
        return chunked ? QStringLiteral("no Content-Length (chunked transfer); the updater needs the size")
                       : QStringLiteral("no Content-Length; the updater needs the size");
    if (received < *contentLength)
        return QStringLiteral("body shorter than announced (%1 of %2 bytes)").arg(received).arg(*contentLength);
    if (received > *contentLength)
        return QStringLiteral("body longer than announced (%1 bytes, %2 announced)").arg(received).arg(*contentLength);
    return {};
}

HttpFetch httpGet(const QUrl &url, qint64 keepLimit, const std::function<void(qint64)> &progress, int timeoutMs)
{
    HttpFetch fetch;
    const bool https = url.scheme() == QLatin1String("https");
    if (!https && url.scheme() != QLatin1String("http")) {
        fetch.failure = QStringLiteral("not an http(s) URL");
        return fetch;
    }
    std::unique_ptr<QTcpSocket> socket;
    if (https) {
        auto ssl = std::make_unique<QSslSocket>();
        ssl->connectToHostEncrypted(url.host(), quint16(url.port(443)));
        if (!ssl->waitForEncrypted(timeoutMs)) {
            fetch.failure = QStringLiteral("TLS connection failed: %1").arg(ssl->errorString());
            return fetch;
        }
        socket = std::move(ssl);
    } else {
        socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(url.host(), quint16(url.port(80)));
        if (!socket->waitForConnected(timeoutMs)) {
            fetch.failure = QStringLiteral("connection failed: %1").arg(socket->errorString());
            return fetch;
        }
    }
    socket->write("GET " + target(url) + " HTTP/1.1\r\nHost: " + hostHeader(url)
                  + "\r\nUser-Agent: VB Http\r\nAccept-Encoding: identity\r\nConnection: close\r\n\r\n");

    QByteArray head;
    bool headDone = false;
    release::Sha256 sha;
    for (;;) {
        if (socket->bytesAvailable() == 0 && !socket->waitForReadyRead(timeoutMs)) {
            if (socket->state() == QAbstractSocket::ConnectedState) {
                fetch.failure = QStringLiteral("timed out after %1 s without data").arg(timeoutMs / 1000);
                return fetch;
            }
            break; // the server closed the connection
        }
        QByteArray data = socket->readAll();
        if (!headDone) {
            head += data;
            const qsizetype end = head.indexOf("\r\n\r\n");
            if (end < 0) {
                if (head.size() > headerLimit) {
                    fetch.failure = QStringLiteral("response head too long");
                    return fetch;
                }
                continue;
            }
            headDone = true;
            data = head.mid(end + 4);
            if (!parseHead(head.left(end), fetch)) {
                fetch.failure = QStringLiteral("not an HTTP response");
                return fetch;
            }
        }
        fetch.received += data.size();
        sha.addData(data);
        if (fetch.body.size() + data.size() <= keepLimit)
            fetch.body += data;
        if (progress)
            progress(fetch.received);
    }
    if (!headDone) {
        fetch.failure = head.isEmpty() ? QStringLiteral("the server closed the connection without a response")
                                       : QStringLiteral("the response ended inside its head");
        return fetch;
    }
    fetch.sha256 = sha.hexResult();
    if (fetch.received > keepLimit)
        fetch.body.clear();
    return fetch;
}

#include "testserver.h"

#include <QMetaObject>
#include <QMutexLocker>
#include <QPointer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>

namespace {

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 301: return "Moved Permanently";
    case 206: return "Partial Content";
    case 302: return "Found";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

// One connection: reads one request, answers it as its route says.
class Connection : public QObject
{
public:
    Connection(QTcpSocket *socket, TestServer &server) : QObject(socket), m_socket(socket), m_server(server)
    {
        connect(socket, &QTcpSocket::readyRead, this, [this] { onReadyRead(); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::bytesWritten, this, [this] { pump(); });
    }

private:
    void onReadyRead()
    {
        if (m_answered)
            return;
        m_input += m_socket->readAll();
        const qsizetype end = m_input.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        m_answered = true;
        const QList<QByteArray> lines = m_input.left(end).split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        TestServer::Request request;
        request.method = requestLine.value(0);
        request.target = requestLine.value(1);
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon > 0)
                request.headers.insert(lines[i].left(colon).trimmed().toLower(), lines[i].mid(colon + 1).trimmed());
        }
        m_request = request;
        m_server.record(request);
        bool found = false;
        m_route = m_server.routeFor(request.target, &found);
        if (!found) {
            m_route = {};
            m_route.status = 404;
            m_route.body = "<html><body>404 Not Found</body></html>";
        }
        if (m_route.delayMs > 0)
            QTimer::singleShot(m_route.delayMs, this, [this] { respond(); });
        else
            respond();
    }

    void respond()
    {
        using Mode = TestServer::Route::Mode;
        const TestServer::Route &route = m_route;
        if (route.mode == Mode::NoResponse)
            return;
        int status = route.status;
        QByteArray body = route.body;
        QByteArray head;
        qint64 start = 0;
        const QByteArray range = m_request.headers.value("range");
        const QByteArray ifRange = m_request.headers.value("if-range");
        if (status == 200 && !route.ignoreRange && range.startsWith("bytes=") && range.endsWith('-')
            && (ifRange.isEmpty() || ifRange == route.etag || ifRange == route.lastModified)) {
            start = range.mid(6, range.size() - 7).toLongLong() + route.rangeShift;
            status = 206;
            head += "Content-Range: bytes " + QByteArray::number(start) + '-' + QByteArray::number(body.size() - 1) + '/'
                    + QByteArray::number(body.size()) + "\r\n";
            body = body.mid(start);
        }
        if (route.compressWhenAsked && m_request.headers.value("accept-encoding").contains("deflate")) {
            body = qCompress(body).mid(4); // a zlib stream, what HTTP calls deflate
            head += "Content-Encoding: deflate\r\n";
        }
        const auto header = [&head](const char *name, const QByteArray &value) {
            if (!value.isEmpty())
                head += name + QByteArray(": ") + value + "\r\n";
        };
        header("Location", route.location);
        header("ETag", route.etag);
        header("Last-Modified", route.lastModified);
        header("Retry-After", route.retryAfter);
        head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status)
               + (route.excess.isEmpty() ? "\r\nConnection: close" : "")
               + "\r\nContent-Type: application/octet-stream\r\n" + head;

        qint64 cut = -1; // where this response stops, relative to its body
        for (const qint64 at : route.cuts) {
            if (at > start) {
                cut = at - start;
                break;
            }
        }
        if (route.mode == Mode::CutShort || route.mode == Mode::Stall)
            cut = route.sendBytes;
        m_closeWhenDone = route.mode != Mode::Stall && route.excess.isEmpty();
        m_resetWhenDone = route.resetAtCut;

        if (route.mode == Mode::Chunked) {
            QByteArray out = head + "Transfer-Encoding: chunked\r\n\r\n";
            const QByteArray sent = cut >= 0 ? body.left(cut) : body;
            for (qsizetype at = 0; at < sent.size(); at += 700) {
                const QByteArray piece = sent.mid(at, 700);
                out += QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n";
            }
            if (cut < 0)
                out += "0\r\n\r\n";
            m_pending = out;
            pump();
            return;
        }
        if (route.mode == Mode::CloseDelimited || route.mode == Mode::Endless) {
            m_endless = route.mode == Mode::Endless;
            if (!route.contentLength.isEmpty()) // announced, and not kept to
                head += "Content-Length: " + route.contentLength + "\r\n";
            m_pending = head + "\r\n" + (cut >= 0 ? body.left(cut) : body);
            pump();
            return;
        }
        const QByteArray length =
            route.contentLength.isEmpty() ? QByteArray::number(body.size()) : route.contentLength;
        head += "Content-Length: " + length + "\r\n\r\n";
        if (cut >= 0)
            body.truncate(cut);
        if (route.mode == Mode::Throttled) {
            m_socket->write(head);
            m_pending = body;
            m_throttle = new QTimer(this);
            connect(m_throttle, &QTimer::timeout, this, [this] { trickle(); });
            m_throttle->start(route.intervalMs);
            return;
        }
        m_pending = head + body + route.excess;
        pump();
    }

    void trickle()
    {
        m_socket->write(m_pending.left(m_route.chunk));
        m_pending.remove(0, m_route.chunk);
        if (m_pending.isEmpty()) {
            m_throttle->stop();
            finish();
        }
    }

    // Writes in slices so that a large body never sits in the socket's buffer whole.
    void pump()
    {
        if (m_route.mode == TestServer::Route::Mode::Throttled || m_finishing)
            return;
        while (m_socket->bytesToWrite() < 256 * 1024) {
            if (m_endless && m_pending.size() - m_sent < 64 * 1024) {
                m_pending.remove(0, m_sent);
                m_sent = 0;
                m_pending.append(QByteArray(64 * 1024, 'x'));
            }
            const qsizetype slice = std::min<qsizetype>(m_pending.size() - m_sent, 64 * 1024);
            if (slice <= 0) {
                finish();
                break;
            }
            m_socket->write(m_pending.constData() + m_sent, slice);
            m_sent += slice;
        }
    }

    void finish()
    {
        if (!m_closeWhenDone || m_finishing)
            return;
        m_finishing = true;
        if (!m_resetWhenDone) {
            m_socket->disconnectFromHost();
            return;
        }
        // Let what was written reach the peer first, then end with a reset.
        m_socket->flush();
        QTimer::singleShot(50, this, [this] {
            const linger abortive{1, 0};
            setsockopt(int(m_socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
            m_socket->abort();
        });
    }

    QTcpSocket *m_socket;
    TestServer &m_server;
    QByteArray m_input;
    bool m_answered = false;
    TestServer::Route m_route;
    QByteArray m_pending;
    qsizetype m_sent = 0;
    bool m_closeWhenDone = true;
    bool m_resetWhenDone = false;
    bool m_endless = false;
    bool m_finishing = false;
    TestServer::Request m_request;
    QTimer *m_throttle = nullptr;
};

class ServerCore : public QObject
{
public:
    explicit ServerCore(TestServer &server) : m_server(server) {}

    quint16 listen(const std::optional<TestServer::Tls> &tls, quint16 port)
    {
        if (tls) {
            auto *ssl = new QSslServer(this);
            QSslConfiguration config = QSslConfiguration::defaultConfiguration();
            config.setLocalCertificate(QSslCertificate(tls->certificate));
            config.setPrivateKey(QSslKey(tls->key, QSsl::Ec));
            config.setPeerVerifyMode(QSslSocket::VerifyNone);
            ssl->setSslConfiguration(config);
            m_tcp = ssl;
        } else {
            m_tcp = new QTcpServer(this);
        }
        m_tcp->listen(QHostAddress::LocalHost, port);
        // An HTTPS connection is ready once its handshake is done.
        const auto accept = [this] {
            while (QTcpSocket *socket = m_tcp->nextPendingConnection())
                new Connection(socket, m_server);
        };
        connect(m_tcp, &QTcpServer::newConnection, this, accept);
        connect(m_tcp, &QTcpServer::pendingConnectionAvailable, this, accept);
        return m_tcp->serverPort();
    }

private:
    TestServer &m_server;
    QTcpServer *m_tcp = nullptr;
};

} // namespace

TestServer::TestServer(std::optional<Tls> tls, quint16 port) : m_tls(tls.has_value())
{
    auto *core = new ServerCore(*this);
    core->moveToThread(&m_thread);
    QObject::connect(&m_thread, &QThread::finished, core, &QObject::deleteLater);
    m_thread.start();
    QMetaObject::invokeMethod(core, [this, core, &tls, port] { m_port = core->listen(tls, port); }, Qt::BlockingQueuedConnection);
    m_core = core;
}

TestServer::~TestServer()
{
    m_thread.quit();
    m_thread.wait();
}

QString TestServer::url(const QString &path) const
{
    return QStringLiteral("%1://127.0.0.1:%2/").arg(m_tls ? QStringLiteral("https") : QStringLiteral("http")).arg(m_port) + path;
}

void TestServer::setRoute(const QByteArray &target, Route route)
{
    QMutexLocker lock(&m_mutex);
    m_routes.insert(target, std::move(route));
}

void TestServer::setFile(const QByteArray &target, const QByteArray &body, int status)
{
    Route route;
    route.body = body;
    route.status = status;
    setRoute(target, route);
}

void TestServer::removeRoute(const QByteArray &target)
{
    QMutexLocker lock(&m_mutex);
    m_routes.remove(target);
}

QList<TestServer::Request> TestServer::requests() const
{
    QMutexLocker lock(&m_mutex);
    return m_requests;
}

void TestServer::clearRequests()
{
    QMutexLocker lock(&m_mutex);
    m_requests.clear();
}

TestServer::Route TestServer::routeFor(const QByteArray &target, bool *found)
{
    QMutexLocker lock(&m_mutex);
    auto it = m_routes.find(target);
    if (it != m_routes.end() && it->servings == 0 && it->afterwards) {
        const Route next = *it->afterwards;
        *it = next;
    }
    *found = it != m_routes.end() && it->servings != 0;
    if (!*found)
        return {};
    if (it->servings > 0)
        --it->servings;
    return *it;
}

void TestServer::record(Request request)
{
    QMutexLocker lock(&m_mutex);
    m_requests.append(std::move(request));
}

quint16 unusedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

#include "testserver.h"

#include <QMetaObject>
#include <QMutexLocker>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
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
        if (m_route.mode == Mode::NoResponse)
            return;
        QByteArray head = "HTTP/1.1 " + QByteArray::number(m_route.status) + ' ' + reasonPhrase(m_route.status)
                          + "\r\nConnection: close\r\nContent-Type: application/octet-stream\r\n";
        if (!m_route.location.isEmpty())
            head += "Location: " + m_route.location + "\r\n";
        if (m_route.mode == Mode::Chunked) {
            head += "Transfer-Encoding: chunked\r\n\r\n";
            QByteArray out = head;
            for (qsizetype at = 0; at < m_route.body.size(); at += 700) {
                const QByteArray piece = m_route.body.mid(at, 700);
                out += QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n";
            }
            out += "0\r\n\r\n";
            m_pending = out;
            m_closeWhenDone = true;
            pump();
            return;
        }
        const QByteArray length =
            m_route.contentLength.isEmpty() ? QByteArray::number(m_route.body.size()) : m_route.contentLength;
        head += "Content-Length: " + length + "\r\n\r\n";
        QByteArray body = m_route.body;
        if (m_route.mode == Mode::CutShort || m_route.mode == Mode::Stall)
            body.truncate(m_route.sendBytes);
        m_closeWhenDone = m_route.mode != Mode::Stall;
        if (m_route.mode == Mode::Throttled) {
            m_socket->write(head);
            m_pending = body;
            m_throttle = new QTimer(this);
            connect(m_throttle, &QTimer::timeout, this, [this] { trickle(); });
            m_throttle->start(m_route.intervalMs);
            return;
        }
        m_pending = head + body;
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
        if (m_route.mode == TestServer::Route::Mode::Throttled)
            return;
        while (!m_pending.isEmpty() && m_socket->bytesToWrite() < 256 * 1024) {
            const qsizetype slice = std::min<qsizetype>(m_pending.size() - m_sent, 64 * 1024);
            if (slice <= 0)
                break;
            m_socket->write(m_pending.constData() + m_sent, slice);
            m_sent += slice;
            if (m_sent >= m_pending.size()) {
                m_pending.clear();
                m_sent = 0;
                finish();
            }
        }
    }

    void finish()
    {
        if (!m_closeWhenDone)
            return;
        m_socket->disconnectFromHost();
    }

    QTcpSocket *m_socket;
    TestServer &m_server;
    QByteArray m_input;
    bool m_answered = false;
    TestServer::Route m_route;
    QByteArray m_pending;
    qsizetype m_sent = 0;
    bool m_closeWhenDone = true;
    QTimer *m_throttle = nullptr;
};

class ServerCore : public QObject
{
public:
    explicit ServerCore(TestServer &server) : m_server(server) {}

    quint16 listen()
    {
        m_tcp = new QTcpServer(this);
        m_tcp->listen(QHostAddress::LocalHost, 0);
        connect(m_tcp, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_tcp->nextPendingConnection())
                new Connection(socket, m_server);
        });
        return m_tcp->serverPort();
    }

private:
    TestServer &m_server;
    QTcpServer *m_tcp = nullptr;
};

} // namespace

TestServer::TestServer()
{
    auto *core = new ServerCore(*this);
    core->moveToThread(&m_thread);
    QObject::connect(&m_thread, &QThread::finished, core, &QObject::deleteLater);
    m_thread.start();
    QMetaObject::invokeMethod(core, [this, core] { m_port = core->listen(); }, Qt::BlockingQueuedConnection);
    m_core = core;
}

TestServer::~TestServer()
{
    m_thread.quit();
    m_thread.wait();
}

QString TestServer::url(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1/").arg(m_port) + path;
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

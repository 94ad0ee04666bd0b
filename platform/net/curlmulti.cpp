#include "curlmulti.h"

#include <QCoreApplication>

#include <poll.h>
#include <sys/socket.h>

namespace platform {

namespace {

void initialiseCurlOnce()
{
    static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
    Q_UNUSED(initialised);
}

// An HTTP/1 connection that curl keeps for reuse must be quiet once its
// response has ended: bytes already waiting on it lie past that response's
// end and would be read as the answer to the next request. Shut down, curl
// drops it and the next request gets a fresh connection.
void dropIfNotQuiet(CURL *easy)
{
    long version = 0;
    curl_socket_t socket = CURL_SOCKET_BAD;
    curl_easy_getinfo(easy, CURLINFO_HTTP_VERSION, &version);
    if ((version != CURL_HTTP_VERSION_1_0 && version != CURL_HTTP_VERSION_1_1)
        || curl_easy_getinfo(easy, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK || socket == CURL_SOCKET_BAD)
        return;
    pollfd waiting{socket, POLLIN, 0};
    if (poll(&waiting, 1, 0) > 0)
        shutdown(socket, SHUT_RDWR);
}

} // namespace

CurlMulti::CurlMulti()
{
    initialiseCurlOnce();
    m_multi = curl_multi_init();
    curl_multi_setopt(m_multi, CURLMOPT_SOCKETFUNCTION, &CurlMulti::onSocket);
    curl_multi_setopt(m_multi, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(m_multi, CURLMOPT_TIMERFUNCTION, &CurlMulti::onTimer);
    curl_multi_setopt(m_multi, CURLMOPT_TIMERDATA, this);
    curl_multi_setopt(m_multi, CURLMOPT_PIPELINING, long(CURLPIPE_MULTIPLEX));
    curl_multi_setopt(m_multi, CURLMOPT_MAX_HOST_CONNECTIONS, connectionsPerServer);
    curl_multi_setopt(m_multi, CURLMOPT_MAX_TOTAL_CONNECTIONS, connectionsInAll);
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] { act(CURL_SOCKET_TIMEOUT, 0); });
}

CurlMulti::~CurlMulti()
{
    for (const auto &[easy, finished] : m_running)
        curl_multi_remove_handle(m_multi, easy);
    curl_multi_cleanup(m_multi);
}

CURLMcode CurlMulti::add(CURL *easy, Finished finished)
{
    const auto [running, isNew] = m_running.emplace(easy, std::move(finished));
    const CURLMcode code = isNew ? curl_multi_add_handle(m_multi, easy) : CURLM_ADDED_ALREADY;
    if (code != CURLM_OK && isNew)
        m_running.erase(running);
    return code;
}

void CurlMulti::remove(CURL *easy)
{
    if (m_running.erase(easy))
        curl_multi_remove_handle(m_multi, easy);
}

int CurlMulti::onSocket(CURL *, curl_socket_t socket, int what, void *self, void *)
{
    static_cast<CurlMulti *>(self)->watch(socket, what);
    return 0;
}

int CurlMulti::onTimer(CURLM *, long timeoutMs, void *self)
{
    QTimer &timer = static_cast<CurlMulti *>(self)->m_timer;
    if (timeoutMs < 0)
        timer.stop();
    else
        timer.start(int(std::min<long>(timeoutMs, 24L * 3600 * 1000)));
    return 0;
}

void CurlMulti::watch(curl_socket_t socket, int what)
{
    const auto retire = [this](std::unique_ptr<QSocketNotifier> &notifier) {
        if (!notifier)
            return;
        notifier->setEnabled(false);
        m_retired.push_back(std::move(notifier));
    };
    if (what == CURL_POLL_REMOVE) {
        const auto it = m_watches.find(socket);
        if (it != m_watches.end()) {
            retire(it->second.read);
            retire(it->second.write);
            m_watches.erase(it);
        }
        return;
    }
    Watch &w = m_watches[socket];
    const auto enable = [&](std::unique_ptr<QSocketNotifier> &notifier, QSocketNotifier::Type type, bool on,
                            int event) {
        if (on && !notifier) {
            notifier = std::make_unique<QSocketNotifier>(socket, type);
            connect(notifier.get(), &QSocketNotifier::activated, this, [this, socket, event] { act(socket, event); });
        }
        if (notifier)
            notifier->setEnabled(on);
    };
    enable(w.read, QSocketNotifier::Read, what == CURL_POLL_IN || what == CURL_POLL_INOUT, CURL_CSELECT_IN);
    enable(w.write, QSocketNotifier::Write, what == CURL_POLL_OUT || what == CURL_POLL_INOUT, CURL_CSELECT_OUT);
}

void CurlMulti::act(curl_socket_t socket, int events)
{
    // Curl's callbacks never run the event loop, so no retired notifier is
    // still inside its signal here: the one that called us is a live one.
    m_retired.clear();
    int running = 0;
    curl_multi_socket_action(m_multi, socket, events, &running);
    reportFinished();
}

void CurlMulti::reportFinished()
{
    int queued = 0;
    while (CURLMsg *message = curl_multi_info_read(m_multi, &queued)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        CURL *easy = message->easy_handle;
        const CURLcode result = message->data.result;
        const auto it = m_running.find(easy);
        if (it == m_running.end())
            continue;
        dropIfNotQuiet(easy);
        Finished finished = std::move(it->second);
        remove(easy);
        finished(result);
    }
}

void waitForEvents(const std::function<bool()> &done)
{
    while (!done())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

} // namespace platform

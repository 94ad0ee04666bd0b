#pragma once

#include "bytering.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <curl/curl.h>

#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace platform {

// Runs libcurl transfers on the thread that owns it, from its event loop:
// curl names the sockets to watch and the next time-out, socket notifiers
// and one timer hand every event back to curl. Nothing blocks and no thread
// of its own is involved, so a wait in the event loop never misses data.
class CurlMulti : public QObject
{
public:
    // Called once a transfer has ended, with curl's result.
    using Finished = std::function<void(CURLcode)>;
    // Connections to one server at a time, as many as a user's own parallel
    // tools open; transfers beyond wait for one. Over HTTP/2 one connection
    // carries them all.
    static constexpr long connectionsPerServer = 8;
    static constexpr long connectionsInAll = 2 * connectionsPerServer;

    CurlMulti();
    ~CurlMulti() override;
    CurlMulti(const CurlMulti &) = delete;
    CurlMulti &operator=(const CurlMulti &) = delete;

    // Starts the transfer; curl's refusal is returned, and nothing of the
    // transfer is kept then: `finished` is never called.
    CURLMcode add(CURL *easy, Finished finished);
    // The stream buffer that the transfers run here borrow in turn.
    ByteRingPool &streamBuffers() { return m_streamBuffers; }
    // Safe at any time outside curl's own callbacks; `finished` is not called.
    void remove(CURL *easy);

private:
    struct Watch
    {
        std::unique_ptr<QSocketNotifier> read;
        std::unique_ptr<QSocketNotifier> write;
    };

    static int onSocket(CURL *easy, curl_socket_t socket, int what, void *self, void *);
    static int onTimer(CURLM *, long timeoutMs, void *self);
    void watch(curl_socket_t socket, int what);
    void act(curl_socket_t socket, int events);
    void reportFinished();

    CURLM *m_multi;
    QTimer m_timer;
    std::map<curl_socket_t, Watch> m_watches;
    // Notifiers that curl stopped using, deleted once their signal has returned.
    std::vector<std::unique_ptr<QSocketNotifier>> m_retired;
    std::map<CURL *, Finished> m_running;
    ByteRingPool m_streamBuffers;
};

// Sleeps in the event loop until `done` holds. Right for what only this
// thread's event handlers change, as everything a CurlMulti does: the next
// event is the moment to look again, and no timer wakes the thread meanwhile.
void waitForEvents(const std::function<bool()> &done);

} // namespace platform

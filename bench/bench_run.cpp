// A whole update run with the window on screen:
//   bench_run APP_FOLDER BASE_URL [--public-key=BASE64] [--ca-certificates=PEM_FILE] [--latencies | --cancel]
// With a public key the run is a signed one; with certificates, an HTTPS
// server is trusted if they sign it (a loopback server's own authority).
// Presses the start button and, when the closing message appears, prints the
// seconds since the press, the longest time the event loop went without
// running (the window did not answer meanwhile) and the message, then ends.
//   --latencies  also prints, at the end, how long events waited while the
//                download was under way: a 2 ms timer's lateness, the latency
//                of an event posted from another thread every 2 ms, and the
//                gaps between repaints of the progress bar (milliseconds:
//                median, 99th percentile, maximum).
//   --cancel     prints "downloading X Y", with the screen position of the
//                cancel button, once 10 MiB have arrived: the moment for a
//                click from outside the process.

#include "app/endatonce.h"
#include "app/frmdownload.h"
#include "app/translations.h"
#include "download/status.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double msBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

void printSpread(const char *name, std::vector<double> samples)
{
    if (samples.empty()) {
        std::printf(" %s - - -", name);
        return;
    }
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double share) { return samples[std::size_t(share * double(samples.size() - 1))]; };
    std::printf(" %s %.3f %.3f %.3f", name, at(0.5), at(0.99), samples.back());
}

// An event stamped when it was posted.
class StampedEvent : public QEvent
{
public:
    static const QEvent::Type kind;
    StampedEvent() : QEvent(kind) {}
    const Clock::time_point posted = Clock::now();
};

const QEvent::Type StampedEvent::kind = QEvent::Type(QEvent::registerEventType());

// Samples the event latencies while `recording` is set.
class LatencyProbe : public QObject
{
public:
    explicit LatencyProbe(QWidget &bar)
    {
        m_tick.setSingleShot(true);
        m_tick.setTimerType(Qt::PreciseTimer);
        connect(&m_tick, &QTimer::timeout, this, [this] {
            if (recording)
                timerLateness.push_back(msBetween(m_tickStarted, Clock::now()) - 2.0);
            startTick();
        });
        startTick();
        bar.installEventFilter(this);
        m_poster = std::thread([this] {
            while (!m_stop) {
                QCoreApplication::postEvent(this, new StampedEvent);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
    }
    ~LatencyProbe() override
    {
        m_stop = true;
        m_poster.join();
    }

    void print()
    {
        std::printf("latencies");
        printSpread("timer", timerLateness);
        printSpread("posted", postedLatency);
        printSpread("bar", barGaps);
        std::printf("\n");
    }

    bool recording = false;
    std::vector<double> timerLateness;
    std::vector<double> postedLatency;
    std::vector<double> barGaps;

protected:
    bool event(QEvent *event) override
    {
        if (event->type() != StampedEvent::kind)
            return QObject::event(event);
        if (recording)
            postedLatency.push_back(msBetween(static_cast<StampedEvent *>(event)->posted, Clock::now()));
        return true;
    }

    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && recording) {
            const Clock::time_point now = Clock::now();
            if (m_lastPaint)
                barGaps.push_back(msBetween(*m_lastPaint, now));
            m_lastPaint = now;
        }
        return false;
    }

private:
    void startTick()
    {
        m_tickStarted = Clock::now();
        m_tick.start(2);
    }

    QTimer m_tick;
    Clock::time_point m_tickStarted;
    std::optional<Clock::time_point> m_lastPaint;
    std::atomic<bool> m_stop = false;
    std::thread m_poster;
};

// Hears a message box the moment it is shown.
class MessageWatch : public QObject
{
public:
    explicit MessageWatch(std::function<void(const QMessageBox &)> shown) : m_shown(std::move(shown)) {}

protected:
    bool eventFilter(QObject *object, QEvent *event) override
    {
        if (event->type() == QEvent::Show)
            if (auto *box = qobject_cast<QMessageBox *>(object))
                m_shown(*box);
        return false;
    }

private:
    std::function<void(const QMessageBox &)> m_shown;
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    installChineseTranslations(app);
    const QStringList args = app.arguments();
    const QLatin1String keyOption("--public-key=");
    const QLatin1String caOption("--ca-certificates=");
    std::optional<release::PublicKey> publisherKey;
    auto client = std::make_shared<platform::HttpClient>();
    QString mode;
    bool usable = args.size() >= 3;
    for (const QString &arg : args.mid(3)) {
        if (arg.startsWith(keyOption) && !publisherKey)
            publisherKey = release::PublicKey::fromBase64(arg.mid(keyOption.size()).toLatin1(), keyOption);
        else if (QFile authority(arg.mid(caOption.size())); arg.startsWith(caOption) && authority.open(QIODevice::ReadOnly))
            client->setCaCertificates(authority.readAll());
        else if ((arg == QLatin1String("--latencies") || arg == QLatin1String("--cancel")) && mode.isEmpty())
            mode = arg;
        else
            usable = false;
    }
    if (!usable) {
        std::fputs("usage: bench_run APP_FOLDER BASE_URL [--public-key=BASE64] [--ca-certificates=PEM_FILE]"
                   " [--latencies | --cancel]\n",
                   stderr);
        return 2;
    }
    frmDownLoad window(update::AppPaths(args[1]), args[2], client, publisherKey);
    window.show();

    std::optional<LatencyProbe> probe;
    if (mode == QLatin1String("--latencies")) {
        probe.emplace(*window.findChild<QProgressBar *>(QStringLiteral("Uload")));
        QObject::connect(&window.engine(), &download::Cls_DownLoad::entDLFileStatus, &window,
                         [&](std::int32_t status) { probe->recording = status == download::DLStatus::Downloading; });
    }
    if (mode == QLatin1String("--cancel")) {
        auto *cancel = window.findChild<QPushButton *>(QStringLiteral("Command2"));
        QObject::connect(&window.engine(), &download::Cls_DownLoad::entDLFileDowning, &window,
                         [cancel, announced = false](const QString &, std::int32_t lDownLoaded, std::int32_t,
                                                     std::int32_t) mutable {
                             if (announced || lDownLoaded < 10 * 1024 * 1024)
                                 return;
                             announced = true;
                             const QPoint centre = cancel->mapToGlobal(cancel->rect().center());
                             std::printf("downloading %d %d\n", centre.x(), centre.y());
                             std::fflush(stdout);
                         });
    }

    QElapsedTimer clock;
    QElapsedTimer sinceTick;
    qint64 longestStallNs = 0;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &watch, [&] {
        longestStallNs = std::max(longestStallNs, sinceTick.nsecsElapsed());
        sinceTick.start();
    });
    // The run ends for the user when its closing message is shown.
    MessageWatch message([&](const QMessageBox &box) {
        const qint64 elapsed = clock.nsecsElapsed();
        longestStallNs = std::max(longestStallNs, sinceTick.nsecsElapsed());
        std::printf("seconds %.6f longest-stall-ms %.1f message %s\n", elapsed / 1e9, longestStallNs / 1e6,
                    qPrintable(box.text()));
        if (probe)
            probe->print();
        endAtOnce();
    });
    app.installEventFilter(&message);
    QTimer::singleShot(200, &window, [&] {
        watch.start(5);
        clock.start();
        sinceTick.start();
        window.findChild<QPushButton *>(QStringLiteral("Command1"))->click();
    });
    return app.exec();
}

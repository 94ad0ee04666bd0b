#include "platform/core/eventloop.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTest>
#include <QTimer>

#include <functional>
#include <thread>
#include <unistd.h>

// A source of one event that sets `handled` when the event loop handles it.
using EventSource = std::function<void(QObject &receiver, bool &handled)>;

Q_DECLARE_METATYPE(EventSource)

class EventLoopTest : public QObject
{
    Q_OBJECT

private slots:
    void yieldHandlesEveryEvent_data();
    void yieldHandlesEveryEvent();
};

void EventLoopTest::yieldHandlesEveryEvent_data()
{
    QTest::addColumn<EventSource>("source");
    QTest::addColumn<bool>("atTheNextYield");

    QTest::newRow("posted here") << EventSource([](QObject &receiver, bool &handled) {
        QMetaObject::invokeMethod(&receiver, [&handled] { handled = true; }, Qt::QueuedConnection);
    }) << true;
    QTest::newRow("posted by another thread") << EventSource([](QObject &receiver, bool &handled) {
        std::thread([&] {
            QMetaObject::invokeMethod(&receiver, [&handled] { handled = true; }, Qt::QueuedConnection);
        }).join();
    }) << true;
    QTest::newRow("2 ms timer") << EventSource([](QObject &receiver, bool &handled) {
        QTimer::singleShot(2, Qt::PreciseTimer, &receiver, [&handled] { handled = true; });
    }) << false;
    QTest::newRow("readable descriptor") << EventSource([](QObject &receiver, bool &handled) {
        int fds[2];
        QVERIFY(::pipe(fds) == 0);
        auto *notifier = new QSocketNotifier(fds[0], QSocketNotifier::Read, &receiver);
        connect(notifier, &QSocketNotifier::activated, &receiver, [&handled] { handled = true; });
        connect(notifier, &QObject::destroyed, [fds] {
            ::close(fds[0]);
            ::close(fds[1]);
        });
        QCOMPARE(::write(fds[1], "x", 1), 1);
    }) << false;
}

// Between blocks of work the yields alone keep the program responsive:
// posted events go out at the next yield, even just after a full pass of the
// event loop; every other event within a short run of yields.
void EventLoopTest::yieldHandlesEveryEvent()
{
    QFETCH(EventSource, source);
    QFETCH(bool, atTheNextYield);

    QObject receiver;
    bool handled = false;
    platform::yield();
    source(receiver, handled);
    platform::yield();
    if (atTheNextYield)
        QVERIFY(handled);
    const QDeadlineTimer deadline(5000);
    while (!handled && !deadline.hasExpired())
        platform::yield();
    QVERIFY(handled);
}

QTEST_GUILESS_MAIN(EventLoopTest)

#include "tst_eventloop.moc"

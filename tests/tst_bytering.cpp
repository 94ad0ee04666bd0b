#include "platform/net/bytering.h"
#include "platform/net/earlybodies.h"

#include <QByteArray>
#include <QList>
#include <QTest>

class ByteRingTest : public QObject
{
    Q_OBJECT

private slots:
    void bytesLeaveInTheirOrder_data();
    void bytesLeaveInTheirOrder();
    void poolLendsTheSameMemoryInTurn();
    void earlyBodiesKeepToTheirCap_data();
    void earlyBodiesKeepToTheirCap();
};

void ByteRingTest::bytesLeaveInTheirOrder_data()
{
    QTest::addColumn<QList<int>>("steps"); // > 0: write that many bytes; < 0: read up to that many
    QTest::newRow("fill, drain") << QList<int>{16, -16};
    QTest::newRow("write across the end") << QList<int>{10, -7, 12, -15};
    QTest::newRow("read across the end") << QList<int>{12, -10, 13, -4, -20};
    QTest::newRow("read more than there is") << QList<int>{5, -9, 16, -3, 3, -32};
    QTest::newRow("many small turns") << QList<int>{7, -5, 9, -6, 11, -8, 8, -21};
}

// A ring of 16 bytes holds any sequence of writes and reads that keeps to
// its capacity; what comes out is what went in, in order.
void ByteRingTest::bytesLeaveInTheirOrder()
{
    QFETCH(QList<int>, steps);
    platform::ByteRing ring(16);
    QByteArray written, read;
    char next = 'a';
    for (const int step : steps) {
        if (step > 0) {
            QByteArray chunk;
            for (int i = 0; i < step; ++i)
                chunk += next = char(next == 'z' ? 'a' : next + 1);
            QVERIFY(step <= ring.space());
            ring.write(chunk.constData(), chunk.size());
            written += chunk;
        } else {
            char out[32];
            const qsizetype n = ring.read(out, -step);
            QCOMPARE(n, std::min<qsizetype>(-step, written.size() - read.size()));
            read.append(out, n);
        }
        QCOMPARE(ring.size(), written.size() - read.size());
    }
    QCOMPARE(read, written.first(read.size()));
}

void ByteRingTest::poolLendsTheSameMemoryInTurn()
{
    platform::ByteRingPool pool;
    const platform::ByteRing *first = nullptr;
    {
        const auto loan = pool.borrow(64);
        first = &**loan;
        (*loan)->write("abc", 3);
        // A transfer nested in the first one gets a ring of its own.
        const auto nested = pool.borrow(64);
        QVERIFY(&**nested != first);
    }
    const auto again = pool.borrow(64);
    QCOMPARE(&**again, first);
    QCOMPARE((*again)->size(), 0);
    QCOMPARE((*again)->capacity(), 64);
}

void ByteRingTest::earlyBodiesKeepToTheirCap_data()
{
    QTest::addColumn<QList<int>>("steps"); // of 16 bytes: > 0, taken (no room: it waits); < 0, given back
    QTest::addColumn<QList<bool>>("taken");
    QTest::addColumn<int>("wakes");
    QTest::newRow("within the cap") << QList<int>{6, 10, -0} << QList<bool>{true, true} << 0;
    QTest::newRow("beyond: waits, woken once") << QList<int>{10, 7, -4, -4, 7} << QList<bool>{true, false, true} << 1;
}

void ByteRingTest::earlyBodiesKeepToTheirCap()
{
    QFETCH(QList<int>, steps);
    platform::EarlyBodies early(16);
    QList<bool> taken;
    int woken = 0;
    for (const int step : steps) {
        if (step <= 0)
            early.giveBack(-step);
        else if (taken << early.take(step); !taken.back())
            early.waitForRoom(&taken, [&] { ++woken; });
    }
    QTEST(taken, "taken");
    QTEST(woken, "wakes");
}

QTEST_GUILESS_MAIN(ByteRingTest)

#include "tst_bytering.moc"

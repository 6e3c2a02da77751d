// The serial slave receivers on a fake line and clock: where a request ends,
// what runs together, and that no input can overrun the buffer or hold a tick.
#include <QtTest>

#include "Fake_link.h"
#include "Slave_receivers.h"

namespace {

struct Recorder {
    QList<QByteArray> requests;
    QList<int64_t> servedAt;
    QStringList lines;
    QList<int64_t> linesAt;
    QList<QByteArray> dropped;
    SerialReceiverHooks hooks(FakeLink &link)
    {
        SerialReceiverHooks h;
        h.process = [this, &link](const uint8_t *b, int32_t n) {
            requests << QByteArray(reinterpret_cast<const char *>(b), n);
            servedAt << link.ms;
        };
        h.logMemo1 = [this, &link](const std::string &t) {
            lines << QString::fromStdString(t);
            linesAt << link.ms;
        };
        h.dropped = [this](const uint8_t *b, int32_t n) {
            dropped << QByteArray(reinterpret_cast<const char *>(b), n);
        };
        return h;
    }
};

// Runs 5 ms ticks until the clock reaches until.
template <class Rx> void runUntil(Rx &rx, FakeLink &link, Recorder &rec, int64_t until)
{
    const SerialReceiverHooks h = rec.hooks(link);
    for (int guard = 0; link.ms < until && guard < 200000; ++guard) {
        rx.tick(link, 1, h);
        link.ms += 5;
    }
}

const QByteArray kRtuRequest = QByteArray::fromHex("010300000001840A");

}  // namespace

class TestSlaveReceivers : public QObject {
    Q_OBJECT
private slots:
    // The request ends once 2 centiseconds of the clock have passed since its
    // last byte, counted in whole centiseconds, across the minute.
    void rtuSilence_data()
    {
        QTest::addColumn<qint64>("last");
        QTest::addColumn<qint64>("end");
        QTest::newRow("on a centisecond") << qint64(1000) << qint64(1020);
        QTest::newRow("late in a centisecond") << qint64(1009) << qint64(1020);
        QTest::newRow("next centisecond") << qint64(1010) << qint64(1030);
        QTest::newRow("across the minute") << qint64(59995) << qint64(60010);
    }
    void rtuSilence()
    {
        QFETCH(qint64, last);
        QFETCH(qint64, end);
        FakeLink link;
        link.ms = last - 200;
        link.feed(kRtuRequest, last - 7, 1);
        SlaveRtuReceiver rx;
        Recorder rec;
        runUntil(rx, link, rec, last + 200);
        QCOMPARE(rec.requests.size(), 1);
        QCOMPARE(rec.requests[0], kRtuRequest);
        // Served on the pass after the silence was seen (one empty read later).
        QCOMPARE(rec.servedAt[0] - 1, end);
        QVERIFY(rx.RxState == 0 || rx.RxState == 10);
    }

    void rtuGapsWithinARequest()
    {
        FakeLink link;
        link.feed(QByteArray::fromHex("0103000000"), 100, 10);  // 10 ms between bytes
        SlaveRtuReceiver rx;
        Recorder rec;
        runUntil(rx, link, rec, 400);
        QCOMPARE(rec.requests.size(), 1);
        QCOMPARE(rec.requests[0].size(), 5);
    }

    void rtuBackToBackRunTogether()
    {
        FakeLink link;
        link.feed(kRtuRequest + kRtuRequest, 100, 1);
        SlaveRtuReceiver rx;
        Recorder rec;
        runUntil(rx, link, rec, 400);
        QCOMPARE(rec.requests.size(), 1);
        QCOMPARE(rec.requests[0], kRtuRequest + kRtuRequest);
    }

    // More than the buffer holds is dropped with a line; the tick ends and
    // what follows starts afresh.
    void rtuOverlong()
    {
        FakeLink link;
        link.feed(QByteArray(600, 'x'), 100, 0);
        SlaveRtuReceiver rx;
        Recorder rec;
        runUntil(rx, link, rec, 500);
        QCOMPARE(rec.lines, QStringList{"Mod Slave RTU req. over 512 bytes, dropped"});
        QCOMPARE(rec.dropped, QList<QByteArray>{QByteArray(512, 'x')});  // one error, its bytes
        QCOMPARE(rec.requests.size(), 1);
        QCOMPARE(rec.requests[0].size(), 600 - 513);
    }

    void rtuFloodNeverHoldsATick()
    {
        FakeLink link;
        link.endless = true;
        SlaveRtuReceiver rx;
        Recorder rec;
        const SerialReceiverHooks h = rec.hooks(link);
        for (int i = 0; i < 20; ++i) {
            const int64_t before = link.reads;
            rx.tick(link, 1, h);
            QVERIFY(link.reads - before <= kRxBufferSize + 2);
            QVERIFY(rx.RxLength <= kRxBufferSize);
        }
        QCOMPARE(rec.lines.size(), 20);
        QVERIFY(rec.requests.isEmpty());
    }

    // A clock that stands still would never show the silence: the tick still
    // ends, and the request is served once time moves again.
    void rtuFrozenClock()
    {
        FakeLink link;
        link.readCostMs = 0;
        link.feed(kRtuRequest, 0, 0);
        SlaveRtuReceiver rx;
        Recorder rec;
        const SerialReceiverHooks h = rec.hooks(link);
        rx.tick(link, 1, h);
        QCOMPARE(rx.RxState, 20);
        QVERIFY(link.reads <= kTickPassLimit + 1);
        link.readCostMs = 1;
        rx.tick(link, 1, h);
        QCOMPARE(rec.requests, QList<QByteArray>{kRtuRequest});
    }

    // A slow request longer than a tick may run is carried on by the next tick.
    void rtuSlowRequestSpansTicks()
    {
        FakeLink link;
        const QByteArray slow(300, '\x11');
        link.feed(slow, 100, 3);
        SlaveRtuReceiver rx;
        Recorder rec;
        const SerialReceiverHooks h = rec.hooks(link);
        link.ms = 100;
        rx.tick(link, 1, h);
        QVERIFY(link.ms - 100 <= kTickLimitCs * 10 + 10);
        QCOMPARE(rx.RxState, 20);
        runUntil(rx, link, rec, 2000);
        QCOMPARE(rec.requests, QList<QByteArray>{slow});
    }

    // ---- ASCII ---------------------------------------------------------------
    void asciiFraming_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QList<QByteArray>>("requests");
        QTest::newRow("one") << QByteArray(":010300000001FB\r\n")
                             << QList<QByteArray>{":010300000001FB\r\n"};
        QTest::newRow("junk and a stray LF before") << QByteArray("xx\n\r:010300000001FB\r\n")
                                                    << QList<QByteArray>{":010300000001FB\r\n"};
        QTest::newRow("a colon inside") << QByteArray(":01:03\r\n") << QList<QByteArray>{":01:03\r\n"};
        QTest::newRow("bare LF") << QByteArray(":\n") << QList<QByteArray>{":\n"};
        QTest::newRow("two in one burst") << QByteArray(":0107F8\r\n:0111EE\r\n")
                                          << QList<QByteArray>{":0107F8\r\n", ":0111EE\r\n"};
    }
    void asciiFraming()
    {
        QFETCH(QByteArray, input);
        QFETCH(QList<QByteArray>, requests);
        FakeLink link;
        link.feed(input, 0, 0);
        SlaveAsciiReceiver rx;
        Recorder rec;
        const SerialReceiverHooks h = rec.hooks(link);
        // One request per tick at most.
        for (int i = 0; i < requests.size(); ++i) {
            rx.tick(link, 1, h);
            QCOMPARE(rec.requests.size(), i + 1);
        }
        QCOMPARE(rec.requests, requests);
        QVERIFY(rec.lines.isEmpty());
    }

    // A ':' without its LF is given up when the second count has moved on by 3.
    void asciiTimeout_data()
    {
        QTest::addColumn<qint64>("colon");
        QTest::addColumn<qint64>("givenUp");
        QTest::newRow("early in a second") << qint64(10000) << qint64(13000);
        QTest::newRow("late in a second") << qint64(10999) << qint64(13000);
        QTest::newRow("across the hour") << qint64(3599500) << qint64(3602000);
    }
    void asciiTimeout()
    {
        QFETCH(qint64, colon);
        QFETCH(qint64, givenUp);
        FakeLink link;
        link.ms = colon;
        link.feed(":01", colon, 0);
        SlaveAsciiReceiver rx;
        Recorder rec;
        runUntil(rx, link, rec, givenUp + 100);
        QCOMPARE(rec.lines,
                 (QStringList{"Mod Slave ASC req. cmd is not finished recv. len=3", "Time out error"}));
        QCOMPARE(rec.dropped, QList<QByteArray>{":01"});  // two lines, one error
        QVERIFY(rec.linesAt[0] >= givenUp && rec.linesAt[0] <= givenUp + 6);
        QVERIFY(rec.linesAt[1] > rec.linesAt[0]);
        QVERIFY(rec.requests.isEmpty());
        // The next request is served normally.
        link.feedNow(":0107F8\r\n");
        runUntil(rx, link, rec, link.ms + 50);
        QCOMPARE(rec.requests, QList<QByteArray>{":0107F8\r\n"});
    }

    void asciiReceiveTimedOut_data()
    {
        QTest::addColumn<int>("start");
        QTest::addColumn<int>("minute");
        QTest::addColumn<int>("second");
        QTest::addColumn<bool>("out");
        QTest::newRow("2 s") << 600 << 10 << 2 << false;
        QTest::newRow("3 s") << 600 << 10 << 3 << true;
        QTest::newRow("wrap 2 s") << 3599 << 0 << 1 << false;
        QTest::newRow("wrap 3 s") << 3599 << 0 << 2 << true;
    }
    void asciiReceiveTimedOut()
    {
        QFETCH(int, start);
        QFETCH(int, minute);
        QFETCH(int, second);
        QFETCH(bool, out);
        SlaveAsciiReceiver rx;
        rx.clock.minute = int16_t(minute);
        rx.clock.second = int16_t(second);
        QCOMPARE(rx.ReceiveTimedOut(int16_t(start), 3), out);
    }

    void asciiOverlong()
    {
        FakeLink link;
        link.feed(":" + QByteArray(600, 'A') + "\r\n:0107F8\r\n", 0, 0);
        SlaveAsciiReceiver rx;
        Recorder rec;
        runUntil(rx, link, rec, 100);
        QCOMPARE(rec.lines, QStringList{"Mod Slave ASC req. over 512 chars, dropped"});
        QCOMPARE(rec.dropped, QList<QByteArray>{':' + QByteArray(511, 'A')});
        QCOMPARE(rec.requests, QList<QByteArray>{":0107F8\r\n"});
    }

    void asciiFloodNeverHoldsATick_data()
    {
        QTest::addColumn<int>("byte");
        QTest::newRow("no colon") << int('x');
        QTest::newRow("colons") << int(':');
    }
    void asciiFloodNeverHoldsATick()
    {
        QFETCH(int, byte);
        FakeLink link;
        link.endless = true;
        link.endlessByte = uint8_t(byte);
        SlaveAsciiReceiver rx;
        Recorder rec;
        const SerialReceiverHooks h = rec.hooks(link);
        for (int i = 0; i < 10; ++i) {
            const int64_t before = link.reads;
            rx.tick(link, 1, h);
            QVERIFY(link.reads - before <= kTickPassLimit + 1);
            QVERIFY(rx.RxLength <= kRxBufferSize);
        }
        QVERIFY(rec.requests.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestSlaveReceivers)
#include "tst_slave_receivers.moc"

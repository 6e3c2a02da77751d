// Fast receive on a fake line and clock: answers in chunks, the early end at
// the expected length, the RTU silence, the ASCII LF, the one-second time-out
// and the babbling line; then the two serial windows with Fast on.
#include "Fake_link.h"
#include "Master_ascii.h"
#include "Master_receive.h"
#include "Master_rtu.h"
#include "Peers.h"
#include "Station_rig.h"

Q_DECLARE_METATYPE(ReceiveEvent)

namespace {

// "ms:hex" (RTU) or "ms:text" (ASCII, with \r\n) chunks onto the fake line;
// returns their arrival times.
QList<long> feed(FakeLink &link, const QStringList &chunks, bool hex)
{
    QList<long> times;
    for (const QString &c : chunks) {
        const long at = c.section(':', 0, 0).toLong();
        const QString body = c.section(':', 1);
        link.arrive(hex ? QByteArray::fromHex(body.toLatin1()) : body.toLatin1(), at);
        times << at;
    }
    return times;
}

struct Outcome {
    ReceiveEvent event = ReceiveEvent::None;
    long at = -1;
};

// Runs a machine as the window does: a look when bytes arrive and when the
// machine's next look is due, until it reports something.
template <class Machine> Outcome drive(Machine &m, FakeLink &link, const QList<long> &arrivals)
{
    for (int i = 0; i < 10000; ++i) {
        const ReceiveEvent e = m.tick(link, 1);
        if (e != ReceiveEvent::None)
            return {e, link.ms};
        long next = link.ms + m.nextLookMs();
        for (long a : arrivals)
            if (a > link.ms && a < next)
                next = a;
        link.ms = next;
    }
    return {};
}

const QByteArray kRead10 = QByteArray::fromHex("01030000000AC5CD");
const QByteArray kRead1 = QByteArray::fromHex("010300000001840A");
const char *kAnswer10 = "010314000100020003000400050006000700080009000A8F16";

}  // namespace

class TestFastReceive : public QObject {
    Q_OBJECT
private slots:
    void silence_data()
    {
        QTest::addColumn<int>("baud");
        QTest::addColumn<char>("parity");
        QTest::addColumn<int>("ms");
        QTest::newRow("9600 8N1") << 9600 << 'N' << 4;      // 3.65 ms
        QTest::newRow("9600 8E1") << 9600 << 'E' << 5;      // 11 bits: 4.01 ms
        QTest::newRow("1200 8N1") << 1200 << 'N' << 30;     // 29.2 ms
        QTest::newRow("19200 8N1") << 19200 << 'N' << 2;    // 1.8 ms, the floor
        QTest::newRow("115200 8N1") << 115200 << 'N' << 2;
    }
    void silence()
    {
        QFETCH(int, baud);
        QFETCH(char, parity);
        QFETCH(int, ms);
        QCOMPARE(rtu_silence_ms(baud, 8, parity, 1), ms);
    }

    void rtu_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QStringList>("chunks");
        QTest::addColumn<ReceiveEvent>("event");
        QTest::addColumn<long>("at");
        QTest::addColumn<bool>("ok");
        const QString a = kAnswer10;
        QTest::newRow("whole answer ends at its length") << kRead10 << QStringList{"20:" + a} << ReceiveEvent::Check
                                                         << 20L << true;
        QTest::newRow("chunks end with the last")
            << kRead10 << QStringList{"20:" + a.left(6), "23:" + a.mid(6, 20), "26:" + a.mid(26)}
            << ReceiveEvent::Check << 26L << true;
        QTest::newRow("wrong CRC waits for the silence")
            << kRead10 << QStringList{"20:" + a.left(a.size() - 2) + "00"} << ReceiveEvent::Check << 25L << false;
        QTest::newRow("longer than expected waits for the silence")
            << kRead10 << QStringList{"20:" + a + "FF"} << ReceiveEvent::Check << 25L << false;
        QTest::newRow("other length waits for the silence")
            << kRead10 << QStringList{"20:010302002A399B"} << ReceiveEvent::Check << 25L << true;
        QTest::newRow("exception ends at 5 bytes") << kRead1 << QStringList{"20:018302C0F1"} << ReceiveEvent::Check
                                                   << 20L << true;
        QTest::newRow("write echo ends at 8 bytes")
            << QByteArray::fromHex("01060001002A59D5") << QStringList{"7:01060001002A59D5"} << ReceiveEvent::Check
            << 7L << true;
        QTest::newRow("nothing: one second") << kRead10 << QStringList{} << ReceiveEvent::TimeOut << 1000L << false;
        QTest::newRow("late answer within the second")
            << kRead10 << QStringList{"999:" + a} << ReceiveEvent::Check << 999L << true;
    }
    void rtu()
    {
        QFETCH(QByteArray, request);
        QFETCH(QStringList, chunks);
        QFETCH(ReceiveEvent, event);
        QFETCH(long, at);
        QFETCH(bool, ok);
        FakeLink link;
        RtuReceiver m;
        m.setFast(true);
        m.expect(reinterpret_cast<const uint8_t *>(request.constData()), int32_t(request.size()), 4);
        m.restart();
        const Outcome out = drive(m, link, feed(link, chunks, true));
        QCOMPARE(out.event, event);
        QCOMPARE(out.at, at);
        if (out.event == ReceiveEvent::Check) {
            QCOMPARE(m.checkAnswer().ok, ok);
            QCOMPARE(m.tick(link, 1), ReceiveEvent::Finish);  // at once, no wait
        }
    }

    void ascii_data()
    {
        QTest::addColumn<QStringList>("chunks");
        QTest::addColumn<ReceiveEvent>("event");
        QTest::addColumn<long>("at");
        QTest::addColumn<QString>("frame");
        QTest::newRow("whole line") << QStringList{"30::010302002AD0\r\n"} << ReceiveEvent::Check << 30L
                                    << ":010302002AD0\r\n";
        QTest::newRow("ends at the LF, not before")
            << QStringList{"30::0103", "40:02002AD0\r", "300:\n"} << ReceiveEvent::Check << 300L
            << ":010302002AD0\r\n";
        QTest::newRow("noise before the colon dropped")
            << QStringList{"10:xx\r\n", "30::010302002AD0\r\n"} << ReceiveEvent::Check << 30L << ":010302002AD0\r\n";
        QTest::newRow("noise only: one second from the request")
            << QStringList{"200:x", "600:y", "900:z", "1100:w"} << ReceiveEvent::TimeOut << 1000L << "";
        QTest::newRow("a second without a character")
            << QStringList{"30::0103", "500:02"} << ReceiveEvent::TimeOut << 1500L << "";
    }
    void ascii()
    {
        QFETCH(QStringList, chunks);
        QFETCH(ReceiveEvent, event);
        QFETCH(long, at);
        QFETCH(QString, frame);
        FakeLink link;
        AsciiReceiver m;
        m.setFast(true);
        m.restart();
        const Outcome out = drive(m, link, feed(link, chunks, false));
        QCOMPARE(out.event, event);
        QCOMPARE(out.at, at);
        if (out.event == ReceiveEvent::Check)
            QCOMPARE(QString::fromLatin1(m.data(), m.length()), frame);
    }

    // The times of an exchange on the monotonic clock: the second for the
    // answer starts once the request has left the line (255 bytes at 2400
    // baud: 1063 ms), setting the wall clock ends no wait, and the response
    // time runs from the end of the request to the answer's last byte.
    void times_data()
    {
        QTest::addColumn<bool>("ascii");
        QTest::addColumn<bool>("fast");
        QTest::addColumn<int>("lineMs");
        QTest::addColumn<long>("answerAt");  // -1: none comes
        QTest::addColumn<long>("wallStep");  // at 10 ms
        QTest::addColumn<ReceiveEvent>("event");
        QTest::addColumn<long>("at");
        QTest::addColumn<int>("responseMs");
        const int longLine = line_time_ms(255, 2400, 8, 'N', 1);
        QTest::newRow("tick, long request")
            << false << false << longLine << 1500L << 0L << ReceiveEvent::Check << 1670L << 437;
        QTest::newRow("fast, long request")
            << false << true << longLine << 1500L << 0L << ReceiveEvent::Check << 1500L << 437;
        QTest::newRow("fast, long request, no answer")
            << false << true << longLine << -1L << 0L << ReceiveEvent::TimeOut << 2063L << 0;
        QTest::newRow("RTU fast, wall clock set forward")
            << false << true << 0 << 30L << 5000L << ReceiveEvent::Check << 30L << 30;
        QTest::newRow("ASCII fast, wall clock set back")
            << true << true << 0 << 30L << -5000L << ReceiveEvent::Check << 30L << 30;
        QTest::newRow("RTU tick, not the station's waiting")
            << false << false << 9 << 30L << 0L << ReceiveEvent::Check << 200L << 21;
        QTest::newRow("ASCII tick") << true << false << 18 << 30L << 0L << ReceiveEvent::Check << 180L << 12;
    }
    void times()
    {
        QFETCH(bool, ascii);
        QFETCH(bool, fast);
        QFETCH(int, lineMs);
        QFETCH(long, answerAt);
        QFETCH(long, wallStep);
        QFETCH(ReceiveEvent, event);
        QFETCH(long, at);
        QFETCH(int, responseMs);
        FakeLink link;
        RtuReceiver rtu;
        AsciiReceiver asc;
        FastReceiving &m = ascii ? static_cast<FastReceiving &>(asc) : rtu;
        m.setFast(fast);
        m.expect(reinterpret_cast<const uint8_t *>(kRead1.constData()), 8, 2);
        m.timing().sent(0, lineMs);
        rtu.restart();
        asc.restart();
        if (answerAt >= 0)
            link.arrive(ascii ? QByteArray(":010302002AD0\r\n") : QByteArray::fromHex("010302002A399B"),
                        answerAt);
        Outcome out;
        for (; link.ms < 5000 && out.event == ReceiveEvent::None; link.ms += fast ? 1 : 10) {
            link.wallStep = link.ms >= 10 ? wallStep : 0;
            out = {ascii ? asc.tick(link, 1) : rtu.tick(link, 1), link.ms};
        }
        QCOMPARE(out.event, event);
        QCOMPARE(out.at, at);
        if (event == ReceiveEvent::Check)
            QCOMPARE(m.timing().responseMs(), int64_t(responseMs));
    }

    // A line that never falls silent nor sends an LF ends in an overflow, as
    // on the tick.
    void babblingLine()
    {
        FakeLink link;
        QList<long> times;
        for (long t = 0; t < 700; ++t) {
            link.arrive(QByteArray(1, 'U'), t);
            times << t;
        }
        RtuReceiver rtu;
        rtu.setFast(true);
        rtu.expect(reinterpret_cast<const uint8_t *>(kRead10.constData()), 8, 4);
        rtu.restart();
        QCOMPARE(drive(rtu, link, times).event, ReceiveEvent::Overflow);

        link.ms = 0;
        link.clearQueue();
        for (long t : times)
            link.arrive(QByteArray(1, t == 0 ? ':' : 'U'), t);
        AsciiReceiver ascii;
        ascii.setFast(true);
        ascii.restart();
        QCOMPARE(drive(ascii, link, times).event, ReceiveEvent::Overflow);
    }

    // The windows with Fast on: the answer fills the grid without the 10 ms
    // ticks, and a silent line still ends in the time-out box.
    void windows_data()
    {
        QTest::addColumn<bool>("ascii");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("value");
        QTest::newRow("RTU") << false << QByteArray::fromHex("010302002A399B") << "42";
        QTest::newRow("ASCII") << true << QByteArray(":010302002AD0\r\n") << "42";
        QTest::newRow("RTU silent") << false << QByteArray() << "";
        QTest::newRow("ASCII silent") << true << QByteArray() << "";
    }
    void windows()
    {
        QFETCH(bool, ascii);
        QFETCH(QByteArray, answer);
        QFETCH(QString, value);
        Recorder rec;
        FakeLink link;
        std::unique_ptr<SerialMasterWindow> form;
        if (ascii)
            form.reset(new TMSASC_Form);
        else
            form.reset(new TMSRTU_Form);
        form->setLink(&link);
        invoke(form.get(), "BitBtn4Click");
        form->setFastReceive(true);
        setRequest(form.get(), 2, 1, 1, 1);
        invoke(form.get(), "BitBtn1Click");
        link.arrive(answer);  // what waited before the request would be dropped
        auto *timer = child<QTimer>(form.get(), "Timer1");
        // The clock moves only when the line stays quiet: the time-out case.
        QVERIFY(waitUntil(
            [&] {
                if (link.queued() == 0)
                    link.ms += 50;
                return !timer->isActive();
            },
            5000));
        QVERIFY(link.reads > 0);
        if (value.isEmpty()) {
            QCOMPARE(rec.boxes, QStringList{"Zentavor|RS232C comm. time out error"});
        } else {
            QVERIFY(rec.boxes.isEmpty());
            QCOMPARE(grid(form.get())->cellText(1, 1).trimmed(), value);
            QVERIFY(button(form.get(), "BitBtn2")->isEnabled());
        }
    }
};

QTEST_MAIN(TestFastReceive)
#include "tst_fast_receive.moc"

// The three master stations against a real Modbus slave (pymodbus) over a
// socat pty pair and over loopback TCP, and the serial stations against raw
// bytes written into the pty.
#include <QElapsedTimer>
#include <algorithm>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

#include "Master_ascii.h"
#include "Master_rtu.h"
#include "Master_tcp.h"
#include "Peers.h"
#include "Station_rig.h"

namespace {

enum Transport { Rtu, Ascii, Tcp };

QString peerScript() { return testSourcePath("peers/master_test_slave.py"); }

// One station window with its line or connection and, when wanted, the
// pymodbus slave at the far end.
struct Station {
    Transport transport;
    std::unique_ptr<Recorder> rec = std::make_unique<Recorder>();
    std::unique_ptr<PtyPair> pty;
    std::unique_ptr<PeerProcess> peer;
    MasterWindow *form = nullptr;

    explicit Station(Transport t) : transport(t) {}
    ~Station()
    {
        delete form;  // releases the port before the pty pair goes
        peer.reset();
        pty.reset();
    }

    // Starts the line (and the slave when withPeer) and opens the port.
    bool start(bool withPeer)
    {
        if (transport == Tcp) {
            const quint16 port = freeLoopbackPort();
            peer = std::make_unique<PeerProcess>();
            if (!peer->start(systemPython(), {peerScript(), "tcp", QString::number(port)}) ||
                !peer->waitForOutput("READY"))
                return false;
            form = new TMSTCP_Form;
            child<QLineEdit>(form, "Edit1")->setText("127.0.0.1");
            child<QLineEdit>(form, "MaskEdit4")->setText(QString::number(port));
            invoke(form, "BitBtn3Click");
            return waitUntil([this] { return button(form, "BitBtn4")->isEnabled(); });
        }
        pty = std::make_unique<PtyPair>();
        if (!pty->ok())
            return false;
        const int com = transport == Rtu ? 1 : 2;  // the stations' default ports
        PtyPair::mapPort(com, pty->a());
        if (withPeer) {
            peer = std::make_unique<PeerProcess>();
            const QStringList line = transport == Rtu ? QStringList{"9600", "N", "8", "1"}
                                                      : QStringList{"9600", "O", "7", "1"};
            if (!peer->start(systemPython(),
                             QStringList{peerScript(), transport == Rtu ? "rtu" : "ascii", pty->b()} + line) ||
                !peer->waitForOutput("READY"))
                return false;
        }
        if (transport == Rtu)
            form = new TMSRTU_Form;
        else
            form = new TMSASC_Form;
        invoke(form, "BitBtn4Click");
        return button(form, "BitBtn5")->isEnabled();
    }

    bool busy() const
    {
        return transport == Tcp ? false : form->findChild<QTimer *>("Timer1")->isActive();
    }

    // Sends the request in the fields and waits until its answer is handled.
    bool exchange(const std::function<void()> &send)
    {
        const QStringList before = memo(form, "Memo2")->lines();
        const int notices = rec->statuses.size();
        send();
        if (transport == Tcp)
            return waitUntil([&] { return rec->statuses.size() > notices && !memo(form, "Memo2")->lines().isEmpty(); },
                             5000) &&
                   (QTest::qWait(50), true);
        Q_UNUSED(before);
        return waitUntil([this] { return !busy(); }, 5000);
    }
    bool read(int kind, int start, int count)
    {
        setRequest(form, kind, 1, start, count);
        return exchange([this] { invoke(form, "BitBtn1Click"); });
    }
    bool write(int col, int row, const QString &answer, DialogSeen &seen)
    {
        answerDialog(seen, answer);
        grid(form)->selectCell(col, row);
        return exchange([this] { invoke(form, "BitBtn2Click"); });
    }
};

const char *name(Transport t) { return t == Rtu ? "rtu" : t == Ascii ? "ascii" : "tcp"; }

std::unique_ptr<Station> g_station[3];

Station *station(Transport t)
{
    if (!g_station[t]) {
        g_station[t] = std::make_unique<Station>(t);
        if (!g_station[t]->start(true)) {
            g_station[t].reset();
            return nullptr;
        }
    }
    return g_station[t].get();
}

}  // namespace

class TestMasterPeers : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        const QString missing = missingSerialPeers();
        QVERIFY2(missing.isEmpty(), qPrintable(missing));
    }
    void cleanupTestCase()
    {
        for (auto &s : g_station)
            s.reset();
    }

    // The four kinds read from the slave's tables (coil i on when i % 3 == 0,
    // relay i when i % 2 == 1, holding 1000 + i, input 0xFF00 + i).
    void reads_data()
    {
        QTest::addColumn<int>("transport");
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("start");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("text");
        for (Transport t : {Rtu, Ascii, Tcp}) {
            QTest::addRow("%s coils", name(t)) << int(t) << 0 << 1 << 10 << 1
                                               << "00008 - 00001|Off|On|Off|Off|On|Off|Off|On";
            QTest::addRow("%s coils, last row", name(t)) << int(t) << 0 << 1 << 10 << 2 << "00010 - 00009|||||||On|Off";
            QTest::addRow("%s relays", name(t)) << int(t) << 1 << 1 << 8 << 1 << "10008 - 10001|On|Off|On|Off|On|Off|On|Off";
            QTest::addRow("%s holding", name(t)) << int(t) << 2 << 1 << 10 << 10 << "40010|  1009|0x03F1";
            QTest::addRow("%s input", name(t)) << int(t) << 3 << 2 << 3 << 1 << "30002|  -255|0xFF01";
            QTest::addRow("%s exception", name(t)) << int(t) << 2 << 201 << 2 << 1 << "40201||";
        }
    }
    void reads()
    {
        QFETCH(int, transport);
        QFETCH(int, kind);
        QFETCH(int, start);
        QFETCH(int, count);
        QFETCH(int, row);
        QFETCH(QString, text);
        Station *s = station(Transport(transport));
        QVERIFY2(s, "the station or its slave did not start");
        QVERIFY(s->read(kind, start, count));
        QCOMPARE(gridRow(grid(s->form), row), text);
        const QStringList memo2 = memo(s->form, "Memo2")->lines();
        QCOMPARE(memo2.size(), 1);  // the answer, no checksum error
        if (start == 201)  // an exception answer, address out of the slave's range
            QVERIFY2(memo2[0].contains(transport == Ascii ? ":0183" : "01 83 02 "), qPrintable(memo2[0]));
        QVERIFY(s->rec->boxes.isEmpty());
    }

    // A coil and a register written, then read back.
    void writes_data()
    {
        QTest::addColumn<int>("transport");
        for (Transport t : {Rtu, Ascii, Tcp})
            QTest::addRow("%s", name(t)) << int(t);
    }
    void writes()
    {
        QFETCH(int, transport);
        Station *s = station(Transport(transport));
        QVERIFY2(s, "the station or its slave did not start");
        DialogSeen seen;
        QVERIFY(s->read(0, 1, 10));
        QVERIFY(s->write(7, 1, "On", seen));  // coil 2
        QCOMPARE(seen.title, QString("Relay: 00002"));
        QCOMPARE(grid(s->form)->cellText(7, 1), QString("On"));
        QVERIFY(s->read(0, 1, 10));
        QCOMPARE(gridRow(grid(s->form), 1), QString("00008 - 00001|Off|On|Off|Off|On|Off|On|On"));

        QVERIFY(s->read(2, 1, 5));
        QVERIFY(s->write(1, 3, "-5", seen));  // register 40003 in decimal
        QCOMPARE(seen.field, QString("1002"));
        QCOMPARE(gridRow(grid(s->form), 3), QString("40003|    -5|0xFFFB"));
        QVERIFY(s->read(2, 1, 5));
        QCOMPARE(gridRow(grid(s->form), 3), QString("40003|    -5|0xFFFB"));
        QCOMPARE(gridRow(grid(s->form), 4), QString("40004|  1003|0x03EB"));
        QVERIFY(s->rec->boxes.isEmpty());
    }

    // The time of one 10-register RTU read at 9600 baud over the pty pair,
    // from "Send command" to the finished answer.
    void rtuReadTime()
    {
        Station *s = station(Rtu);
        QVERIFY2(s, "the station or its slave did not start");
        std::vector<qint64> ms;
        for (int i = 0; i < 5; ++i) {
            QElapsedTimer t;
            t.start();
            QVERIFY(s->read(2, 1, 10));
            ms.push_back(t.elapsed());
            QCOMPARE(gridRow(grid(s->form), 1), QString("40001|  1000|0x03E8"));
        }
        std::sort(ms.begin(), ms.end());
        qInfo("10-register RTU read, 9600 baud, pty pair: min %lld ms, median %lld ms, max %lld ms", ms.front(),
              ms[ms.size() / 2], ms.back());
        QVERIFY(ms.back() < 5000);  // a loose bound only
    }

    // With no slave at the far end, and with bytes written raw into the pty.
    void rawLine_data()
    {
        QTest::addColumn<int>("transport");
        QTest::addColumn<QByteArray>("answer");  // empty: nothing comes
        QTest::addColumn<QStringList>("memo2");
        QTest::addColumn<QStringList>("boxes");
        const QStringList timeOut{"Zentavor|RS232C comm. time out error"};
        QTest::newRow("rtu, no slave") << int(Rtu) << QByteArray() << QStringList{"Time out error"} << timeOut;
        QTest::newRow("ascii, no slave") << int(Ascii) << QByteArray() << QStringList{"Time out error"} << timeOut;
        QTest::newRow("rtu, corrupted")
            << int(Rtu) << hexBytes("010302002A399C")
            << QStringList{"Response Message: 01 03 02 00 2A 39 9C ", "CRC error: Recv[57 156] Calc[57 155]"}
            << QStringList{};
        QTest::newRow("ascii, corrupted")
            << int(Ascii) << QByteArray(":010302002BD0\r\n")
            << QStringList{"Response Message: :010302002BD0", "LRC error: Recv[68 48] Calc[67 70]"} << QStringList{};
    }
    void rawLine()
    {
        QFETCH(int, transport);
        QFETCH(QByteArray, answer);
        QFETCH(QStringList, memo2);
        QFETCH(QStringList, boxes);
        g_station[transport].reset();  // the port is this test's alone
        Station s{Transport(transport)};
        QVERIFY(s.start(false));
        const int fd = ::open(s.pty->b().toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(fd >= 0);
        setRequest(s.form, 2, 1, 1, 1);
        invoke(s.form, "BitBtn1Click");
        if (!answer.isEmpty()) {
            QVERIFY(waitUntil([&] {
                char buf[64];
                return ::read(fd, buf, sizeof buf) > 0;
            }));
            QCOMPARE(::write(fd, answer.constData(), size_t(answer.size())), ssize_t(answer.size()));
        }
        QElapsedTimer t;
        t.start();
        QVERIFY(waitUntil([&] { return !s.busy(); }, 5000));
        QCOMPARE(memo(s.form, "Memo2")->lines(), memo2);
        QCOMPARE(s.rec->boxes, boxes);
        QCOMPARE(gridRow(grid(s.form), 1), QString("40001||"));
        if (answer.isEmpty())
            qInfo("time-out after %lld ms", t.elapsed());
        ::close(fd);
    }
};

QTEST_MAIN(TestMasterPeers)
#include "tst_master_peers.moc"

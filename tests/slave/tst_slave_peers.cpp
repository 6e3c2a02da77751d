// The three slave stations against real Modbus masters: pymodbus and mbpoll
// over a socat pty pair (RTU, ASCII) and over loopback TCP, plus raw frames
// for what only a hand-made stream shows.
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>
#include <fcntl.h>
#include <unistd.h>

#include "Gui_services.h"
#include "Modal.h"
#include "Notices.h"
#include "Peers.h"
#include "Set_Value.h"
#include "Slave_ascii.h"
#include "Slave_rtu.h"
#include "Slave_tcp.h"
#include "Slave_test_util.h"

namespace {

QString clientScript() { return testSourcePath("peers/slave_client.py"); }

// Runs a peer to its end while the event loop (and so the station) runs;
// "COMMAND -> RESULT" lines come back as a map.
QMap<QString, QString> runPeer(PeerProcess &p, const QString &program, const QStringList &args, int ms = 30000)
{
    QMap<QString, QString> results;
    if (!p.start(program, args))
        return results;
    waitUntil([&] { return p.process().state() == QProcess::NotRunning; }, ms);
    p.stop();
    for (const QString &line : p.output().split('\n')) {
        const int at = line.indexOf(" -> ");
        if (at > 0)
            results.insert(line.left(at), line.mid(at + 4).trimmed());
    }
    return results;
}

QMap<QString, QString> runClient(const QString &mode, const QString &where, const QStringList &cmds, int slave = 1)
{
    PeerProcess p;
    return runPeer(p, systemPython(), QStringList{clientScript(), mode, where, QString::number(slave)} + cmds);
}

// The station's own value dialog, answered as an operator would.
void handEdit(SlaveStationForm *f, int kind, int col, int row, const QString &input)
{
    set_modal_runner([&](QDialog *d) {
        auto *dlg = qobject_cast<TSet_ValueDlg *>(d);
        if (kind <= 2)
            dlg->ComboBox1->setCurrentIndex(input == "On" ? 1 : 0);
        else
            dlg->Edit1->setText(input);
        dlg->OKBtn->click();
        return dlg->result();
    });
    StringGrid *g = kind == 1 ? f->StringGrid1 : kind == 2 ? f->StringGrid2 : kind == 3 ? f->StringGrid3 : f->StringGrid4;
    g->selectCell(col, row);
    QMetaObject::invokeMethod(f, ("StringGrid" + QByteArray::number(kind) + "DblClick").constData());
    set_modal_runner(nullptr);
}

// The master's end of the pty pair, for raw frames.
class RawPty {
public:
    explicit RawPty(const QString &path) { fd_ = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK); }
    ~RawPty()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    void write(const QByteArray &b) { QCOMPARE(::write(fd_, b.constData(), size_t(b.size())), ssize_t(b.size())); }
    // Everything that arrives within ms, the event loop running meanwhile.
    QByteArray readFor(int ms)
    {
        QByteArray all;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms) {
            char buf[512];
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n > 0)
                all.append(buf, qsizetype(n));
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            QThread::msleep(2);
        }
        return all;
    }

private:
    int fd_ = -1;
};

const QStringList kAllCodes{"rc:0:10", "rd:0:8", "rh:0:3", "ri:5:2", "wc:9:1", "wr:1:1234", "wcs:20:1,0,1",
                            "wrs:30:7,8,65535", "rc:20:3", "rh:30:3", "x7", "rh:1000:30", "rc:1020:5"};

}  // namespace

class TestSlavePeers : public QObject {
    Q_OBJECT
private:
    QStringList statuses_;

    // Tables seeded so every read has something to show, one value set by hand.
    void seed(SlaveStationForm *f)
    {
        f->tables.WriteInputRelay(1, 1);
        f->tables.WriteInputRelay(7, 1);
        f->tables.holdingRegisters[2] = 0x8000;
        f->tables.inputRegisters[5] = 0x1234;
        f->tables.inputRegisters[6] = 7;
        handEdit(f, 1, 6, 1, "On");   // coil 2
        handEdit(f, 3, 1, 1, "321");  // holding register 0
    }

    void checkAllCodes(SlaveStationForm *f, const QMap<QString, QString> &r)
    {
        QCOMPARE(r.value("rc:0:10"), QString("OK 0 0 1 0 0 0 0 0 0 0"));
        QCOMPARE(r.value("rd:0:8"), QString("OK 0 1 0 0 0 0 0 1"));
        QCOMPARE(r.value("rh:0:3"), QString("OK 321 0 32768"));
        QCOMPARE(r.value("ri:5:2"), QString("OK 4660 7"));
        QCOMPARE(r.value("wc:9:1"), QString("OK"));
        QCOMPARE(r.value("wr:1:1234"), QString("OK"));
        QCOMPARE(r.value("wcs:20:1,0,1"), QString("OK"));
        QCOMPARE(r.value("wrs:30:7,8,65535"), QString("OK"));
        QCOMPARE(r.value("rc:20:3"), QString("OK 1 0 1"));
        QCOMPARE(r.value("rh:30:3"), QString("OK 7 8 65535"));
        QCOMPARE(r.value("x7"), QString("EXC 1"));
        QCOMPARE(r.value("rh:1000:30"), QString("EXC 2"));
        QCOMPARE(r.value("rc:1020:5"), QString("EXC 2"));
        // The writes show in the grids.
        QCOMPARE(f->StringGrid1->cellText(7, 2), QString("On"));  // coil 9
        QCOMPARE(f->StringGrid1->cellText(4, 3), QString("On"));  // coil 20
        QCOMPARE(f->StringGrid1->cellText(3, 3), QString("Off"));  // coil 21
        QCOMPARE(f->StringGrid3->cellText(1, 2), QString("  1234"));
        QCOMPARE(f->StringGrid3->cellText(2, 33), QString("0xFFFF"));
    }

    int mbpollRead(const QStringList &args, QStringList &values)
    {
        PeerProcess p;
        if (!p.start("mbpoll", args))
            return -1;
        waitUntil([&] { return p.process().state() == QProcess::NotRunning; }, 20000);
        p.stop();
        const QString out = p.output();
        static const QRegularExpression re("^\\[(\\d+)\\]:\\s+(-?\\d+)", QRegularExpression::MultilineOption);
        auto it = re.globalMatch(out);
        while (it.hasNext())
            values << it.next().captured(2);
        if (values.isEmpty())
            qWarning("mbpoll said: %s", qPrintable(out));
        return p.exitCode();
    }

private slots:
    void initTestCase()
    {
        set_status_sink([this](const std::string &t) { statuses_ << QString::fromStdString(t); });
        set_message_box_sink([](const std::string &t, const std::string &c) {
            qWarning("box %s: %s", c.c_str(), t.c_str());
        });
    }
    void cleanupTestCase()
    {
        set_status_sink(nullptr);
        set_message_box_sink(nullptr);
    }

    void rtuAgainstPymodbus()
    {
        PtyPair pair;
        QVERIFY(pair.ok());
        PtyPair::mapPort(1, pair.a());
        TSLRTU_Form f;
        seed(&f);
        f.BitBtn1Click();
        QVERIFY2(f.BitBtn2->isEnabled(), qPrintable(statuses_.join('|')));
        const auto r = runClient("rtu", pair.b(), kAllCodes);
        checkAllCodes(&f, r);

        // mbpoll reads what pymodbus wrote and the operator set.
        QStringList values;
        mbpollRead({"-m", "rtu", "-a", "1", "-b", "9600", "-P", "none", "-d", "8", "-s", "1", "-t", "4", "-0", "-r",
                    "0", "-c", "3", "-1", "-o", "2", pair.b()},
                   values);
        QCOMPARE(values, (QStringList{"321", "1234", "32768"}));

        // Two requests without a pause run together: one CRC error, no answer.
        RawPty raw(pair.b());
        QVERIFY(raw.ok());
        const QByteArray req = hexBytes("010300000001 840A");
        raw.write(req + req);
        QCOMPARE(raw.readFor(400), QByteArray());
        QCOMPARE(f.Memo1->lines().size(), 2);
        QVERIFY(f.Memo1->lines()[1].startsWith("Mod Slave RTU CRC err"));
        QVERIFY(f.Memo1->lines()[1].endsWith("len=16"));
        // ...while one request with its pause is answered.
        raw.write(req);
        QCOMPARE(spaced(raw.readFor(400)), spaced(hexBytes("0103020141 79E4")));
        f.BitBtn2Click();
    }

    void asciiAgainstPymodbus()
    {
        PtyPair pair;
        QVERIFY(pair.ok());
        PtyPair::mapPort(2, pair.a());
        TSLASC_Form f;
        seed(&f);
        f.BitBtn1Click();
        QVERIFY2(f.BitBtn2->isEnabled(), qPrintable(statuses_.join('|')));
        const auto r = runClient("ascii", pair.b(), kAllCodes, 17);
        checkAllCodes(&f, r);

        // Two requests in one burst are both answered.
        RawPty raw(pair.b());
        QVERIFY(raw.ok());
        raw.write(QByteArray(":010300000001FB\r\n") + QByteArray(":F7030001000104\r\n"));
        QCOMPARE(QString::fromLatin1(raw.readFor(400)),
                 QString(":0103020141B8\r\n" ":F7030204D22E\r\n"));
        f.BitBtn2Click();
    }

    void tcpAgainstPymodbusAndMbpoll()
    {
        TSLTCP_Form f;
        const quint16 port = freeLoopbackPort();
        f.setListenPort(port);
        seed(&f);
        f.BitBtn1Click();
        QVERIFY(f.ServerSocket1->isListening());
        const QString where = QString("127.0.0.1:%1").arg(port);
        const auto r = runClient("tcp", where, kAllCodes, 0);
        checkAllCodes(&f, r);

        QStringList values;
        mbpollRead({"-m", "tcp", "-p", QString::number(port), "-a", "1", "-t", "4", "-0", "-r", "0", "-c", "3", "-1",
                    "127.0.0.1"},
                   values);
        QCOMPARE(values, (QStringList{"321", "1234", "32768"}));
        values.clear();
        mbpollRead({"-m", "tcp", "-p", QString::number(port), "-a", "255", "-t", "0", "-0", "-r", "0", "-c", "3", "-1",
                    "127.0.0.1"},
                   values);
        QCOMPARE(values, (QStringList{"0", "0", "1"}));
        QVERIFY(waitUntil([&] { return f.clientCount() == 0; }));
        f.BitBtn2Click();
    }

    // Four clients at once, each writing and reading back its own registers.
    void tcpFourClients()
    {
        TSLTCP_Form f;
        const quint16 port = freeLoopbackPort();
        f.setListenPort(port);
        f.BitBtn1Click();
        const QString where = QString("127.0.0.1:%1").arg(port);
        std::vector<std::unique_ptr<PeerProcess>> peers;
        for (int c = 0; c < 4; ++c) {
            QStringList cmds;
            for (int k = 0; k < 15; ++k) {
                const int reg = 100 * c + k;
                cmds << QString("wr:%1:%2").arg(reg).arg(c * 1000 + k) << QString("rh:%1:1").arg(reg);
            }
            peers.push_back(std::make_unique<PeerProcess>());
            QVERIFY(peers.back()->start(systemPython(), QStringList{clientScript(), "tcp", where, QString::number(c + 1)} + cmds));
        }
        QVERIFY(waitUntil(
            [&] {
                for (auto &p : peers)
                    if (p->process().state() != QProcess::NotRunning)
                        return false;
                return true;
            },
            60000));
        for (int c = 0; c < 4; ++c) {
            const QString out = peers[size_t(c)]->output();
            for (int k = 0; k < 15; ++k) {
                const int reg = 100 * c + k;
                QVERIFY2(out.contains(QString("wr:%1:%2 -> OK\n").arg(reg).arg(c * 1000 + k)), qPrintable(out));
                QVERIFY2(out.contains(QString("rh:%1:1 -> OK %2\n").arg(reg).arg(c * 1000 + k)), qPrintable(out));
                QCOMPARE(f.tables.holdingRegisters[reg], uint16_t(c * 1000 + k));
            }
        }
        f.BitBtn2Click();
    }

    // Raw streams: a request in two pieces, two requests in one write, and a
    // length field that cannot frame a request.
    void tcpRawStreams()
    {
        TSLTCP_Form f;
        const quint16 port = freeLoopbackPort();
        f.setListenPort(port);
        f.tables.holdingRegisters[0] = 0x1234;
        f.tables.holdingRegisters[1] = 0x5678;
        f.BitBtn1Click();
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(s.waitForConnected(3000));
        QVERIFY(waitUntil([&] { return f.clientCount() == 1; }));
        QVERIFY(f.Memo1->lines().last().endsWith("Client Connect"));

        QByteArray got;
        auto collect = [&](int want) {
            waitUntil([&] {
                got += s.readAll();
                return got.size() >= want;
            });
            waitUntil([&] { return false; }, 100);  // nothing more comes
            got += s.readAll();
        };

        const QByteArray req = hexBytes("000100000006010300000001");
        s.write(req.left(5));
        s.flush();
        waitUntil([&] { return false; }, 150);
        QVERIFY(s.bytesAvailable() == 0);
        s.write(req.mid(5));
        collect(11);
        QCOMPARE(spaced(got), spaced(hexBytes("0001000000050103021234")));

        got.clear();
        s.write(hexBytes("000200000006010300010001") + hexBytes("00030000000B01100002000204000A0102"));
        collect(23);
        QCOMPARE(spaced(got), spaced(hexBytes("0002000000050103025678") + hexBytes("000300000006011000020002")));
        QCOMPARE(f.tables.holdingRegisters[2], uint16_t(0x000A));
        QCOMPARE(f.StringGrid3->cellText(2, 4), QString("0x0102"));

        got.clear();
        s.write(hexBytes("0004000000FF0103"));
        QVERIFY(waitUntil([&] { return s.state() == QAbstractSocket::UnconnectedState; }));
        got += s.readAll();
        QCOMPARE(got, QByteArray());
        QVERIFY(f.Memo1->lines().contains("Mod Slave TCP length field error len=255, connection closed"));
        QVERIFY(waitUntil([&] { return f.clientCount() == 0; }));
        f.BitBtn2Click();
    }

    // Figures only: requests per second served to one pymodbus client.
    void tcpRequestsPerSecond()
    {
        TSLTCP_Form f;
        const quint16 port = freeLoopbackPort();
        f.setListenPort(port);
        f.BitBtn1Click();
        const auto r = runClient("tcp", QString("127.0.0.1:%1").arg(port), {"bench:3:20000"});
        const QStringList parts = r.value("bench:3:20000").split(' ');
        QVERIFY2(parts.size() == 4 && parts[0] == "OK", qPrintable(r.value("bench:3:20000")));
        qInfo("Slave TCP served %s requests in %s s: %s requests per second", qPrintable(parts[1]), qPrintable(parts[2]),
              qPrintable(parts[3]));

        // The same with a raw client in this process: the station's own cost.
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(s.waitForConnected(3000));
        s.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        const QByteArray req = hexBytes("000100000006010300000001");
        QElapsedTimer t;
        t.start();
        int done = 0;
        while (done < 20000 && t.elapsed() < 2000) {
            s.write(req);
            QElapsedTimer w;
            w.start();
            while (s.bytesAvailable() < 11 && w.elapsed() < 2000)
                QCoreApplication::processEvents(QEventLoop::AllEvents);
            if (s.bytesAvailable() < 11)
                break;
            s.read(11);
            ++done;
        }
        QVERIFY(done > 0);
        qInfo("Slave TCP with a raw in-process client: %d requests in %lld ms: %.0f requests per second", done,
              static_cast<long long>(t.elapsed()), done * 1000.0 / double(std::max<qint64>(1, t.elapsed())));
        f.BitBtn2Click();
    }
};

QTEST_MAIN(TestSlavePeers)
#include "tst_slave_peers.moc"

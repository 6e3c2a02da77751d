// The Master TCP station's framings other than Modbus/TCP: a read and a
// write against pymodbus's own servers (RTU frames on TCP, Modbus/UDP), and
// what scripted peers make of the edges (an RTU answer in pieces or with a
// broken CRC, a UDP answer to another transaction).
#include <QCheckBox>
#include <QComboBox>
#include <QSpinBox>
#include <QTcpServer>
#include <QTcpSocket>
#include <QNetworkDatagram>
#include <QTimer>
#include <QUdpSocket>

#include "Master_tcp.h"
#include "Peers.h"
#include "Station_rig.h"
#include "Traffic_panel.h"
#include "corvane.h"

namespace {

struct Rig {
    Recorder rec;
    TMSTCP_Form *form = new TMSTCP_Form;
    ~Rig() { delete form; }

    bool open(int framing, quint16 port)
    {
        child<QComboBox>(form, "Framing")->setCurrentIndex(framing);
        child<QLineEdit>(form, "Edit1")->setText("127.0.0.1");
        child<QLineEdit>(form, "MaskEdit4")->setText(QString::number(port));
        invoke(form, "BitBtn3Click");
        waitUntil([this] { return button(form, "BitBtn4")->isEnabled() || !rec.boxes.isEmpty(); });
        return button(form, "BitBtn4")->isEnabled() && !child<QComboBox>(form, "Framing")->isEnabled();
    }
    QStringList memo2() { return memo(form, "Memo2")->lines(); }
};

QByteArray withCrc(const QByteArray &body)
{
    uint8_t crc[2];
    CRC_check(reinterpret_cast<const uint8_t *>(body.constData()), int32_t(body.size()), crc);
    return body + char(crc[0]) + char(crc[1]);
}

}  // namespace

class TestMasterFraming : public QObject {
    Q_OBJECT
private slots:
    void peerExchange_data()
    {
        QTest::addColumn<int>("framing");
        QTest::addColumn<QString>("peer");
        QTest::addColumn<QString>("answer");  // Memo2's line for the read
        QTest::newRow("RTU over TCP") << int(TMSTCP_Form::FramingRtuOverTcp) << "rtu-over-tcp"
                                      << "Response Message: 01 03 06 03 E8 03 E9 03 EA 11 9E ";
        QTest::newRow("Modbus/UDP") << int(TMSTCP_Form::FramingUdp) << "udp"
                                    << "Response message: 00 00 00 00 00 09 01 03 06 03 E8 03 E9 03 EA ";
    }
    void peerExchange()
    {
        QFETCH(int, framing);
        QFETCH(QString, peer);
        QFETCH(QString, answer);
        const quint16 port = freeLoopbackPort();
        PeerProcess server;
        QVERIFY(server.start(systemPython(), {testSourcePath("peers/framing_server.py"), peer, QString::number(port)}));
        QVERIFY2(server.waitForOutput("READY"), qPrintable(server.output()));
        Rig r;
        QVERIFY(r.open(framing, port));
        setRequest(r.form, 2, 1, 1, 3);
        invoke(r.form, "BitBtn1Click");
        QVERIFY(waitUntil([&] { return gridRow(grid(r.form), 1).contains("0x03E8"); }));
        QCOMPARE(r.memo2(), QStringList{answer});
        // A write from the grid, read back from the server.
        DialogSeen seen;
        answerDialog(seen, "7FFF");
        grid(r.form)->selectCell(2, 2);
        invoke(r.form, "BitBtn2Click");
        QVERIFY(waitUntil([&] { return gridRow(grid(r.form), 2).contains("0x7FFF"); }));
        invoke(r.form, "BitBtn1Click");
        QVERIFY(waitUntil([&] { return r.memo2().value(0).contains(framing == 1 ? "03 06 03 E8 7F FF" : "06 03 E8 7F FF"); }));
        QVERIFY(r.rec.boxes.isEmpty());
        // The history decodes each frame in the layout it travelled in.
        auto *panel = r.form->findChild<TrafficPanel *>();
        panel->refresh();
        const QAbstractItemModel *lines = panel->view()->model();
        QVERIFY(lines->rowCount() >= 3);
        const QString note = framing == TMSTCP_Form::FramingUdp ? "  tid 0 unit 1 fn 3 bytes 6 in" : "  unit 1 fn 3 bytes 6 in";
        QVERIFY2(lines->index(2, 0).data().toString().contains(note), qPrintable(lines->index(2, 0).data().toString()));
    }

    // RTU over TCP: an answer is whole at its length with a right CRC, in
    // however many pieces; one whose CRC is wrong is checked when the
    // time-out comes, logged and counted as on Master RTU.
    void rtuAnswers_data()
    {
        QTest::addColumn<QList<QByteArray>>("pieces");
        QTest::addColumn<QStringList>("memo2");
        QTest::addColumn<QString>("stats");
        const QByteArray good = withCrc(hexBytes("0103020007"));
        QTest::newRow("in pieces") << QList<QByteArray>{good.left(1), good.mid(1, 4), good.mid(5)}
                                   << QStringList{"Response Message: 01 03 02 00 07 F9 86 "} << "Rx 1  Exc 0  Err 0";
        QTest::newRow("exception") << QList<QByteArray>{withCrc(hexBytes("018302"))}
                                   << QStringList{"Response Message: 01 83 02 C0 F1 "} << "Rx 1  Exc 1  Err 0";
        QByteArray bad = good;
        bad[6] = char(bad[6] ^ 1);
        QTest::newRow("CRC error") << QList<QByteArray>{bad}
                                   << QStringList{"Response Message: 01 03 02 00 07 F9 87 ",
                                                  "CRC error: Recv[249 135] Calc[249 134]"}
                                   << "Rx 0  Exc 0  Err 1";
    }
    void rtuAnswers()
    {
        QFETCH(QList<QByteArray>, pieces);
        QFETCH(QStringList, memo2);
        QFETCH(QString, stats);
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        QByteArray request;
        connect(&server, &QTcpServer::newConnection, this, [&] {
            QTcpSocket *c = server.nextPendingConnection();
            connect(c, &QTcpSocket::readyRead, c, [&, c] {
                request = c->readAll();
                for (const QByteArray &p : pieces) {
                    c->write(p);
                    c->flush();
                    QTest::qWait(20);
                }
            });
        });
        Rig r;
        child<QSpinBox>(r.form, "TimeoutMs")->setValue(300);
        QVERIFY(r.open(TMSTCP_Form::FramingRtuOverTcp, server.serverPort()));
        setRequest(r.form, 2, 1, 1, 1);
        invoke(r.form, "BitBtn1Click");
        waitUntil([&] { return r.memo2() == memo2; }, 2000);
        QCOMPARE(r.memo2(), memo2);
        QCOMPARE(request, withCrc(hexBytes("010300000001")));
        QVERIFY(waitUntil([&] { return child<QLabel>(r.form, "StatsLabel")->text().contains(stats); }, 2000));
    }

    // Modbus/UDP while polling: a datagram with another transaction is
    // dropped as late; the one with the request's transaction is the answer.
    void udpLateAnswer()
    {
        QUdpSocket peer;
        QVERIFY(peer.bind(QHostAddress::LocalHost, 0));
        connect(&peer, &QUdpSocket::readyRead, this, [&] {
            while (peer.hasPendingDatagrams()) {
                const QNetworkDatagram d = peer.receiveDatagram();
                const QByteArray late = hexBytes("777700000005010302002A");
                peer.writeDatagram(late, d.senderAddress(), quint16(d.senderPort()));
                QByteArray answer = late;
                answer[0] = d.data()[0];
                answer[1] = d.data()[1];
                QTimer::singleShot(100, &peer, [&peer, answer, d] {
                    peer.writeDatagram(answer, d.senderAddress(), quint16(d.senderPort()));
                });
            }
        });
        Rig r;
        QVERIFY(r.open(TMSTCP_Form::FramingUdp, peer.localPort()));
        setRequest(r.form, 2, 1, 1, 1);
        child<QCheckBox>(r.form, "PollBox")->setChecked(true);
        QVERIFY(waitUntil([&] { return !r.memo2().isEmpty(); }));
        QCOMPARE(r.memo2(), QStringList{"Late answer dropped: 77 77 00 00 00 05 01 03 02 00 2A "});
        QVERIFY(!gridRow(grid(r.form), 1).contains("0x002A"));
        QVERIFY(waitUntil([&] { return gridRow(grid(r.form), 1).contains("0x002A"); }));
        child<QCheckBox>(r.form, "PollBox")->setChecked(false);
        QCOMPARE(r.memo2(), QStringList{"Response message: 00 01 00 00 00 05 01 03 02 00 2A "});
    }
};

QTEST_MAIN(TestMasterFraming)
#include "tst_master_framing.moc"

// The traffic history of a slave station: the Slave TCP station on loopback
// records the client's connection and a known exchange with the client's
// address, saves it as CSV and as a capture tshark decodes, and stays
// bounded and responsive under a flood of requests.
#include <QComboBox>
#include <QFile>
#include <QNetworkDatagram>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTableView>
#include <QTemporaryDir>
#include <QThread>
#include <QUdpSocket>
#include <QtTest>

#include <fstream>

#include "Gui_services.h"
#include "robust/Modbus_client.h"
#include "Notices.h"
#include "Peers.h"
#include "Slave_tcp.h"
#include "Traffic_panel.h"
#include "corvane.h"

namespace {

QStringList viewLines(TSLTCP_Form &form)
{
    auto *panel = form.findChild<TrafficPanel *>();
    panel->refresh();
    QStringList lines;
    const QAbstractItemModel *model = panel->view()->model();
    for (int r = 0; r < model->rowCount(); ++r)
        lines << model->index(r, 0).data().toString().mid(24);  // after the time stamp
    return lines;
}

bool saveAs(TSLTCP_Form &form, const QString &path)
{
    set_save_name_asker([path](QWidget *, const QStringList &) { return path; });
    QTest::mouseClick(form.findChild<QPushButton *>("SaveTraffic"), Qt::LeftButton);
    set_save_name_asker({});
    return QFile::exists(path);
}

long residentKb()
{
    std::ifstream status("/proc/self/status");
    std::string word;
    while (status >> word)
        if (word == "VmRSS:") {
            long kb = 0;
            status >> kb;
            return kb;
        }
    return 0;
}

}  // namespace

class TestSlaveTraffic : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        set_message_box_sink([this](const std::string &t, const std::string &) { boxes_ << QString::fromStdString(t); });
        boxes_.clear();
    }
    void cleanup() { set_message_box_sink(nullptr); }
    void exchangeLandsInTheHistoryAndSaves();
    void floodStaysBoundedAndResponsive();
    void otherFramings_data();
    void otherFramings();

private:
    QStringList boxes_;
};

void TestSlaveTraffic::exchangeLandsInTheHistoryAndSaves()
{
    TSLTCP_Form form;
    form.tables.holdingRegisters[0] = 0x1234;
    form.tables.holdingRegisters[1] = 0x5678;
    const quint16 port = freeLoopbackPort();
    form.setListenPort(port);
    form.BitBtn1Click();
    QVERIFY(form.serverOpen());

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(waitUntil([&] { return client.state() == QAbstractSocket::ConnectedState && form.clientCount() == 1; }));
    client.write(QByteArray::fromHex("000100000006010300000002"));
    QByteArray answer;
    QVERIFY(waitUntil([&] {
        answer += client.readAll();
        return answer.size() >= 13;
    }));
    QCOMPARE(answer, QByteArray::fromHex("00010000000701030412345678"));
    const QString c = QString::number(client.localPort()), s = QString::number(port);
    client.disconnectFromHost();
    QVERIFY(waitUntil([&] { return form.clientCount() == 0; }));

    const QString peer = "127.0.0.1:" + c;
    QCOMPARE(viewLines(form), QStringList({
        QString("-- server listening on port %1").arg(port),
        "-- " + peer + " connected",
        "RX " + peer + " 00 01 00 00 00 06 01 03 00 00 00 02  tid 1 unit 1 fn 3 addr 0 count 2",
        "TX " + peer + " 00 01 00 00 00 07 01 03 04 12 34 56 78  tid 1 unit 1 fn 3 bytes 4",
        "-- " + peer + " disconnected",
    }));

    QTemporaryDir dir;
    QVERIFY(saveAs(form, dir.filePath("s.csv")));
    QFile csv(dir.filePath("s.csv"));
    QVERIFY(csv.open(QIODevice::ReadOnly));
    const QList<QByteArray> rows = csv.readAll().split('\n');
    QCOMPARE(rows.size(), 1 + 5 + 1);
    QVERIFY2(rows[3].contains(",RX," + peer.toLatin1() + ",00 01 00 00 00 06 01 03 00 00 00 02,tid 1 unit 1 fn 3"),
             rows[3].constData());

    const QString pcap = dir.filePath("s.pcap");
    QVERIFY(saveAs(form, pcap));
    QVERIFY(boxes_.isEmpty());
    const QString tshark = QStandardPaths::findExecutable("tshark");
    if (tshark.isEmpty())
        QSKIP("tshark is not installed (scripts/install-deps.sh installs it): the capture was not read back");
    QProcess p;
    p.start(tshark, {"-r", pcap, "-d", QString("tcp.port==%1,mbtcp").arg(port), "-o",
                     QString("mbtcp.tcp.port:%1").arg(port), "-T", "fields", "-e", "tcp.srcport",
                     "-e", "tcp.dstport", "-e", "mbtcp.unit_id", "-e", "modbus.func_code", "-e",
                     "modbus.reference_num"});
    QVERIFY(p.waitForFinished(60000));
    QCOMPARE(QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts),
             QStringList({c + "\t" + s + "\t1\t3\t0", s + "\t" + c + "\t1\t3\t"}));
}

void TestSlaveTraffic::floodStaysBoundedAndResponsive()
{
    TSLTCP_Form form;
    const quint16 port = freeLoopbackPort();
    form.setListenPort(port);
    form.BitBtn1Click();
    QVERIFY(form.serverOpen());
    form.resize(716, 387);
    form.show();
    form.PageControl1->setCurrentIndex(4);  // the view follows the flood
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    const long before = residentKb();

    // One client pipelines batches of reads of 10 registers: 60 000 requests
    // and their answers are more events than the history keeps.
    constexpr int kBatches = 600, kBatch = 100;
    constexpr qint64 kDeadlineMs = 90000;
    std::atomic<int> answered{0};
    std::atomic<bool> failed{false};
    QThread *client = QThread::create([&] {
        BlockingClient c;
        if (!c.connectTo(port)) {
            failed = true;
            return;
        }
        QElapsedTimer t;
        t.start();
        for (int b = 0; b < kBatches && t.elapsed() < kDeadlineMs && !failed; ++b) {
            QByteArray batch;
            for (int i = 0; i < kBatch; ++i)
                batch += mbap(quint16(b * kBatch + i), 1, QByteArray::fromHex("030000000A"));
            if (!c.send(batch))
                failed = true;
            QByteArray answer;
            for (int i = 0; i < kBatch && !failed; ++i) {
                if (c.receive(answer) && answer.size() == 29)
                    ++answered;
                else
                    failed = true;
            }
        }
    });
    StallWatch stalls;
    QElapsedTimer t;
    t.start();
    client->start();
    QVERIFY(waitUntil([&] { return client->isFinished(); }, int(kDeadlineMs + 10000)));
    delete client;
    const double seconds = double(t.elapsed()) / 1000;
    QVERIFY(!failed);
    QCOMPARE(answered.load(), kBatches * kBatch);

    auto *panel = form.findChild<TrafficPanel *>();
    QVERIFY(waitUntil([&] { return form.clientCount() == 0; }));
    panel->refresh();
    QCOMPARE(panel->view()->model()->rowCount(), int(Traffic_history::kCapacity));
    QCOMPARE(form.traffic.history().size(), Traffic_history::kCapacity);
    QCOMPARE(form.traffic.history().end_seq(), uint64_t(2 * kBatches * kBatch + 3));  // + listening, connected, disconnected
    QVERIFY2(stalls.longestMs() < 1000, qPrintable(QString("the event loop stalled %1 ms").arg(stalls.longestMs())));
    qInfo("flood: %d requests in %.1f s, longest stall %.0f ms, resident memory %+ld kB with a full history",
          kBatches * kBatch, seconds, stalls.longestMs(), residentKb() - before);
}

namespace {

QByteArray withCrc(const char *hex)
{
    QByteArray b = QByteArray::fromHex(hex);
    uint8_t crc[2];
    CRC_check(reinterpret_cast<const uint8_t *>(b.constData()), int32_t(b.size()), crc);
    return b + QByteArray(reinterpret_cast<const char *>(crc), 2);
}

// pymodbus (tests/peers/slave_client.py) run to its end while the event
// loop, and so the station, runs: its "COMMAND -> RESULT" results.
QStringList pymodbus(const QString &mode, quint16 port, const QStringList &commands)
{
    PeerProcess p;
    if (!p.start(systemPython(), QStringList{testSourcePath("peers/slave_client.py"), mode,
                                             "127.0.0.1:" + QString::number(port), "1"} +
                                     commands))
        return {"ERR no python"};
    waitUntil([&] { return p.process().state() == QProcess::NotRunning; }, 30000);
    QStringList results;
    for (const QString &line : p.output().split('\n'))
        if (line.contains(" -> "))
            results << line.section(" -> ", 1).trimmed();
    return results;
}

// What arrives on a socket within ms, the event loop running.
QByteArray arrivingWithin(QAbstractSocket &s, int ms)
{
    QByteArray got;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (auto *u = qobject_cast<QUdpSocket *>(&s))
            while (u->hasPendingDatagrams())
                got += u->receiveDatagram().data();
        else
            got += s.readAll();
    }
    return got;
}

}  // namespace

// The Slave TCP station in its other framings: pymodbus served in each, the
// item fixed while the server is open, the unit filter as each framing has
// it (ignored on RTU over TCP as on a line, 0B on UDP), an unfinished RTU
// request given up after 1 s, and the capture decoded by tshark.
void TestSlaveTraffic::otherFramings_data()
{
    QTest::addColumn<int>("item");
    QTest::addColumn<QString>("mode");           // slave_client.py's
    QTest::addColumn<QString>("peerLine");       // the request's line in the view, after the peer
    QTest::addColumn<QByteArray>("otherUnit");   // a read for unit 9 ...
    QTest::addColumn<QByteArray>("otherAnswer"); // ... and what comes back within 500 ms
    QTest::addColumn<QStringList>("decode");     // tshark's options for this port (PORT)
    QTest::addColumn<QStringList>("fields");     // the transport, and the field of the unit
    QTest::newRow("RTU over TCP") << 1 << "rtutcp" << "01 10 00 03 00 02 04 00 07 00 08 03 BD  unit 1 fn 16 addr 3 count 2"
                                  << withCrc("090300000001") << QByteArray()
                                  << QStringList{"-d", "tcp.port==PORT,mbrtu", "-o", "mbrtu.tcp.port:PORT"}
                                  << QStringList{"tcp", "mbrtu.unit_id"};
    QTest::newRow("Modbus/UDP") << 2 << "udp" << "00 01 00 00 00 0B 01 10 00 03 00 02 04 00 07 00 08  tid 1 unit 1 fn 16 addr 3 count 2"
                                << QByteArray::fromHex("00070000000609030000000A")
                                << QByteArray::fromHex("00070000000309830B")
                                << QStringList{"-o", "mbudp.udp.port:PORT", "-o", "mbtcp.tcp.port:PORT"}
                                << QStringList{"udp", "mbtcp.unit_id"};
}

void TestSlaveTraffic::otherFramings()
{
    QFETCH(int, item);
    QFETCH(QString, mode);
    QFETCH(QString, peerLine);
    QFETCH(QByteArray, otherUnit);
    QFETCH(QByteArray, otherAnswer);
    QFETCH(QStringList, decode);
    QFETCH(QStringList, fields);
    TSLTCP_Form form;
    QCOMPARE(form.Framing->currentText(), QString("Modbus/TCP"));
    const quint16 port = freeLoopbackPort();
    form.setListenPort(port);
    form.Framing->setCurrentIndex(item);
    std::string error;
    QVERIFY(UnitFilter::parse("1", form.bench.units, error));
    form.BitBtn1Click();
    QVERIFY(form.serverOpen());
    QVERIFY(!form.Framing->isEnabled());
    QCOMPARE(pymodbus(mode, port, {"wrs:3:7,8", "rh:3:2"}), QStringList({"OK", "OK 7 8"}));

    std::unique_ptr<QAbstractSocket> raw;
    if (item == TSLTCP_Form::FramingUdp)
        raw = std::make_unique<QUdpSocket>();
    else
        raw = std::make_unique<QTcpSocket>();
    raw->connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(raw->waitForConnected(3000));
    raw->write(otherUnit);
    QCOMPARE(arrivingWithin(*raw, 500).toHex(), otherAnswer.toHex());
    if (item == TSLTCP_Form::FramingRtuOverTcp) {
        raw->write(withCrc("010300000001").left(3));
        QVERIFY(waitUntil([&] { return form.Memo1->lines().join('\n').contains("request not finished in 1 s, 3 bytes dropped"); },
                          3000));
    }
    raw.reset();
    form.BitBtn2Click();
    QVERIFY(form.Framing->isEnabled());

    const QStringList lines = viewLines(form);
    QVERIFY2(lines.filter(QRegularExpression("^RX 127\\.0\\.0\\.1:\\d+ " + QRegularExpression::escape(peerLine) + "$")).size() == 1,
             qPrintable(lines.join('\n')));
    QTemporaryDir dir;
    const QString pcap = dir.filePath("s.pcap");
    QVERIFY(saveAs(form, pcap));
    QVERIFY2(boxes_.isEmpty(), qPrintable(boxes_.join('\n')));
    const QString tshark = QStandardPaths::findExecutable("tshark");
    if (tshark.isEmpty())
        QSKIP("tshark is not installed (scripts/install-deps.sh installs it): the capture was not read back");
    QProcess p;
    const QString proto = fields[0];
    p.start(tshark, QStringList{"-r", pcap} + decode.replaceInStrings("PORT", QString::number(port)) +
                        QStringList{"-T", "fields", "-e", proto + ".srcport", "-e", proto + ".dstport", "-e", fields[1],
                                    "-e", "modbus.func_code", "-e", "modbus.reference_num"});
    QVERIFY(p.waitForFinished(60000));
    // The write and the read of pymodbus, requests (C to S) and answers, told
    // apart by tshark; the ports as C (the client) and S (the station).
    QStringList got;
    for (const QString &line : QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts)) {
        QStringList f = line.split('\t');
        for (int i = 0; i < 2 && i < f.size(); ++i)
            f[i] = f[i] == QString::number(port) ? "S" : "C";
        got << f.join(' ');
    }
    QVERIFY2(got.size() >= 4, qPrintable(got.join('\n')));
    QCOMPARE(got.mid(0, 4), QStringList({"C S 1 16 3", "S C 1 16 3", "C S 1 3 3", "S C 1 3 "}));
}

QTEST_MAIN(TestSlaveTraffic)
#include "tst_slave_traffic.moc"

// The traffic history of a slave station: the Slave TCP station on loopback
// records the client's connection and a known exchange with the client's
// address, saves it as CSV and as a capture tshark decodes, and stays
// bounded and responsive under a flood of requests.
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTableView>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <fstream>

#include "Gui_services.h"
#include "robust/Modbus_client.h"
#include "Notices.h"
#include "Peers.h"
#include "Slave_tcp.h"
#include "Traffic_panel.h"

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

QTEST_MAIN(TestSlaveTraffic)
#include "tst_slave_traffic.moc"

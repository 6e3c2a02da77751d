// The saved traffic files: CSV read back by Python's csv module, captures
// read back by tshark (skipped with a message when tshark is missing), and
// the failures a file can meet.
#include <QtTest>

#include <ctime>

#include "Pcap_writer.h"
#include "Station_traffic.h"
#include "Traffic_csv.h"
#include "Traffic_history.h"

namespace {
// 2026-12-08 14:03:07.125 UTC
constexpr int64_t kT0 = 1796738587125;

std::string bytes(const char *hexText)
{
    const QByteArray b = QByteArray::fromHex(hexText);
    return std::string(b.constData(), size_t(b.size()));
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A known exchange of a TCP slave at 127.0.0.1:port with a client at
// 127.0.0.1:40512: read 3 holding registers from 107 (unit 17), write
// register 4 := 1234 (unit 1), and an exception answer.
void tcpExchange(Traffic_history &history, uint16_t port, const Traffic_endpoint &peer)
{
    const Traffic_info at{.local = Traffic_endpoint::ipv4(0x7F000001, port), .peer = peer};
    history.add_event("connected", at);
    history.add_frame(Traffic_direction::Rx, bytes("000100000006 1103006B0003"), at);
    history.add_frame(Traffic_direction::Tx, bytes("000100000009 110306 022B00000064"), at);
    history.add_frame(Traffic_direction::Rx, bytes("000200000006 0106000404D2"), at);
    history.add_frame(Traffic_direction::Tx, bytes("000200000006 0106000404D2"), at);
    history.add_frame(Traffic_direction::Rx, bytes("000300000006 010300000001"), at);
    history.add_frame(Traffic_direction::Tx, bytes("000300000003 018302"), at);
}
}  // namespace

class TestTrafficFiles : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init() { now_ = kT0; }
    void csvReadsBackField_data();
    void csvReadsBackField();
    void tcpCaptureDecodes_data();
    void tcpCaptureDecodes();
    void rtuCaptureDecodes();
    void asciiCaptureRefused();
    void droppedBytesAreFrames_data();
    void droppedBytesAreFrames();
    void writeFailuresGiveTheReason_data();
    void writeFailuresGiveTheReason();

private:
    // tshark's fields, one line per packet, tab separated; skips the test
    // when tshark is missing.
    QStringList tshark(const QStringList &args);

    QTemporaryDir dir_;
    int64_t now_ = kT0;
    Traffic_history::Clock clock_ = [this] { return now_ += 5; };
};

void TestTrafficFiles::initTestCase()
{
    qputenv("TZ", "UTC");
    tzset();
    QVERIFY(dir_.isValid());
}

QStringList TestTrafficFiles::tshark(const QStringList &args)
{
    const QString program = QStandardPaths::findExecutable("tshark");
    if (program.isEmpty())
        QTest::qSkip("tshark is not installed (scripts/install-deps.sh installs it): the capture was not read back",
                     __FILE__, __LINE__);
    if (program.isEmpty())
        return {};
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        qWarning("tshark did not finish");
        return {};
    }
    if (p.exitCode() != 0)
        qWarning("tshark: %s", p.readAllStandardError().constData());
    return QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
}

void TestTrafficFiles::csvReadsBackField_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");
    QTest::addColumn<QString>("field");
    QTest::newRow("header") << 0 << 4 << "note";
    QTest::newRow("time") << 1 << 0 << "2026-12-08T14:03:07.130+00:00";
    QTest::newRow("direction") << 2 << 1 << "RX";
    QTest::newRow("peer") << 2 << 2 << "127.0.0.1:40512";
    QTest::newRow("bytes") << 2 << 3 << "00 01 00 00 00 06 11 03 00 6B 00 03";
    QTest::newRow("note") << 2 << 4 << "tid 1 unit 17 fn 3 addr 107 count 3";
    QTest::newRow("event direction") << 8 << 1 << "--";
    QTest::newRow("quote, comma, line break") << 8 << 4 << "peer said \"no\", then\nclosed";
    QTest::newRow("blanks kept") << 9 << 4 << " spaced ";
    QTest::newRow("ascii text as hex") << 10 << 3 << "3A 30 31 0D 0A";
}

void TestTrafficFiles::csvReadsBackField()
{
    QFETCH(int, row);
    QFETCH(int, column);
    QFETCH(QString, field);
    Traffic_history history(Traffic_framing::Tcp, Traffic_side::Slave, clock_);
    tcpExchange(history, 502, Traffic_endpoint::ipv4(0x7F000001, 40512));
    history.add_event("peer said \"no\", then\nclosed");
    history.add_event(" spaced ");
    history.add_event("x", {}, ":01\r\n");
    const QString path = dir_.filePath("traffic.csv");
    const Save_result saved = save_traffic_csv(history, path.toStdString());
    QVERIFY2(saved.ok, saved.error.c_str());
    QCOMPARE(saved.written, size_t(10));
    QVERIFY(readAll(path).startsWith("time,direction,peer,bytes,note\r\n"));

    QProcess python;
    python.start("/usr/bin/python3", {"-c",
        "import csv, json, sys\n"
        "with open(sys.argv[1], newline='', encoding='utf-8') as f:\n"
        "    rows = list(csv.reader(f, strict=True))\n"
        "assert all(len(r) == 5 for r in rows), rows\n"
        "print(json.dumps(rows))\n", path});
    QVERIFY(python.waitForFinished(30000));
    QVERIFY2(python.exitCode() == 0, python.readAllStandardError().constData());
    const QJsonArray rows = QJsonDocument::fromJson(python.readAllStandardOutput()).array();
    QCOMPARE(rows.size(), 11);
    QCOMPARE(rows.at(row).toArray().at(column).toString(), field);
}

void TestTrafficFiles::tcpCaptureDecodes_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<QStringList>("options");
    // frame, source port, unit, function, address, exception, IP and TCP
    // checksums (1: good)
    QTest::addColumn<QStringList>("packets");
    const QStringList exchange{"1\t40512\t17\t3\t107\t\t1\t1", "2\t502\t17\t3\t\t\t1\t1",
                               "3\t40512\t1\t6\t4\t\t1\t1",    "4\t502\t1\t6\t4\t\t1\t1",
                               "5\t40512\t1\t3\t0\t\t1\t1",    "6\t502\t1\t3\t\t2\t1\t1"};
    QTest::newRow("port 502") << 502 << QStringList() << exchange;
    QStringList other = exchange;
    other.replaceInStrings("\t502\t", "\t1502\t");
    QTest::newRow("port 1502") << 1502 << QStringList{"-d", "tcp.port==1502,mbtcp", "-o", "mbtcp.tcp.port:1502"}
                               << other;
}

void TestTrafficFiles::tcpCaptureDecodes()
{
    QFETCH(int, port);
    QFETCH(QStringList, options);
    QFETCH(QStringList, packets);
    Traffic_history history(Traffic_framing::Tcp, Traffic_side::Slave, clock_);
    tcpExchange(history, uint16_t(port), Traffic_endpoint::ipv4(0x7F000001, 40512));
    tcpExchange(history, uint16_t(port), *Traffic_endpoint::parse("::1", 40513));
    const QString path = dir_.filePath(QString("slave-%1.pcap").arg(port));
    const Save_result saved = save_traffic_pcap(history, path.toStdString());
    QVERIFY2(saved.ok, saved.error.c_str());
    QCOMPARE(saved.written, size_t(6));
    QCOMPARE(saved.remark, std::string("6 frames of IPv6 connections are not in the capture: it holds IPv4 "
                                       "connections only. The CSV file has them all."));
    // Little-endian magic a1b2c3d4, version 2.4, snap length 65535, link type 228.
    QCOMPARE(readAll(path).left(24).toHex(), QByteArray("d4c3b2a1020004000000000000000000ffff0000e4000000"));

    const QStringList fields = tshark(QStringList{"-r", path, "-o", "ip.check_checksum:TRUE", "-o",
                                                  "tcp.check_checksum:TRUE"} + options +
                                      QStringList{"-T", "fields", "-e", "frame.number", "-e", "tcp.srcport",
                                                  "-e", "mbtcp.unit_id", "-e", "modbus.func_code", "-e",
                                                  "modbus.reference_num", "-e", "modbus.exception_code",
                                                  "-e", "ip.checksum.status", "-e",
                                                  "tcp.checksum.status"});
    QCOMPARE(fields, packets);
    // Each direction's sequence numbers run on by the bytes it sent, and
    // each segment acknowledges what the other side sent.
    const QStringList seq = tshark({"-r", path, "-T", "fields", "-e", "tcp.seq_raw", "-e", "tcp.ack_raw"});
    QCOMPARE(seq, QStringList({"1\t1", "1\t13", "13\t16", "16\t25", "25\t28", "28\t37"}));
}

void TestTrafficFiles::rtuCaptureDecodes()
{
    Traffic_history history(Traffic_framing::Rtu, Traffic_side::Master, clock_);
    history.add_frame(Traffic_direction::Tx, bytes("1103006B00037687"));
    history.add_frame(Traffic_direction::Rx, bytes("110306AE415652434049AD"), {.response_ms = 12});
    history.add_event("time-out");
    history.add_frame(Traffic_direction::Tx, bytes("010400080001B008"));
    history.add_frame(Traffic_direction::Rx, bytes("010402000A3937"));
    history.add_frame(Traffic_direction::Rx, bytes("018302C0F1"));
    const QString path = dir_.filePath("master.pcap");
    const Save_result saved = save_traffic_pcap(history, path.toStdString());
    QVERIFY2(saved.ok, saved.error.c_str());
    QCOMPARE(saved.written, size_t(5));
    QCOMPARE(readAll(path).mid(20, 4).toHex(), QByteArray("93000000"));  // link type 147

    const QStringList fields = tshark({"-r", path, "-o", R"x(uat:user_dlts:"User 0 (DLT=147)","mbrtu","0","","0","")x",
                                       "-o", "mbrtu.crc_verification:TRUE", "-T", "fields", "-e", "mbrtu.unit_id",
                                       "-e", "modbus.func_code", "-e", "modbus.reference_num", "-e",
                                       "modbus.exception_code", "-e", "modbus.regval_uint16", "-e",
                                       "mbrtu.crc16.status"});
    // unit, function, address, exception, values, CRC (1: good)
    QCOMPARE(fields, QStringList({"17\t3\t107\t\t\t1", "17\t3\t\t\t44609,22098,17216\t1", "1\t4\t8\t\t\t1",
                                  "1\t4\t\t\t10\t1", "1\t3\t\t2\t\t1"}));
}

void TestTrafficFiles::asciiCaptureRefused()
{
    Traffic_history history(Traffic_framing::Ascii, Traffic_side::Slave, clock_);
    history.add_frame(Traffic_direction::Rx, ":1103006B00037E\r\n");
    const QString path = dir_.filePath("ascii.pcap");
    const Save_result saved = save_traffic_pcap(history, path.toStdString());
    QVERIFY(!saved.ok);
    QCOMPARE(saved.error, pcap_refusal(history));
    QVERIFY(saved.error.find(".csv") != std::string::npos);
    QVERIFY(!QFile::exists(path));
}

// Bytes that crossed the wire are received frames in both files, whatever
// became of them, noted with what happened.
void TestTrafficFiles::droppedBytesAreFrames_data()
{
    QTest::addColumn<int>("framing");
    QTest::addColumn<int>("side");
    QTest::addColumn<int>("why");
    QTest::addColumn<QString>("frame");
    QTest::addColumn<QString>("row");  // the dropped bytes' row of the CSV file, after the time
    const int rtu = int(Traffic_framing::Rtu), tcp = int(Traffic_framing::Tcp);
    const int master = int(Traffic_side::Master), slave = int(Traffic_side::Slave);
    QTest::newRow("late answer") << tcp << master << int(Traffic_drop::Late) << "000500000005 01030200 2A"
        << "RX,127.0.0.1:502,00 05 00 00 00 05 01 03 02 00 2A,tid 5 unit 1 fn 3 bytes 2; late";
    QTest::newRow("answer cut short") << rtu << master << int(Traffic_drop::Cut_short) << "010302"
        << "RX,,01 03 02,short frame (3 bytes); cut short";
    QTest::newRow("bad length field") << tcp << slave << int(Traffic_drop::Bad_length) << "000100000000 0103"
        << "RX,127.0.0.1:502,00 01 00 00 00 00 01 03,tid 1 unit 1 fn 3 short frame length field 0; bad length";
}

void TestTrafficFiles::droppedBytesAreFrames()
{
    QFETCH(int, framing);
    QFETCH(int, side);
    QFETCH(int, why);
    QFETCH(QString, frame);
    QFETCH(QString, row);
    const bool tcp = framing == int(Traffic_framing::Tcp);
    Station_traffic traffic(Traffic_framing(framing), Traffic_side(side), clock_);
    if (tcp)
        traffic.set_link({.local = Traffic_endpoint::ipv4(0x7F000001, 40512),
                          .peer = Traffic_endpoint::ipv4(0x7F000001, 502)});
    traffic.tx("\x01\x02", 2);  // a request before: the dropped bytes answer none
    const std::string data = bytes(frame.toLatin1().constData());
    traffic.dropped(data.data(), data.size(), Traffic_drop(why));
    QCOMPARE(traffic.history().size(), size_t(2));  // no checksum line

    const QString csv = dir_.filePath("dropped.csv"), pcap = dir_.filePath("dropped.pcap");
    QVERIFY(save_traffic_csv(traffic.history(), csv.toStdString()).ok);
    QCOMPARE(QString::fromLatin1(readAll(csv)).split("\r\n").at(2).section(',', 1), row);
    const Save_result saved = save_traffic_pcap(traffic.history(), pcap.toStdString());
    QCOMPARE(saved.written, size_t(2));
}

void TestTrafficFiles::writeFailuresGiveTheReason_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("reason");
    QTest::newRow("no such folder") << "/nonexistent-quillan/t.csv" << "No such file or directory";
    QTest::newRow("a folder") << "/tmp" << "Is a directory";
    QTest::newRow("disk full") << "/dev/full" << "No space left on device";
}

void TestTrafficFiles::writeFailuresGiveTheReason()
{
    QFETCH(QString, path);
    QFETCH(QString, reason);
    Traffic_history history(Traffic_framing::Rtu, Traffic_side::Master, clock_);
    history.add_frame(Traffic_direction::Tx, bytes("1103006B00037687"));
    for (auto save : {save_traffic_csv, save_traffic_pcap}) {
        const Save_result saved = save(history, path.toStdString());
        QVERIFY(!saved.ok);
        QCOMPARE(QString::fromStdString(saved.error), QString("Cannot write \"%1\": %2").arg(path, reason));
    }
    QCOMPARE(history.size(), size_t(1));
    QVERIFY(QFileInfo(path).exists() == (path != "/nonexistent-quillan/t.csv"));  // /dev/full stays
}

QTEST_GUILESS_MAIN(TestTrafficFiles)
#include "tst_traffic_files.moc"

// quillan-sniff as a black box: its command line, and a live line end to end.
// A pymodbus master talks to quillan-slave through a tap (tests/peers/
// line_tap.py) that copies both directions, with their gaps, onto a third
// pty pair where quillan-sniff listens: its history matches the slave's own
// log one for one, tshark decodes its capture, its mirrored tables agree
// with the slave's for every address read, and not one byte comes back from
// it.
#include <QtTest>

#include "Headless_child.h"

namespace {

// The frames of a history printed by --log: "01 03 ... request" for the
// monitor's lines; for the slave's, RX lines are requests and TX answers.
QStringList frames(const QString &log)
{
    static const QRegularExpression re(R"(^\S+ \S+ (RX|TX) ((?:[0-9A-F]{2} ?)+)  (\S+))",
                                       QRegularExpression::MultilineOption);
    QStringList out;
    for (auto it = re.globalMatch(log); it.hasNext();) {
        const auto m = it.next();
        const QString role = m.captured(3) == "request" || m.captured(3) == "answer" ? m.captured(3)
                             : m.captured(1) == "RX"                                  ? "request"
                                                                                      : "answer";
        out << m.captured(2).trimmed() + " " + role;
    }
    return out;
}

// A tables CSV file as address -> value.
QMap<QString, QString> tableEntries(const QString &path)
{
    QMap<QString, QString> out;
    QFile f(path);
    if (f.open(QIODevice::ReadOnly))
        for (const QByteArray &line : f.readAll().split('\n'))
            if (line.contains(','))
                out[QString(line.split(',')[0])] = QString(line.split(',')[1]).trimmed();
    return out;
}

QString sniffProgram() { return QStringLiteral(QUILLAN_SNIFF_PROGRAM); }

}  // namespace

class TestHeadlessSniff : public QObject {
    Q_OBJECT
private slots:
    void commandLine_data();
    void commandLine();
    void listensToATappedLine();
};

void TestHeadlessSniff::commandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");  // in stdout or stderr
    QTest::newRow("help") << QStringList{"--help"} << 0 << "Usage: quillan-sniff --rtu DEVICE | --ascii DEVICE";
    QTest::newRow("no device") << QStringList{"--log"} << 2 << "Usage: quillan-sniff";
    QTest::newRow("a slave's option") << QStringList{"--rtu", "/dev/null", "--tcp", "1502"} << 2
                                      << "quillan-sniff: unknown option --tcp (see --help)";
    QTest::newRow("two lines") << QStringList{"--rtu", "/dev/null", "--ascii", "/dev/zero"} << 2
                               << "quillan-sniff: listens to one line";
    QTest::newRow("an option where a file belongs") << QStringList{"--rtu", "/dev/null", "--pcap", "--log"} << 2
                                                    << "quillan-sniff: --pcap needs a value";
    QTest::newRow("bad baud") << QStringList{"--rtu", "/dev/null", "--baud", "123"} << 2 << "quillan-sniff: --baud 123: ";
    QTest::newRow("ASCII capture") << QStringList{"--ascii", "/dev/null", "--pcap", "x.pcap"} << 2
                                   << "quillan-sniff: --pcap x.pcap: Modbus ASCII traffic cannot be written";
    QTest::newRow("capture in no directory") << QStringList{"--rtu", "/dev/null", "--pcap", "/nonexistent-q/x.pcap"}
                                             << 2 << "quillan-sniff: --pcap: Cannot write \"/nonexistent-q/x.pcap\"";
    QTest::newRow("no such device") << QStringList{"--rtu", "/nonexistent-q/tty"} << 1
                                    << "quillan-sniff: --rtu /nonexistent-q/tty: No such file or directory";
}

void TestHeadlessSniff::commandLine()
{
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QString, message);
    QProcess p;
    p.start(sniffProgram(), args);
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), status);
    const QString all = QString::fromLocal8Bit(p.readAllStandardOutput() + p.readAllStandardError());
    QVERIFY2(all.contains(message), qPrintable(all));
}

void TestHeadlessSniff::listensToATappedLine()
{
    PtyPair masterLine, slaveLine, monitorLine;
    QVERIFY(masterLine.ok() && slaveLine.ok() && monitorLine.ok());
    QTemporaryDir dir;
    const QString pcap = dir.filePath("line.pcap"), csv = dir.filePath("line.csv");

    SlaveRun slave;
    QVERIFY(slave.start({"--rtu", slaveLine.b(), "--log", "--save", dir.filePath("slave.csv")}));
    PeerProcess tap;
    QVERIFY(tap.start(systemPython(), {testSourcePath("peers/line_tap.py"), masterLine.b(), slaveLine.a(),
                                       monitorLine.a()}));
    QVERIFY(tap.waitForOutput("READY"));
    ChildRun sniff;
    QVERIFY(sniff.start(sniffProgram(),
                        {"--rtu", monitorLine.b(), "--log", "--pcap", pcap, "--csv", csv, "--save",
                         dir.filePath("mirror.csv")},
                        "listening"));

    const QStringList unit1{"wrs:0:11,22,33", "rh:0:3", "wc:5:1", "rc:0:8", "wr:10:777", "rh:8:4",
                            "ri:0:2", "rd:0:4", "rh:2000:1"};
    QCOMPARE(pymodbus("rtu", masterLine.a(), unit1, 1, 60000),
             QStringList({"OK", "OK 11 22 33", "OK", "OK 0 0 0 0 0 1 0 0", "OK", "OK 0 0 777 0", "OK 0 0",
                          "OK 0 0 0 0", "EXC 2"}));
    QCOMPARE(pymodbus("rtu", masterLine.a(), {"rh:1:2"}, 2, 60000), QStringList({"OK 22 33"}));
    const int exchanges = int(unit1.size()) + 1;
    QVERIFY(waitUntil([&] { return frames(sniff.out()).size() >= 2 * exchanges; }, 5000));

    QCOMPARE(sniff.terminate(), 0);
    tap.stop();
    QVERIFY2(tap.output().contains("monitor wrote 0 bytes"), qPrintable(tap.output()));
    QCOMPARE(slave.terminate(), 0);

    // One for one with what the slave received and sent.
    const QStringList heard = frames(sniff.out());
    QCOMPARE(heard, frames(slave.out()));
    QCOMPARE(heard.size(), 2 * exchanges);
    QVERIFY2(sniff.out().contains("answer unit 1 fn 3 exception 2 illegal data address in "), qPrintable(sniff.out()));
    QVERIFY2(sniff.err().contains(QString("quillan-sniff: frames %1, requests %2, answers %2, exceptions 1, CRC "
                                          "errors 0, unanswered 0, noise bytes 0\n")
                                      .arg(2 * exchanges)
                                      .arg(exchanges)),
             qPrintable(sniff.err()));
    QVERIFY(sniff.err().contains(QRegularExpression(
        "quillan-sniff: unit 1: requests 9, answers 9, response min [0-9.]+ ms, avg [0-9.]+ ms, max [0-9.]+ ms\n")));
    QVERIFY(sniff.err().contains("quillan-sniff: unit 2: requests 1, answers 1, response min"));

    // Every address read holds in the mirror what it holds in the slave; each
    // unit has its own file.
    const auto slaveTables = tableEntries(dir.filePath("slave.csv"));
    const auto unit1Tables = tableEntries(dir.filePath("mirror-1.csv"));
    const auto unit2Tables = tableEntries(dir.filePath("mirror-2.csv"));
    QCOMPARE(unit1Tables.value("40011"), QString("777"));
    QStringList read;
    for (int a = 1; a <= 12; ++a)
        read << QString("4%1").arg(a, 4, 10, QChar('0'));
    for (int a = 1; a <= 8; ++a)
        read << QString("0%1").arg(a, 4, 10, QChar('0')) << QString("1%1").arg(a, 4, 10, QChar('0'));
    read << "30001" << "30002";
    for (const QString &a : read)
        QVERIFY2(unit1Tables.value(a, "0") == slaveTables.value(a, "0"), qPrintable(a));
    QCOMPARE(unit2Tables, (QMap<QString, QString>{{"40002", "22"}, {"40003", "33"}}));

    // The CSV has a line per frame; tshark reads the capture with good CRCs.
    QFile csvFile(csv);
    QVERIFY(csvFile.open(QIODevice::ReadOnly));
    QCOMPARE(csvFile.readAll().count("\r\n"), qsizetype(1 + 2 * exchanges));
    const QString tshark = QStandardPaths::findExecutable("tshark");
    if (tshark.isEmpty())
        QSKIP("tshark is not installed (scripts/install-deps.sh installs it): the capture was not read back");
    QProcess t;
    t.start(tshark, {"-r", pcap, "-o", R"x(uat:user_dlts:"User 0 (DLT=147)","mbrtu","0","","0","")x", "-o",
                     "mbrtu.crc_verification:TRUE", "-T", "fields", "-e", "mbrtu.unit_id", "-e", "modbus.func_code",
                     "-e", "mbrtu.crc16.status"});
    QVERIFY(t.waitForFinished(60000));
    const QStringList decoded = QString::fromUtf8(t.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    QStringList expected;
    for (const char *fn : {"16", "3", "5", "1", "6", "3", "4", "2", "3"})
        expected << QString("1\t%1\t1").arg(fn) << QString("1\t%1\t1").arg(fn);
    expected << "2\t3\t1" << "2\t3\t1";
    QCOMPARE(decoded, expected);
}

QTEST_GUILESS_MAIN(TestHeadlessSniff)
#include "tst_headless_sniff.moc"

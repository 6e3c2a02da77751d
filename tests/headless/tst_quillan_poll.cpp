// quillan-poll as a black box: the built program (or the one $QUILLAN_POLL
// names) against quillan-slave over loopback TCP and socat pty pairs, and
// against pymodbus's server for the requests quillan-slave does not serve.
// Its JSON lines are read back with Python's json module, its CSV with the
// csv module.
#include <QtTest>

#include "Headless_child.h"

namespace {

QString pollProgram()
{
    const QByteArray given = qgetenv("QUILLAN_POLL");
    return given.isEmpty() ? QStringLiteral(QUILLAN_POLL_PROGRAM) : QString::fromLocal8Bit(given);
}

Finished runPoll(const QStringList &args) { return runToEnd(pollProgram(), args, 20000); }

// Python reading what the program wrote: script gets it on stdin.
QString python(const QString &script, const QString &input)
{
    QProcess p;
    p.start(systemPython(), {"-c", script});
    if (!p.waitForStarted(5000))
        return "no python";
    p.write(input.toUtf8());
    p.closeWriteChannel();
    p.waitForFinished(20000);
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed() + QString::fromUtf8(p.readAllStandardError());
}

// 40001..40003 hold 1234, -2 and 16712 (with 40004 at 0: 12.5 as a Float ABCD); coils 1 and 3 are on.
const QByteArray kTables = "40001,1234\n40002,-2\n40003,16712\n40004,0\n00001,1\n00003,1\n";

const QRegularExpression kCounters(
    "^quillan-poll: Tx (\\d+)  Rx (\\d+)  Exc (\\d+)  Err (\\d+)  T/O (\\d+)  last \\S+ ms  min \\S+ ms  avg \\S+ ms  max \\S+ ms$",
    QRegularExpression::MultilineOption);

}  // namespace

class TestQuillanPoll : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY(tables_.isValid());
        tablesFile_ = writeFile(tables_, "tables.csv", kTables);
    }

    // Every bad value is refused before anything is sent: status 2, one line
    // on stderr naming the option, nothing on stdout.
    void badOptions_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("message");
        const QStringList tcp = {"--tcp", "127.0.0.1:1"};
        const QStringList read = {"--read", "40001"};
        QTest::newRow("no transport") << read << "no transport: give --tcp";
        QTest::newRow("two transports") << (tcp + QStringList{"--rtu", "/dev/null"} + read)
                                        << "--rtu: only one transport at a time (--tcp is given)";
        QTest::newRow("udp and tcp") << (QStringList{"--udp", "127.0.0.1"} + tcp + read)
                                     << "--tcp: only one transport at a time (--udp is given)";
        QTest::newRow("rtu over tcp port") << QStringList{"--rtu-over-tcp", "127.0.0.1:70000", "--read", "40001"}
                                           << "--rtu-over-tcp 127.0.0.1:70000: the port must be a whole number";
        QTest::newRow("rtu over tcp broadcast read")
            << QStringList{"--rtu-over-tcp", "127.0.0.1", "--unit", "0", "--read", "40001"}
            << "--unit 0: a broadcast in RTU frames gets no answer";
        QTest::newRow("port") << QStringList{"--tcp", "127.0.0.1:0", "--read", "40001"}
                              << "--tcp 127.0.0.1:0: the port must be a whole number from 1 to 65535";
        QTest::newRow("COM14") << QStringList{"--rtu", "COM14", "--read", "40001"} << "--rtu COM14: serial ports are COM1 to COM13";
        QTest::newRow("time-out") << (tcp + read + QStringList{"--timeout", "5"}) << "--timeout 5: milliseconds from 10 to 60000";
        QTest::newRow("unit") << (tcp + read + QStringList{"--unit", "248"}) << "--unit 248: a device address from 0 to 247";
        QTest::newRow("address") << (tcp + QStringList{"--read", "50001"}) << "--read 50001: not an address";
        QTest::newRow("count") << (tcp + QStringList{"--read", "40001:121"})
                               << "--read 40001:121: at most 120 registers in one request";
        QTest::newRow("ascii count") << QStringList{"--ascii", "/dev/null", "--read", "40001:61"}
                                     << "--read 40001:61: at most 60 registers in one request";
        QTest::newRow("past the table") << (tcp + QStringList{"--read", "465530:10"})
                                        << "--read 465530:10: the block runs past the end of the table";
        QTest::newRow("half a float") << (tcp + QStringList{"--read", "40001:3", "--format", "FLOAT_abcd"})
                                      << "--read 40001:3: Float ABCD takes 2 registers a value; 3 is not a multiple";
        QTest::newRow("format") << (tcp + read + QStringList{"--format", "float"}) << "--format float: not a value format";
        QTest::newRow("input register write") << (tcp + QStringList{"--write", "30001=5"})
                                               << "--write 30001=5: input registers cannot be written";
        QTest::newRow("value") << (tcp + QStringList{"--write", "40001=1,x"}) << "--write 40001=1,x: \"x\": not a number";
        QTest::newRow("value range") << (tcp + QStringList{"--write", "40001=70000"})
                                     << "--write 40001=70000: \"70000\": value out of range";
        QTest::newRow("coil value") << (tcp + QStringList{"--write", "00001=2"})
                                    << "--write 00001=2: \"2\": a coil takes 0 or 1";
        QTest::newRow("name without a map") << (tcp + QStringList{"--write", "flow=5"})
                                            << "--write flow=5: flow is no address; writing by name needs --map";
        QTest::newRow("mask") << (tcp + QStringList{"--mask-write", "40001=1"}) << "--mask-write 40001=1: AND and OR";
        QTest::newRow("read-write of one value") << (tcp + QStringList{"--read-write", "40001:2"})
                                                 << "--read-write needs 2 values";
        QTest::newRow("scan range") << (tcp + QStringList{"--scan", "0-5"}) << "--scan 0-5: give FIRST-LAST";
        QTest::newRow("scan and unit") << (tcp + QStringList{"--scan", "1-5", "--unit", "3"}) << "--scan: probes device addresses itself";
        QTest::newRow("only without a map") << (tcp + read + QStringList{"--only", "a"}) << "--only: picks entries of a map";
        QTest::newRow("missing map") << (tcp + QStringList{"--map", "/nonexistent/m.csv"}) << "--map: m.csv: No such file";
        QTest::newRow("output") << (tcp + read + QStringList{"--output", "xml"}) << "--output xml: use text, csv or json";
        QTest::newRow("csv of an identity") << (tcp + QStringList{"--identify", "--output", "csv"}) << "--output csv:";
        QTest::newRow("ascii capture") << QStringList{"--ascii", "/dev/null", "--read", "40001", "--pcap", "a.pcap"}
                                       << "--pcap: Modbus ASCII traffic cannot be saved";
        QTest::newRow("line setting on tcp") << (tcp + read + QStringList{"--baud", "9600"})
                                             << "--baud: applies only to --rtu or --ascii";
        QTest::newRow("baud") << QStringList{"--rtu", "/dev/null", "--baud", "12345", "--read", "40001"} << "--baud 12345: not a baud rate";
        QTest::newRow("serial broadcast read") << QStringList{"--rtu", "/dev/null", "--unit", "0", "--read", "40001"}
                                               << "--unit 0: a broadcast on a serial line gets no answer";
        QTest::newRow("interval") << (tcp + read + QStringList{"--interval", "-1"}) << "--interval -1: milliseconds from 0";
        QTest::newRow("polls") << (tcp + read + QStringList{"--polls", "0"}) << "--polls 0: a whole number from 1";
        QTest::newRow("duration") << (tcp + read + QStringList{"--duration", "0"}) << "--duration 0: a number of seconds";
        QTest::newRow("unknown option") << (tcp + read + QStringList{"--verbose"}) << "unknown option --verbose (see --help)";
        QTest::newRow("stray argument") << (tcp + read + QStringList{"stray"}) << "unexpected argument 'stray'";
        QTest::newRow("no value") << (tcp + QStringList{"--read"}) << "--read needs a value";
        QTest::newRow("an option for a value") << (tcp + QStringList{"--read", "--log"}) << "--read needs a value";
        QTest::newRow("twice") << (tcp + read + QStringList{"--timeout", "100", "--timeout", "200"})
                               << "--timeout is given more than once";
        QTest::newRow("flag with a value") << (tcp + read + QStringList{"--log=yes"}) << "--log takes no value";
        QTest::newRow("nothing to do") << tcp << "nothing to do: give --read";
    }
    void badOptions()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        const Finished f = runPoll(args);
        QCOMPARE(f.status, 2);
        QCOMPARE(f.out, QString());
        QVERIFY2(f.err.startsWith("quillan-poll: " + message) && f.err.count('\n') == 1, qPrintable(f.err));
    }

    void helpAndVersion()
    {
        const Finished help = runPoll({"--tcp", "x", "--help"});
        QCOMPARE(help.status, 0);
        QVERIFY(help.out.startsWith("Usage: quillan-poll"));
        const Finished version = runPoll({"--version"});
        QCOMPARE(version.status, 0);
        QVERIFY(version.out.startsWith("quillan-poll "));
    }

    // TCP against quillan-slave: registers in a format and coils, as JSON
    // Lines; then the other request kinds against pymodbus.
    void tcpJson()
    {
        const quint16 port = freeLoopbackPort();
        SlaveRun slave;
        QVERIFY(slave.start({"--tcp", QString::number(port), "--load", tablesFile_}));
        const Finished f = runPoll({"--tcp", "127.0.0.1:" + QString::number(port), "--read", "40003:2", "--format",
                                    "float-abcd", "--read", "00001:3", "--output", "json"});
        QCOMPARE(f.status, 0);
        const QString read = python("import json, sys\n"
                                    "for l in sys.stdin:\n"
                                    "    o = json.loads(l)\n"
                                    "    print(o['unit'], o['address'], o['raw'], o['value'], o['status'], o['time'][10])",
                                    f.out);
        QCOMPARE(read, QString("1 40003 [16712, 0] 12.5 ok T\n"
                               "1 1 [1] 1 ok T\n1 2 [0] 0 ok T\n1 3 [1] 1 ok T"));
        QVERIFY(kCounters.match(f.err).hasMatch());
    }

    void tcpOtherRequests()
    {
        const quint16 port = freeLoopbackPort();
        PeerProcess pymodbus;
        QVERIFY(pymodbus.start(systemPython(), {testSourcePath("peers/master_test_slave.py"), "tcp", QString::number(port)}));
        QVERIFY(pymodbus.waitForOutput("READY"));
        // Register i holds 1000 + i: 40001 is 1000 (0x03E8).
        const Finished f = runPoll({"--tcp", "127.0.0.1:" + QString::number(port), "--mask-write", "40001=0xFF00,0x0012",
                                    "--read-write", "40001:1", "40011=7,8", "--read", "40011:2", "--report-id"});
        QCOMPARE(f.status, 0);
        QCOMPARE(f.out, QString("40001  AND 0xFF00 OR 0x0012  written\n"
                                "40001  786\n"  // (0x03E8 AND 0xFF00) OR (0x0012 AND 0x00FF)
                                "40011  7,8  written\n"
                                "40011  7\n40012  8\n"
                                "report-id  50 79 6D 6F 64 62 75 73 FF  \"Pymodbus.\"\n"));
    }

    // RTU over a pty pair against quillan-slave, with a map: named, scaled
    // values as the value log's CSV columns, and a write by name.
    void rtuMapCsv()
    {
        PtyPair pty;
        QVERIFY(pty.ok());
        SlaveRun slave;
        QVERIFY(slave.start({"--rtu", pty.b(), "--load", tablesFile_, "--baud", "19200"}));
        const QString map = writeFile(tables_, "map.csv",
                                      "name,address,format,scale,unit\n"
                                      "count,40001,Signed,0.1,m3/h\n"
                                      "flow,40003,Float ABCD,,l/s\n"
                                      "pump,00003,,,\n"
                                      "setpoint,40020,Unsigned,0.5,bar\n");
        // In the order given: the write, then the map's reads.
        const Finished f = runPoll({"--rtu", pty.a(), "--baud", "19200", "--write", "setpoint=12.5", "--map", map,
                                    "--only", "count,flow,setpoint", "--output", "csv", "--polls", "2"});
        QCOMPARE(f.status, 0);
        const QString read = python("import csv, sys\n"
                                    "rows = list(csv.reader(sys.stdin))\n"
                                    "print(rows[0])\n"
                                    "for r in rows[1:]: print(r[1:], len(r[0]))",
                                    f.out);
        QCOMPARE(read, QString("['time', 'count [m3/h]', 'flow [l/s]', 'setpoint [bar]', 'errors']\n"
                               "['123.4', '12.5', '12.5', ''] 29\n"
                               "['123.4', '12.5', '12.5', ''] 29"));
        QCOMPARE(kCounters.match(f.err).captured(1), QString("6"));  // the write and two reads, twice
    }

    // ASCII over a pty pair against quillan-slave, text output.
    void asciiText()
    {
        PtyPair pty;
        QVERIFY(pty.ok());
        SlaveRun slave;
        QVERIFY(slave.start({"--ascii", pty.b()}));
        const Finished f = runPoll({"--ascii", pty.a(), "--write", "40010=0xFFFF,2", "--read", "40010:2", "--format", "hex"});
        QCOMPARE(f.status, 0);
        QCOMPARE(f.out, QString("40010  0xFFFF,2  written\n40010  0xFFFF\n40011  0x0002\n"));
    }

    // 0 when every request is answered without an exception, 1 for an
    // exception, a time-out or a connection refused; the failure in the
    // value's place. Each transport of quillan-slave's network side.
    void exitStatus_data()
    {
        QTest::addColumn<QString>("transport");
        QTest::addColumn<QStringList>("slave");  // empty: no server
        QTest::addColumn<QStringList>("extra");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("out");
        QTest::newRow("answered") << "--tcp" << QStringList{} << QStringList{} << 0 << "40001  0\n";
        QTest::newRow("exception") << "--tcp" << QStringList{"--exception", "02"} << QStringList{} << 1
                                   << "40001  exception 02\n";
        QTest::newRow("time-out") << "--tcp" << QStringList{"--drop-every", "1"} << QStringList{"--timeout", "100"} << 1
                                  << "40001  time-out\n";
        QTest::newRow("one of two fails") << "--tcp" << QStringList{"--drop-every", "2"}
                                          << QStringList{"--timeout", "100", "--polls", "2"} << 1
                                          << "40001  0\n40001  time-out\n";
        QTest::newRow("nobody listening") << "--tcp" << QStringList{"none"} << QStringList{} << 1 << "";
        QTest::newRow("udp answered") << "--udp" << QStringList{} << QStringList{"--polls", "2"} << 0
                                      << "40001  0\n40001  0\n";
        QTest::newRow("udp time-out") << "--udp" << QStringList{"--drop-every", "1"} << QStringList{"--timeout", "100"}
                                      << 1 << "40001  time-out\n";
        QTest::newRow("rtu over tcp answered") << "--rtu-over-tcp" << QStringList{} << QStringList{"--polls", "2"} << 0
                                               << "40001  0\n40001  0\n";
        QTest::newRow("rtu over tcp exception") << "--rtu-over-tcp" << QStringList{"--exception", "02"} << QStringList{}
                                                << 1 << "40001  exception 02\n";
    }
    void exitStatus()
    {
        QFETCH(QString, transport);
        QFETCH(QStringList, slave);
        QFETCH(QStringList, extra);
        QFETCH(int, status);
        QFETCH(QString, out);
        const quint16 port = freeLoopbackPort();
        SlaveRun server;
        if (slave != QStringList{"none"})
            QVERIFY(server.start(QStringList{transport, QString::number(port)} + slave));
        const Finished f = runPoll(QStringList{transport, "127.0.0.1:" + QString::number(port), "--read", "40001"} + extra);
        QCOMPARE(f.status, status);
        QCOMPARE(f.out, out);
        QVERIFY2(kCounters.match(f.err).hasMatch(), qPrintable(f.err));
    }

    // A scan finds the units that answer; quillan-slave answers the others
    // with exception 0B, a gateway's "no such device", which finds nothing.
    void scan()
    {
        const quint16 port = freeLoopbackPort();
        SlaveRun slave;
        QVERIFY(slave.start({"--tcp", QString::number(port), "--unit", "2,5", "--load", tablesFile_}));
        const Finished f = runPoll({"--tcp", "127.0.0.1:" + QString::number(port), "--scan", "1-6", "--output", "json"});
        QCOMPARE(f.status, 0);
        const QString read = python("import json, sys\n"
                                    "for l in sys.stdin:\n"
                                    "    o = json.loads(l)\n"
                                    "    print(o['unit'], o['status'], o['values'])",
                                    f.out);
        QCOMPARE(read, QString("2 ok ['1234']\n5 ok ['1234']"));
    }

    // Polling until SIGTERM: the polls so far printed, status 0, the
    // counters on stderr; a capture of them that tshark reads.
    void sigtermAndCapture()
    {
        const quint16 port = freeLoopbackPort();
        SlaveRun slave;
        QVERIFY(slave.start({"--tcp", QString::number(port)}));
        const QString pcap = tables_.path() + "/poll.pcap";
        QProcess p;
        p.start(pollProgram(), {"--tcp", "127.0.0.1:" + QString::number(port), "--read", "40001", "--interval", "50",
                                "--pcap", pcap});
        QVERIFY(p.waitForStarted(5000));
        QString out;
        QVERIFY(waitUntil([&] { return out.append(QString::fromUtf8(p.readAllStandardOutput())).count('\n') >= 3; }, 10000));
        p.terminate();
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
        const QRegularExpressionMatch m = kCounters.match(QString::fromUtf8(p.readAllStandardError()));
        QVERIFY(m.hasMatch());
        PeerProcess tshark;
        QVERIFY(tshark.start("tshark", {"-r", pcap, "-d", "tcp.port==" + QString::number(port) + ",mbtcp", "-T", "fields",
                                        "-e", "mbtcp.trans_id"}));
        QVERIFY(tshark.waitForFinished(60000));
        // Every request and every answer; a stop may come between the two.
        const QStringList ids = tshark.output().split('\n').filter(QRegularExpression("^\\d+$"));
        QCOMPARE(ids.size(), m.captured(1).toInt() + m.captured(2).toInt());
    }

private:
    QTemporaryDir tables_;
    QString tablesFile_;
};

QTEST_GUILESS_MAIN(TestQuillanPoll)
#include "tst_quillan_poll.moc"

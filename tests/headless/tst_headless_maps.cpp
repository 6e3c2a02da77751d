// quillan-slave as a simulated device: the codes beyond the classic eight as
// pymodbus asks them, a simulated float that is never read torn, devices of
// their own that stay apart, and the options and map files it refuses.
#include <QtTest>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <modbus.h>

#include "Headless_child.h"

namespace {

struct Tcp {
    modbus_t *ctx;
    explicit Tcp(quint16 port) : ctx(modbus_new_tcp("127.0.0.1", port))
    {
        modbus_set_response_timeout(ctx, 3, 0);
        if (modbus_connect(ctx) != 0)
            qWarning("libmodbus: %s", modbus_strerror(errno));
    }
    ~Tcp()
    {
        modbus_close(ctx);
        modbus_free(ctx);
    }
    // Holding register a of unit, or "EXC n".
    QString read(int unit, int a)
    {
        modbus_set_slave(ctx, unit);
        uint16_t v = 0;
        if (modbus_read_registers(ctx, a, 1, &v) == 1)
            return QString::number(v);
        return errno > MODBUS_ENOBASE ? QString("EXC %1").arg(errno - MODBUS_ENOBASE) : modbus_strerror(errno);
    }
};

}  // namespace

class TestHeadlessMaps : public QObject {
    Q_OBJECT
private slots:
    // As the Modbus Application Protocol gives them, read by pymodbus. Its
    // code 17 answer takes the run indicator from the last byte (here the
    // vendor's), so the bytes after the byte count are compared instead.
    void moreCodesAsPymodbusAsks()
    {
        const quint16 port = freeLoopbackPort();
        SlaveRun slave;
        QVERIFY(slave.start({"--tcp", QString::number(port), "--identity", "ACME,Pump 7,2.1"}));
        const QString where = "127.0.0.1:" + QString::number(port);
        QCOMPARE(pymodbus("tcp", where,
                          {"wcs:0:1,0,1,1,0,0,0,1", "x7", "x8:0:1234,ABCD", "x11", "wr:5:18", "x22:5:F2:25", "rh:5:1",
                           "x23:5:2:6:7,8", "x17", "x43:1:0", "x43:4:1", "x43:4:3", "x8:1:0000"}),
                 (QStringList{"OK", "OK 141", "OK 0 1234 ABCD", "OK 0000 3", "OK", "OK", "OK 23", "OK 23 7",
                              "OK 01FF41434D45", "OK 0=ACME 1=Pump 7 2=2.1", "OK 1=Pump 7", "EXC 2", "EXC 1"}));
        SlaveRun classic;
        const quint16 port2 = freeLoopbackPort();
        QVERIFY(classic.start({"--tcp", QString::number(port2), "--codes", "classic"}));
        QCOMPARE(pymodbus("tcp", "127.0.0.1:" + QString::number(port2), {"x7", "x23:0:1:0:1", "x43:1:0"}),
                 (QStringList{"EXC 1", "EXC 1", "EXC 1"}));
    }

    // A ramp float read 10 000 times and more: each value one the ramp takes
    // at a tick (a tenth of its range), never half of one and half of another.
    void simulatedFloatNeverTorn()
    {
        QTemporaryDir dir;
        const QString map = writeFile(dir, "m.csv",
                                      "name,address,format,simulate\n"
                                      "level,40001,Float CDAB,\"ramp(0, 1, 1)\"\n");
        const quint16 port = freeLoopbackPort();
        SlaveRun slave;
        QVERIFY(slave.start({"--tcp", QString::number(port), "--map", map}));
        Tcp c(port);
        QSet<float> seen;
        // At least 10 000 reads, and on until the ramp was seen to move.
        for (int i = 0; i < 200000 && (i < 10000 || seen.size() < 3); ++i) {
            uint16_t w[2] = {};
            QCOMPARE(modbus_read_registers(c.ctx, 0, 2, w), 2);
            const uint32_t bits = uint32_t(w[1]) << 16 | w[0];
            float v;
            std::memcpy(&v, &bits, sizeof v);
            if (!(v >= 0 && v <= 1 && v == float(std::round(double(v) * 10) / 10)))
                QFAIL(qPrintable(QString("read %1: %2 (%3 %4)").arg(i).arg(double(v)).arg(w[0], 4, 16).arg(w[1], 4, 16)));
            seen.insert(v);
        }
        QVERIFY2(seen.size() >= 3, "the ramp did not move");
    }

    // Each unit its own tables, initial values and simulation; another unit
    // is not there (exception 0B over TCP); simulated values over a pty.
    void devicesStayApart()
    {
        QTemporaryDir dir;
        const QString a = writeFile(dir, "a.csv", "name,address,initial,simulate\nsp,40001,11,\nn,40002,100,step(1)\n");
        const QString b = writeFile(dir, "b.csv", "name,address,initial\nsp,40001,22\n");
        PtyPair pty;
        QVERIFY(pty.ok());
        const quint16 port = freeLoopbackPort();
        SlaveRun slave;
        QVERIFY(slave.start({"--tcp", QString::number(port), "--rtu", pty.a(), "--device", "1=" + a, "--device",
                             "2=" + b}, 2));
        Tcp c(port);
        QCOMPARE(c.read(1, 0), QString("11"));
        QCOMPARE(c.read(2, 0), QString("22"));
        modbus_set_slave(c.ctx, 2);
        QCOMPARE(modbus_write_register(c.ctx, 0, 99), 1);
        QCOMPARE(c.read(2, 0), QString("99"));
        QCOMPARE(c.read(1, 0), QString("11"));
        QCOMPARE(c.read(2, 1), QString("0"));
        QCOMPARE(c.read(3, 0), QString("EXC 11"));
        // step(1) adds one a second, read over RTU by pymodbus, then mbpoll.
        const QStringList first = pymodbus("rtu", pty.b(), {"rh:0:2"});
        QThread::msleep(1100);
        const QStringList second =
            mbpoll({"-m", "rtu", "-b", "9600", "-P", "none", "-a", "1", "-t", "4", "-r", "0", "-c", "2", pty.b()});
        QCOMPARE(first.size(), 1);
        QCOMPARE(second.size(), 2);
        const int n1 = first[0].section(' ', 2).toInt(), n2 = second[1].toInt();
        QVERIFY2(first[0].startsWith("OK 11 ") && second[0] == "11" && n1 >= 100 && n2 - n1 >= 1 && n2 - n1 <= 3,
                 qPrintable(first[0] + " / " + second.join(' ')));
    }

    // 65 536 entries a table: the last address served; 247 devices with every
    // page of every table made stay under 150 MiB.
    void fullAddressSpace()
    {
        QTemporaryDir dir;
        // One non-zero entry in each page of 1 024 of each table.
        QByteArray load;
        for (int table : {0, 1, 3, 4})
            for (int page = 0; page < 64; ++page)
                load += QByteArray::number(table) + QByteArray::number(page * 1024 + 1).rightJustified(5, '0') + ",1\n";
        const QString loadFile = writeFile(dir, "full.csv", load);
        const QString map = writeFile(dir, "m.csv", "name,address,format,initial\nlast,465535,Long ABCD,-2\n");
        QStringList args{"--tcp", QString::number(freeLoopbackPort()), "--size", "65536", "--load", loadFile};
        for (int unit = 1; unit <= 247; ++unit)
            args << "--device" << QString("%1=%2").arg(unit).arg(map);
        SlaveRun slave;
        QVERIFY(slave.start(args));
        Tcp c(quint16(args[1].toUInt()));
        modbus_set_slave(c.ctx, 247);
        uint16_t w[2] = {};
        QCOMPARE(modbus_read_registers(c.ctx, 65534, 2, w), 2);
        QCOMPARE(QList<int>({w[0], w[1]}), QList<int>({0xFFFF, 0xFFFE}));
        QCOMPARE(modbus_write_register(c.ctx, 65535, 77), 1);
        QCOMPARE(c.read(247, 65535), QString("77"));
        QCOMPARE(c.read(1, 65535), QString("65534"));
        QCOMPARE(modbus_read_registers(c.ctx, 65535, 2, w), -1);
        QCOMPARE(errno, int(EMBXILADD));
        QFile status(QString("/proc/%1/status").arg(slave.pid()));
        QVERIFY(status.open(QIODevice::ReadOnly));
        const auto m = QRegularExpression("VmRSS:\\s+(\\d+) kB").match(QString::fromLatin1(status.readAll()));
        QVERIFY(m.hasMatch());
        qInfo("247 devices of 65536 entries, every page made: %s kB resident", qPrintable(m.captured(1)));
#if !defined(__SANITIZE_ADDRESS__)
        // AddressSanitizer's shadow memory and quarantine would count too.
        QVERIFY2(m.captured(1).toLongLong() < 150 * 1024, qPrintable(m.captured(1)));
#endif
    }

    void refused_data()
    {
        QTest::addColumn<QStringList>("args");      // DIR: the directory of a.csv (a bad map) and g.csv
        QTest::addColumn<QString>("message");      // after "quillan-slave: "
        QTest::newRow("codes") << QStringList{"--codes", "some"} << "--codes some: use classic or all";
        QTest::newRow("identity of two") << QStringList{"--identity", "A,B"}
                                         << "--identity A,B: write VENDOR,PRODUCT,REVISION, each 1 to 64 printable "
                                            "ASCII characters without a comma";
        QTest::newRow("device 0") << QStringList{"--device", "0=DIR/g.csv"}
                                  << "--device 0=DIR/g.csv: write UNIT=FILE.csv, UNIT from 1 to 247";
        QTest::newRow("same unit twice") << QStringList{"--device", "3=DIR/g.csv", "--device", "3=DIR/a.csv"}
                                         << "--device 3=DIR/a.csv: unit 3 is already given (3=DIR/g.csv)";
        QTest::newRow("map and devices") << QStringList{"--map", "DIR/g.csv", "--device", "3=DIR/g.csv"}
                                         << "--map: not with --device (each device has its own map)";
        QTest::newRow("bad map") << QStringList{"--map", "DIR/a.csv"}
                                 << "--map: DIR/a.csv: line 3: sine(0, 100): sine needs MIN, MAX and PERIOD";
        QTest::newRow("bad device map") << QStringList{"--device", "1=DIR/g.csv", "--device", "7=DIR/a.csv"}
                                        << "--device 7=DIR/a.csv: DIR/a.csv: line 3: sine(0, 100): sine needs MIN, "
                                           "MAX and PERIOD";
        QTest::newRow("no map file") << QStringList{"--map", "DIR/none.csv"}
                                     << "--map: DIR/none.csv: No such file or directory";
        QTest::newRow("size") << QStringList{"--size", "1000"}
                              << "--size 1000: entries per table, a whole number from 1024 to 65536";
        QTest::newRow("load beyond the size")
            << QStringList{"--size", "2048", "--load", "DIR/t.csv"}
            << "--load: DIR/t.csv: line 1: 402049,5: beyond the tables' 2048 entries; --size 2049 or more makes room "
               "for it";
    }
    void refused()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        QTemporaryDir dir;
        writeFile(dir, "a.csv", "name,address,simulate\nok,40001,\nb,40002,\"sine(0, 100)\"\n");
        writeFile(dir, "g.csv", "name,address,initial\nok,40001,5\n");
        writeFile(dir, "t.csv", "402049,5\n");
        const Finished f = runToEnd(slaveProgram(), QStringList{"--tcp", QString::number(freeLoopbackPort())} +
                                                        args.replaceInStrings("DIR", dir.path()));
        QCOMPARE(f.status, 2);
        QCOMPARE(f.out + f.err, "quillan-slave: " + message.replace("DIR", dir.path()) + "\n");
    }
};

QTEST_GUILESS_MAIN(TestHeadlessMaps)
#include "tst_headless_maps.moc"

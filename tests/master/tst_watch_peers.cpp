// The Watch page against pymodbus, over loopback TCP and RTU and ASCII pty
// pairs: a
// map's entries read in one cycle (scaled, a float in CDAB order, a bit, a
// block the slave refuses), written in engineering units and read back, the
// value log read with Python's csv module; and the page without a map.
#include <QCheckBox>
#include <QTabWidget>
#include <QTableView>
#include <memory>

#include "Master_ascii.h"
#include "Master_rtu.h"
#include "Master_tcp.h"
#include "Peers.h"
#include "Station_rig.h"

namespace {

// The slave's holding register i holds 1000 + i, input register i 0xFF00 + i,
// coil i is on when i % 3 == 0; it answers exception 02 beyond 100 entries.
const char *const kMap = "name,address,format,scale,unit,description\n"
                         "level,40003,Signed,0.1,m,Tank level\n"
                         "flow_rate,40011,Float CDAB,0.1,m3/h,Outlet flow\n"
                         "temp,30002,Unsigned,,,\n"
                         "pump_on,00002,Bit,,,\n"
                         "far,40201,,,,Beyond the slave's table\n";
enum Row { Level, FlowRate, Temp, PumpOn, Far };
enum Col { Name, Device, Address, Value, Unit, Raw, Status };
enum Transport { Rtu, Ascii, Tcp };

struct Station {
    std::unique_ptr<Recorder> rec = std::make_unique<Recorder>();
    std::unique_ptr<PtyPair> pty;
    PeerProcess peer;
    MasterWindow *form = nullptr;
    int cycles = 0;

    ~Station()
    {
        set_watch_file_asker({});
        delete form;  // releases the port before the pty pair goes
        peer.stop();
        pty.reset();
    }

    bool start(Transport transport)
    {
        if (transport == Tcp) {
            const quint16 port = freeLoopbackPort();
            if (!peer.start(systemPython(), {testSourcePath("peers/master_test_slave.py"), "tcp",
                                             QString::number(port)}) ||
                !peer.waitForOutput("READY"))
                return false;
            form = new TMSTCP_Form;
            child<QLineEdit>(form, "MaskEdit4")->setText(QString::number(port));
            invoke(form, "BitBtn3Click");
            if (!waitUntil([this] { return button(form, "BitBtn4")->isEnabled(); }))
                return false;
        } else {
            const bool rtu = transport == Rtu;
            pty = std::make_unique<PtyPair>();
            PtyPair::mapPort(rtu ? 1 : 2, pty->a());
            if (!pty->ok() ||
                !peer.start(systemPython(), {testSourcePath("peers/master_test_slave.py"), rtu ? "rtu" : "ascii",
                                             pty->b(), "9600", rtu ? "N" : "O", rtu ? "8" : "7", "1"}) ||
                !peer.waitForOutput("READY"))
                return false;
            form = rtu ? static_cast<MasterWindow *>(new TMSRTU_Form) : new TMSASC_Form;
            invoke(form, "BitBtn4Click");
            if (!button(form, "BitBtn5")->isEnabled())
                return false;
        }
        QObject::connect(form->watchPage(), &WatchPage::cycleCompleted, [this] { ++cycles; });
        return true;
    }
    QAbstractItemModel *model() { return child<QTableView>(form, "WatchView")->model(); }
    QString cell(int row, int col) { return model()->index(row, col).data().toString(); }
    bool moreCycles(int n) { return waitUntil([&, target = cycles + n] { return cycles >= target; }, 15000); }
    // Counters as "Tx N  Rx N  Exc N  Err N  T/O N".
    QString counters() { return child<QLabel>(form, "StatsLabel")->text().section("  last", 0, 0); }
};

QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &text)
{
    QFile f(dir.filePath(name));
    f.open(QIODevice::WriteOnly);
    f.write(text);
    return f.fileName();
}

}  // namespace

class TestWatchPeers : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        const QString missing = missingSerialPeers();
        QVERIFY2(missing.isEmpty(), qPrintable(missing));
    }

    // Ticked without a map: a box, unticked, nothing sent.
    void noMap()
    {
        Recorder rec;
        TMSTCP_Form form;
        QCOMPARE(child<QTabWidget>(&form, "MasterPages")->tabText(2), QString("Watch"));
        child<QCheckBox>(&form, "WatchBox")->setChecked(true);
        QCOMPARE(rec.boxes, QStringList{"Quillan|No map is loaded: load one with \"Load map…\" first"});
        QVERIFY(!child<QCheckBox>(&form, "WatchBox")->isChecked());
        QVERIFY(!child<QPushButton>(&form, "SaveMap")->isEnabled());
        QVERIFY(!child<QPushButton>(&form, "LogValues")->isEnabled());
    }

    void cycle_data()
    {
        QTest::addColumn<int>("transport");
        QTest::newRow("tcp") << int(Tcp);
        QTest::newRow("rtu") << int(Rtu);
        QTest::newRow("ascii") << int(Ascii);
    }
    void cycle()
    {
        QFETCH(int, transport);
        QTemporaryDir dir;
        const QString mapPath = writeFile(dir, "pump.csv", kMap);
        const QString logPath = dir.filePath("run.csv");
        Station s;
        QVERIFY2(s.start(Transport(transport)), qPrintable(s.peer.output()));
        set_watch_file_asker([&](QWidget *, WatchFile which) { return which == WatchFile::Log ? logPath : mapPath; });
        invoke(s.form->watchPage(), "LoadMapClick");
        invoke(s.form->watchPage(), "LogValuesClick");
        QCOMPARE(s.model()->rowCount(), 5);
        QCOMPARE(s.model()->index(FlowRate, Name).data(Qt::ToolTipRole).toString(), QString("Outlet flow"));

        // Polled with the request fields: theirs first, the map's after.
        setRequest(s.form, 2, 1, 1, 2);
        child<QSpinBox>(s.form, "PollInterval")->setValue(0);
        child<QCheckBox>(s.form, "PollBox")->setChecked(true);
        child<QCheckBox>(s.form, "WatchBox")->setChecked(true);
        QVERIFY(s.moreCycles(2));
        const QStringList firstValues{s.cell(Level, Value), s.cell(FlowRate, Value), s.cell(Temp, Value),
                                      s.cell(PumpOn, Value), s.cell(Far, Status)};
        // 1010 and 1011 read as CDAB: a float of 1.4283162e-36, scaled.
        QCOMPARE(firstValues, (QStringList{"100.2", "1.4283162e-37", "65281", "0", "exception 02"}));
        QCOMPARE(s.cell(Level, Raw), QString("0x03EA"));
        QCOMPARE(s.cell(PumpOn, Raw), QString("Off"));
        QCOMPARE(s.cell(Level, Status), QString("ok"));
        // The grid shows the fields' answers only.
        QCOMPARE(grid(s.form)->cellText(1, 1).trimmed(), QString("1000"));
        QCOMPARE(grid(s.form)->rowCount(), 3);

        // Written in engineering units: a float (code 16), a coil (code 5).
        DialogSeen seen;
        set_modal_runner([&](QDialog *d) {
            ++seen.runs;
            seen.field = d->findChild<QLineEdit *>("Edit1")->text();
            d->findChild<QLineEdit *>("Edit1")->setText(seen.runs == 1 ? "123.4" : "1");
            d->findChild<QPushButton *>("OKBtn")->click();
            return d->result();
        });
        QMetaObject::invokeMethod(s.form->watchPage(), "WatchViewDblClick", Q_ARG(int, FlowRate), Q_ARG(int, Value));
        QMetaObject::invokeMethod(s.form->watchPage(), "WatchViewDblClick", Q_ARG(int, PumpOn), Q_ARG(int, Value));
        set_modal_runner({});
        QCOMPARE(seen.runs, 2);
        QVERIFY(s.moreCycles(2));
        QCOMPARE(s.cell(FlowRate, Value), QString("123.4"));
        QCOMPARE(s.cell(FlowRate, Raw), QString("0x4000 0x449A"));  // 1234.0f, words swapped
        QCOMPARE(s.cell(PumpOn, Value), QString("1"));
        invoke(s.form->watchPage(), "StopLogClick");
        child<QCheckBox>(s.form, "WatchBox")->setChecked(false);
        child<QCheckBox>(s.form, "PollBox")->setChecked(false);
        QVERIFY(waitUntil([&] {
            const QString c = s.counters();
            return c.section("  ", 0, 0).mid(3) == c.section("  ", 1, 1).mid(3);  // Tx == Rx: all answered
        }));

        // The slave holds the words, as the fields read them.
        setRequest(s.form, 2, 1, 11, 2);
        invoke(s.form, "BitBtn1Click");
        QVERIFY(waitUntil([&] { return grid(s.form)->cellText(2, 2) == "0x449A"; }));
        QCOMPARE(grid(s.form)->cellText(2, 1), QString("0x4000"));
        QVERIFY(s.counters().contains("Err 0  T/O 0"));
        QVERIFY2(s.rec->boxes.isEmpty(), qPrintable(s.rec->boxes.join("\n")));

        // The log: a header, one line per cycle, read back with Python's csv.
        QProcess py;
        py.start(systemPython(), {"-c",
                                  "import csv, sys\n"
                                  "rows = list(csv.reader(open(sys.argv[1], newline='', encoding='utf-8')))\n"
                                  "print('|'.join(rows[0]))\n"
                                  "print(len(rows) - 1)\n"
                                  "print('|'.join(rows[1][1:]))\n"
                                  "print('|'.join(rows[-1][1:]))\n"
                                  "print(rows[1][0][10], rows[1][0][19])\n",
                                  logPath});
        QVERIFY(py.waitForFinished(20000));
        const QStringList lines = QString::fromUtf8(py.readAllStandardOutput()).split('\n');
        QVERIFY2(lines.size() >= 5, qPrintable(QString::fromUtf8(py.readAllStandardError())));
        QCOMPARE(lines[0], QString("time|level [m]|flow_rate [m3/h]|temp|pump_on|far|errors"));
        QVERIFY(lines[1].toInt() >= 4);
        QCOMPARE(lines[2], QString("100.2|1.4283162e-37|65281|0||far"));
        QCOMPARE(lines[3], QString("100.2|123.4|65281|1||far"));
        QCOMPARE(lines[4], QString("T ."));  // 2026-12-08T14:03:07.125+01:00
    }
};

QTEST_MAIN(TestWatchPeers)
#include "tst_watch_peers.moc"

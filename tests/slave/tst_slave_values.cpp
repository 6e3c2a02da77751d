// A device map in a slave station: "More function codes", the map's initial
// values in the tables, the page "Values" beside the table pages, its values
// moving with the simulation, a master's write and the operator's edit that
// stop an entry, "Restart", and a bad map refused with one box.
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include "Bench_strip.h"
#include "Gui_services.h"
#include "Notices.h"
#include "Slave_tcp.h"

namespace {

struct Rig {
    QStringList boxes;
    QTemporaryDir dir;
    Rig()
    {
        set_status_sink([](const std::string &) {});
        set_message_box_sink([this](const std::string &t, const std::string &) { boxes << QString::fromStdString(t); });
    }
    ~Rig()
    {
        set_status_sink(nullptr);
        set_message_box_sink(nullptr);
    }
    QString file(const char *name, const QByteArray &text)
    {
        QFile f(dir.filePath(name));
        f.open(QIODevice::WriteOnly);
        f.write(text);
        return f.fileName();
    }
};

QStringList row(StringGrid *g, int r)
{
    QStringList s;
    for (int c = 0; c < g->colCount(); ++c)
        s << g->cellText(c, r);
    return s;
}

// A Modbus/TCP request as the station's serve() takes it.
void serveTcp(TSLTCP_Form &f, const QByteArray &hex)
{
    const QByteArray b = QByteArray::fromHex(hex);
    f.serve(reinterpret_cast<const uint8_t *>(b.constData()), size_t(b.size()), nullptr);
}

const QByteArray kMap = "name,address,format,scale,unit,initial,simulate\n"
                        "level,40001,Long ABCD,1,mm,,\"ramp(0, 1000000, 100)\"\n"
                        "temp,30003,Signed,0.1,C,21.5,\n"
                        "pump,00002,Bit,,,1,\n";

}  // namespace

class TestSlaveValues : public QObject {
    Q_OBJECT
private slots:
    void moreCodes()
    {
        TSLTCP_Form f;
        QCOMPARE(f.OptionStrip->MoreCodes->text(), QString("More function codes"));
        QVERIFY(!f.OptionStrip->MoreCodes->isChecked());
        QCOMPARE(f.bench.serving.codes, SlaveCodes::Classic);
        QCOMPARE(f.bench.serving.identity.product, std::string("Slave TCP"));
        f.OptionStrip->MoreCodes->setChecked(true);
        QCOMPARE(f.bench.serving.codes, SlaveCodes::All);
        f.OptionStrip->MoreCodes->setChecked(false);
        QCOMPARE(f.bench.serving.codes, SlaveCodes::Classic);
    }

    void mapLoadedAndSimulated()
    {
        Rig rig;
        TSLTCP_Form f;
        QCOMPARE(f.OptionStrip->LoadMap->text(), QString("Load map\u2026"));
        QVERIFY(!f.TabSheet6);  // no map: the pages of today
        QVERIFY(f.loadMap(rig.file("plant.csv", kMap)));
        QVERIFY(rig.boxes.isEmpty());
        QCOMPARE(f.PageControl1->indexOf(f.TabSheet6), 4);
        QCOMPARE(f.PageControl1->tabText(4), QString("Values"));
        QCOMPARE(f.MapLabel->text(), QString("plant.csv: 3 entries, 1 simulated"));
        QCOMPARE(int(f.tables.inputRegisters[2]), 215);
        QCOMPARE(int(f.ReadCoil(1)), 1);
        StringGrid *g = f.ValuesGrid;
        QCOMPARE(row(g, 0), (QStringList{"Name", "Address", "Value", "Unit", "Simulation"}));
        QCOMPARE(row(g, 2), (QStringList{"temp", "30003", "21.5", "C", ""}));
        QCOMPARE(row(g, 3), (QStringList{"pump", "00002", "1", "", ""}));
        QVERIFY(f.SimTimer->isActive());

        // The ramp rises 1 000 mm every 100 ms; the page follows the table.
        QTest::qWait(350);
        const int level = int(f.tables.holdingRegisters[0]) << 16 | f.tables.holdingRegisters[1];
        QVERIFY2(level >= 2000 && level % 1000 == 0, qPrintable(QString::number(level)));
        f.refreshChangedEntries();
        QCOMPARE(row(g, 1), (QStringList{"level", "40001", QString::number(level), "mm", "ramp(0, 1000000, 100)"}));

        // A master writes the level: it keeps the value written.
        serveTcp(f, "00010000000B011000000002040000007B");
        QTest::qWait(250);
        f.refreshChangedEntries();
        QCOMPARE(row(g, 1), (QStringList{"level", "40001", "123", "mm", "written"}));
        QCOMPARE(int(f.tables.holdingRegisters[1]), 123);

        // The operator sets a value in engineering units; a bad one is told.
        QVERIFY(f.setMapValue(1, "-3.2"));
        QCOMPARE(int(int16_t(f.tables.inputRegisters[2])), -32);
        QCOMPARE(g->cellText(2, 2), QString("-3.2"));
        QVERIFY(!f.setMapValue(1, "hot"));
        QCOMPARE(rig.boxes, QStringList{"temp not set: not a number"});

        f.RestartSim->click();
        QCOMPARE(g->cellText(4, 1), QString("ramp(0, 1000000, 100)"));
        QCOMPARE(g->cellText(2, 1), QString("0"));
    }

    void badMapChangesNothing()
    {
        Rig rig;
        TSLTCP_Form f;
        f.tables.holdingRegisters[0] = 7;
        const QString name = rig.file("bad.csv", "name,address,initial,simulate\n"
                                                 "a,40001,5,\n"
                                                 "b,40002,,\"sine(0, 100)\"\n");
        QVERIFY(!f.loadMap(name));
        QCOMPARE(rig.boxes, QStringList{"Map not loaded: bad.csv: line 3: sine(0, 100): sine needs MIN, MAX and PERIOD"});
        QCOMPARE(int(f.tables.holdingRegisters[0]), 7);
        QVERIFY(!f.TabSheet6);
        QCOMPARE(f.PageControl1->count(), 5);
        QVERIFY(!f.SimTimer->isActive());
    }
};

QTEST_MAIN(TestSlaveValues)
#include "tst_slave_values.moc"

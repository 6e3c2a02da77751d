// The test-bench strip of the three slave windows: its controls and their
// defaults, the unit list refused with a box, delayed answers sent later and
// in order while the event loop runs, value formats in the register grids
// and their editing, the tables to and from files, and the counters.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include "Bench_strip.h"
#include "Fake_link.h"
#include "Gui_services.h"
#include "Modal.h"
#include "Notices.h"
#include "Peers.h"
#include "Set_Format_Value.h"
#include "Slave_ascii.h"
#include "Slave_rtu.h"
#include "Slave_tcp.h"
#include "Slave_test_util.h"

namespace {

struct Rig {
    FakeLink link;
    QStringList boxes;
    Rig()
    {
        set_status_sink([](const std::string &) {});
        set_message_box_sink([this](const std::string &t, const std::string &) { boxes << QString::fromStdString(t); });
    }
    ~Rig()
    {
        set_status_sink(nullptr);
        set_message_box_sink(nullptr);
        set_modal_runner(nullptr);
        set_table_file_asker(nullptr);
    }
};

SlaveStationForm *makeStation(int which)
{
    if (which == 0)
        return new TSLRTU_Form;
    if (which == 1)
        return new TSLASC_Form;
    return new TSLTCP_Form;
}

void setUnits(SlaveStationForm *f, const QString &text)
{
    f->OptionStrip->UnitIds->setText(text);
    f->UnitIdsEditingFinished();
}

void tickFor(SerialSlaveForm *f, FakeLink &link, int ms)
{
    const int64_t until = link.ms + ms;
    while (link.ms < until) {
        f->Timer1Timer();
        link.ms += 5;
    }
}

QString statsText(SlaveStationForm *f)
{
    f->refreshStats();
    return f->OptionStrip->StatsLabel->text();
}

}  // namespace

class TestSlaveBenchWindows : public QObject {
    Q_OBJECT
private slots:
    void strip_data()
    {
        QTest::addColumn<int>("which");
        QTest::newRow("rtu") << 0;
        QTest::newRow("ascii") << 1;
        QTest::newRow("tcp") << 2;
    }
    void strip()
    {
        QFETCH(int, which);
        std::unique_ptr<SlaveStationForm> f(makeStation(which));
        auto *units = f->findChild<QLineEdit *>("UnitIds");
        auto *delay = f->findChild<QSpinBox *>("DelayMs");
        auto *drop = f->findChild<QSpinBox *>("DropEvery");
        auto *exc = f->findChild<QComboBox *>("ForceException");
        auto *format = f->findChild<QComboBox *>("FormatBox");
        auto *stats = f->findChild<QLabel *>("StatsLabel");
        QVERIFY(units && delay && drop && exc && format && stats);
        QCOMPARE(units->text(), QString());
        QCOMPARE(delay->value(), 0);
        QCOMPARE(delay->maximum(), 10000);
        QCOMPARE(drop->value(), 0);
        QStringList items;
        for (int i = 0; i < exc->count(); ++i)
            items << exc->itemText(i);
        QCOMPARE(items, (QStringList{"None", "01 Illegal function", "02 Illegal data address", "03 Illegal data value",
                                     "04 Slave device failure", "06 Slave device busy",
                                     "0B Gateway target failed to respond"}));
        QCOMPARE(exc->currentIndex(), 0);
        QCOMPARE(format->count(), kValueFormatCount);
        QCOMPARE(format->itemText(0), QString("Signed"));
        QCOMPARE(format->itemText(12), QString("Float ABCD"));
        QCOMPARE(format->currentIndex(), 0);
        QCOMPARE(stats->text(), QString("Req 0  Ans 0  Exc 0  Err 0  Ign 0  Drop 0"));
        QCOMPARE(f->findChild<QPushButton *>("ResetStats")->text(), QString("Reset"));
        QCOMPARE(f->findChild<QPushButton *>("LoadTables")->text(), QString("Load\u2026"));
        QCOMPARE(f->findChild<QPushButton *>("SaveTables")->text(), QString("Save\u2026"));
        auto *corrupt = f->findChild<QCheckBox *>("CorruptBox");
        QCOMPARE(corrupt != nullptr, which != 2);
        if (corrupt) {
            QCOMPARE(corrupt->text(), QString("Corrupt checksum"));
            QVERIFY(!corrupt->isChecked());
        }
        QVERIFY(!f->bench.faults.active());
        QVERIFY(f->bench.units.all());
    }

    // A list that cannot be read is refused with one box naming the problem;
    // the filter set before stays.
    void unitListRefused_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("open range") << "5-";
        QTest::newRow("too large") << "300";
        QTest::newRow("not a number") << "a";
        QTest::newRow("empty entry") << "1,,2";
    }
    void unitListRefused()
    {
        QFETCH(QString, text);
        Rig rig;
        TSLRTU_Form f;
        setUnits(&f, "10-20, 1 ,5");
        QCOMPARE(f.OptionStrip->UnitIds->text(), QString("1, 5, 10-20"));
        setUnits(&f, text);
        f.UnitIdsEditingFinished();  // again, as when the box takes the focus
        QCOMPARE(rig.boxes.size(), 1);
        QVERIFY2(rig.boxes[0].startsWith("Unit addresses not changed: "), qPrintable(rig.boxes[0]));
        QCOMPARE(QString::fromStdString(f.bench.units.text()), QString("1, 5, 10-20"));
        QCOMPARE(f.OptionStrip->UnitIds->text(), text);  // kept for correcting
        setUnits(&f, "");
        QVERIFY(f.bench.units.all());
    }

    // Serial: a unit outside the filter gets nothing; a delayed answer goes
    // later, the event loop running meanwhile, and one that comes after it
    // waits for it even with the delay taken off.
    void rtuFilterAndDelay()
    {
        Rig rig;
        TSLRTU_Form f;
        f.setLink(&rig.link);
        f.BitBtn1Click();
        f.Timer1->stop();  // driven by hand
        f.tables.holdingRegisters[0] = 0x0141;
        setUnits(&f, "1");
        rig.link.feed(hexBytes("020300000001 8439"), rig.link.ms + 10, 1);
        tickFor(&f, rig.link, 60);
        QCOMPARE(rig.link.writes.size(), 0);
        QVERIFY(f.Memo1->lines().contains("Ignored: unit 2"));

        f.OptionStrip->DelayMs->setValue(200);
        QElapsedTimer t;
        t.start();
        rig.link.feed(hexBytes("010300000001 840A"), rig.link.ms + 10, 1);
        tickFor(&f, rig.link, 60);
        QVERIFY(f.Memo2->lines().contains("Delayed 200 ms"));
        f.OptionStrip->DelayMs->setValue(0);
        rig.link.feed(hexBytes("010300000002 C40B"), rig.link.ms + 10, 1);
        tickFor(&f, rig.link, 60);
        QCOMPARE(rig.link.writes.size(), 0);
        QVERIFY(!f.Memo2->lines().contains("Delayed 200 ms"));  // no fault, no line
        QVERIFY(waitUntil([&] { return rig.link.writes.size() == 2; }, 3000));
        QVERIFY2(t.elapsed() >= 190, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(spaced(rig.link.writes[0]), spaced(hexBytes("0103020141 79E4")));
        QCOMPARE(spaced(rig.link.writes[1]), spaced(hexBytes("01030401410000 ABDB")));
        QCOMPARE(statsText(&f), QString("Req 3  Ans 2  Exc 0  Err 0  Ign 1  Drop 0"));

        // Bytes that never make a request count as an error.
        rig.link.feed(hexBytes("0103"), rig.link.ms + 10, 1);
        tickFor(&f, rig.link, 60);
        QCOMPARE(statsText(&f), QString("Req 4  Ans 2  Exc 0  Err 1  Ign 1  Drop 0"));
        f.ResetStatsClick();
        QCOMPARE(f.OptionStrip->StatsLabel->text(), QString("Req 0  Ans 0  Exc 0  Err 0  Ign 0  Drop 0"));
        f.BitBtn2Click();
    }

    // TCP: two requests in one segment, both delayed, answered in order on
    // their connection; a unit outside the filter is answered 0B at once.
    void tcpDelayInOrder()
    {
        Rig rig;
        TSLTCP_Form f;
        const quint16 port = freeLoopbackPort();
        f.setListenPort(port);
        f.tables.holdingRegisters[0] = 0x1234;
        f.BitBtn1Click();
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(s.waitForConnected(3000));
        setUnits(&f, "1");
        f.OptionStrip->DelayMs->setValue(150);
        QElapsedTimer t;
        t.start();
        s.write(hexBytes("000100000006010300000001 000200000006010300000001"));
        QByteArray got;
        QVERIFY(waitUntil([&] {
            got += s.readAll();
            return got.size() >= 22;
        }));
        QVERIFY2(t.elapsed() >= 140, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(spaced(got), spaced(hexBytes("0001000000050103021234 0002000000050103021234")));
        got.clear();
        s.write(hexBytes("000300000006020300000001"));
        QVERIFY(waitUntil([&] {
            got += s.readAll();
            return got.size() >= 9;
        }));
        QCOMPARE(spaced(got), spaced(hexBytes("000300000003 02830B")));
        QCOMPARE(statsText(&f), QString("Req 3  Ans 3  Exc 1  Err 0  Ign 1  Drop 0"));
        f.BitBtn2Click();
    }

    // A float on two registers: shown on the first row, edited as a float and
    // written whole; a request writing one register moves the display.
    void floatDisplayAndEdit()
    {
        Rig rig;
        TSLTCP_Form f;
        f.tables.holdingRegisters[0] = 0x3FC0;
        f.OptionStrip->FormatBox->setCurrentText("Float ABCD");
        QCOMPARE(f.registerFormat(), ValueFormat::FloatABCD);
        QCOMPARE(f.StringGrid3->cellText(1, 0), QString("Float ABCD"));
        QCOMPARE(f.StringGrid3->cellText(1, 1), QString("1.5"));
        QCOMPARE(f.StringGrid3->cellText(1, 2), QString("-"));
        QCOMPARE(f.StringGrid3->cellText(2, 1), QString("0x3FC0"));

        QString label, shown;
        auto answer = [&](const QString &text) {
            set_modal_runner([&, text](QDialog *d) {
                auto *dlg = qobject_cast<TSet_FormatValueDlg *>(d);
                if (!dlg)
                    return int(QDialog::Rejected);
                label = dlg->Label1->text();
                shown = dlg->Edit1->text();
                dlg->Edit1->setText(text);
                dlg->OKBtn->click();
                return dlg->result();
            });
        };
        answer("-2.25");
        f.StringGrid3->selectCell(1, 2);  // the second row edits the value
        f.StringGrid3DblClick();
        QCOMPARE(label, QString("Holding Register: 40001"));
        QCOMPARE(shown, QString("1.5"));
        QCOMPARE(f.tables.holdingRegisters[0], uint16_t(0xC010));
        QCOMPARE(f.tables.holdingRegisters[1], uint16_t(0x0000));
        QCOMPARE(f.StringGrid3->cellText(1, 1), QString("-2.25"));

        answer("1e39");  // beyond a float
        f.StringGrid3DblClick();
        QCOMPARE(rig.boxes.size(), 1);
        QVERIFY2(rig.boxes[0].contains("value out of range"), qPrintable(rig.boxes[0]));
        QCOMPARE(f.tables.holdingRegisters[0], uint16_t(0xC010));

        const QByteArray write = hexBytes("000100000006010600003FC0");
        f.serve(reinterpret_cast<const uint8_t *>(write.constData()), size_t(write.size()), nullptr);
        QCOMPARE(f.StringGrid3->cellText(1, 1), QString("1.5"));
        QCOMPARE(f.StringGrid3->cellText(2, 1), QString("0x3FC0"));

        // The hex column still edits its one register.
        f.OptionStrip->FormatBox->setCurrentIndex(0);
        QCOMPARE(f.StringGrid3->cellText(1, 0), QString("Decimal"));
        QCOMPARE(f.StringGrid3->cellText(1, 1), QString(" 16320"));
        QCOMPARE(f.StringGrid3->cellText(1, 2), QString("     0"));
    }

    // A served write reaches its grid row by itself within a refresh, and
    // at once for whoever reads the grid.
    void gridRowsFollowServedWrites()
    {
        Rig rig;
        TSLTCP_Form f;
        const auto serve = [&f](const char *hex) {
            const QByteArray write = hexBytes(hex);
            f.serve(reinterpret_cast<const uint8_t *>(write.constData()), size_t(write.size()), nullptr);
        };
        serve("000100000006010600051234");  // register 40006 = 0x1234
        QTRY_VERIFY(f.StringGrid3->item(6, 2) && f.StringGrid3->item(6, 2)->text() == "0x1234");
        serve("00020000000601060005ABCD");
        QCOMPARE(f.StringGrid3->cellText(2, 6), QString("0xABCD"));
        QCOMPARE(f.StringGrid3->cellText(1, 6), QString("-21555"));
    }

    void tablesToAndFromFiles()
    {
        Rig rig;
        QTemporaryDir dir;
        TSLASC_Form f;
        QString name = dir.path() + "/tables.csv";
        set_table_file_asker([&](QWidget *, bool) { return name; });
        applyTables(f.tables, "C0;C1023;R5;H0=8000;H1023=ffff;I7=1234");
        f.OptionStrip->SaveTables->click();
        QFile saved(name);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(),
                 QByteArray("00001,1\n01024,1\n10006,1\n30008,4660\n40001,-32768\n41024,-1\n"));

        f.tables = SlaveTables{};
        f.tables.holdingRegisters[5] = 9;  // not in the file: becomes 0
        f.OptionStrip->LoadTables->click();
        QCOMPARE(checkTables(f.tables, "C0;C1023;R5;H0=8000;H1023=ffff;I7=1234;H5=0"), QString());
        QCOMPARE(f.StringGrid1->cellText(8, 1), QString("On"));
        QCOMPARE(f.StringGrid2->cellText(3, 1), QString("On"));
        QCOMPARE(f.StringGrid3->cellText(1, 1), QString("-32768"));
        QCOMPARE(f.StringGrid3->cellText(1, 6), QString("     0"));
        QCOMPARE(f.StringGrid4->cellText(2, 8), QString("0x1234"));
        QVERIFY(rig.boxes.isEmpty());

        // All or nothing: the first bad line is named, no table changes.
        name = dir.path() + "/bad.csv";
        QFile bad(name);
        QVERIFY(bad.open(QIODevice::WriteOnly));
        bad.write("40002,5\n40001,70000\n");
        bad.close();
        f.OptionStrip->LoadTables->click();
        QCOMPARE(rig.boxes, QStringList{"Tables not loaded: " + name + ": line 2: 40001,70000: value out of range"});
        QCOMPARE(checkTables(f.tables, "H0=8000;H1=0"), QString());

        name.clear();  // cancelled
        f.OptionStrip->LoadTables->click();
        QCOMPARE(rig.boxes.size(), 1);
    }
};

QTEST_MAIN(TestSlaveBenchWindows)
#include "tst_slave_bench_windows.moc"

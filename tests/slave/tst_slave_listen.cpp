// A slave that only listens: the frames heard go to the history with what
// the monitor took them for, answers fill the mirrored tables, the unit
// filter limits both; in the Slave RTU and Slave ASCII windows not one byte
// is written to a port opened so, and the grids and counters follow.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QtTest>

#include "Bench_strip.h"
#include "Fake_link.h"
#include "Gui_services.h"
#include "Notices.h"
#include "Slave_ascii.h"
#include "Slave_listener.h"
#include "Slave_rtu.h"
#include "Slave_test_util.h"

namespace {

QByteArray rtu(const QString &hex)
{
    const QByteArray b = hexBytes(hex);
    return b + referenceCrc(b);
}

QByteArray ascii(const QString &hex)
{
    return ":" + hex.toLatin1().toUpper() + referenceLrc(hexBytes(hex)) + "\r\n";
}

struct Heard {
    int64_t atMs;
    QByteArray bytes;
};

// What the tests hear: requests and answers of unit 1, a unit 2 exchange,
// an exception, a CRC error and a request left unanswered.
const QList<Heard> &line()
{
    static const QList<Heard> heard{
        {0, rtu("010300000002")},        {20, rtu("01030412345678")},  // read 2 holding registers
        {100, rtu("01060005002A")},      {110, rtu("01060005002A")},   // write one, echoed
        {200, rtu("010300100001")},      {205, rtu("018302")},         // exception 02
        {300, rtu("020300000001")},      {310, rtu("020302ABCD")},     // unit 2: filtered out
        {400, hexBytes("01040000000100FF")},                           // CRC error
        {450, rtu("010300070001")},                                    // unanswered
        {500, rtu("010100000003")},      {504, rtu("01010105")},       // 3 coils: on, off, on
    };
    return heard;
}

}  // namespace

class TestSlaveListen : public QObject {
    Q_OBJECT
private slots:
    void heardFramesMirrorAndCount();
    void neverWrites_data();
    void neverWrites();
    void listeningWindow();
};

void TestSlaveListen::heardFramesMirrorAndCount()
{
    Station_traffic traffic(Traffic_framing::Rtu, Traffic_side::Slave, [] { return int64_t(0); });
    SlaveTables tables;
    tables.holdingRegisters[1] = 7;
    tables.holdingRegisters[9] = 99;  // never on the line
    UnitFilter units;
    std::string error;
    QVERIFY(UnitFilter::parse("1", units, error));
    QList<QPair<int, int>> written;
    SlaveListener listener({.framing = Line_framing::Rtu, .baud = 9600, .bits_per_char = 10}, traffic, tables, units,
                           [&](int kind, uint16_t n) { written.append({kind, int(n)}); });
    for (const Heard &h : line()) {
        listener.idle(h.atMs * 1000);
        listener.feed(reinterpret_cast<const uint8_t *>(h.bytes.constData()), size_t(h.bytes.size()),
                      h.atMs * 1000);
    }
    listener.idle(10'000'000);

    QStringList notes;
    for (size_t i = 0; i < traffic.history().size(); ++i) {
        const Traffic_event &e = traffic.history().at(i);
        notes << QString::fromLatin1(direction_text(e.direction).data(), 2) + " " +
                     QString::fromStdString(traffic.history().note(e));
    }
    QCOMPARE(notes, (QStringList{
                        "RX request unit 1 fn 3 addr 0 count 2",
                        "RX answer unit 1 fn 3 bytes 4 in 20 ms",
                        "RX request unit 1 fn 6 addr 5 value 42",
                        "RX answer unit 1 fn 6 addr 5 value 42 in 10 ms",
                        "RX request unit 1 fn 3 addr 16 count 1",
                        "RX answer unit 1 fn 3 exception 2 illegal data address in 5 ms",
                        "RX unknown unit 1 fn 4 addr 0 count 1 bad CRC",
                        "-- CRC error: received 00 FF, computed 31 CA",
                        "RX request unit 1 fn 3 addr 7 count 1",
                        "RX request unit 1 fn 1 addr 0 count 3",
                        "RX answer unit 1 fn 1 bytes 1 in 4 ms",
                    }));
    // The monitor's own counters take in every unit.
    QCOMPARE(QString::fromStdString(listener.counters().label()),
             QString("Req 6  Ans 5  Exc 1  Err 1  Unans 1  Noise 0"));
    listener.resetCounters();
    QCOMPARE(QString::fromStdString(listener.counters().label()),
             QString("Req 0  Ans 0  Exc 0  Err 0  Unans 0  Noise 0"));

    QCOMPARE(tables.holdingRegisters[0], uint16_t(0x1234));
    QCOMPARE(tables.holdingRegisters[1], uint16_t(0x5678));
    QCOMPARE(tables.holdingRegisters[5], uint16_t(42));
    QCOMPARE(tables.holdingRegisters[9], uint16_t(99));
    QCOMPARE(tables.holdingRegisters[16], uint16_t(0));  // an exception reveals nothing
    QCOMPARE((QList<int>{tables.ReadCoil(0), tables.ReadCoil(1), tables.ReadCoil(2)}), (QList<int>{1, 0, 1}));
    QCOMPARE(written, (QList<QPair<int, int>>{{KindHoldingRegister, 0},
                                              {KindHoldingRegister, 1},
                                              {KindHoldingRegister, 5},
                                              {KindCoil, 0},
                                              {KindCoil, 1},
                                              {KindCoil, 2}}));
}

// The station hears requests it would answer, with a forced exception set;
// listening, it writes nothing at all; serving, it answers.
void TestSlaveListen::neverWrites_data()
{
    QTest::addColumn<bool>("asciiStation");
    QTest::addColumn<bool>("listen");
    QTest::newRow("rtu listening") << false << true;
    QTest::newRow("ascii listening") << true << true;
    QTest::newRow("rtu serving") << false << false;
    QTest::newRow("ascii serving") << true << false;
}

void TestSlaveListen::neverWrites()
{
    QFETCH(bool, asciiStation);
    QFETCH(bool, listen);
    set_status_sink([](const std::string &) {});
    std::unique_ptr<SerialSlaveForm> f;
    if (asciiStation)
        f = std::make_unique<TSLASC_Form>();
    else
        f = std::make_unique<TSLRTU_Form>();
    FakeLink link;
    f->setLink(&link);
    f->OptionStrip->ForceException->setCurrentIndex(1);
    f->ListenOnly->setChecked(listen);
    f->BitBtn1Click();
    for (int i = 0; i < 4; ++i) {
        const QString request = QString("0103%1 0001").arg(i * 2, 4, 16, QChar('0')).remove(' ');
        link.feed(asciiStation ? ascii(request) : rtu(request), 100 * i);
    }
    link.feed(asciiStation ? ascii("01030200FF") : rtu("01030200FF"), 320);
    while (link.ms < 1000) {
        f->Timer1Timer();
        link.ms += 5;
    }
    f->BitBtn2Click();
    set_status_sink(nullptr);
    f->refreshStats();
    if (listen) {
        QCOMPARE(link.bytesWritten(), qsizetype(0));
        QCOMPARE(f->OptionStrip->StatsLabel->text(), QString("Req 4  Ans 1  Exc 0  Err 0  Unans 3  Noise 0"));
    } else {
        QVERIFY(link.bytesWritten() > 0);
    }
}

void TestSlaveListen::listeningWindow()
{
    set_status_sink([](const std::string &) {});
    TSLRTU_Form f;
    FakeLink link;
    f.setLink(&link);
    BenchStrip *o = f.OptionStrip;
    QCOMPARE(f.ListenOnly->text(), QString("Listen only (never answer)"));
    QVERIFY(!f.ListenOnly->isChecked());
    f.ListenOnly->setChecked(true);
    f.BitBtn1Click();
    QVERIFY(f.listening());
    QVERIFY(!f.ListenOnly->isEnabled());
    QVERIFY(!o->ForceException->isEnabled() && !o->DelayMs->isEnabled() && !o->CorruptBox->isEnabled());

    link.feed(rtu("010300000002"), 10);
    link.feed(rtu("01030412345678"), 30);
    while (link.ms < 100) {
        f.Timer1Timer();
        link.ms += 5;
    }
    QCOMPARE(f.StringGrid3->cellText(1, 1).trimmed(), QString("4660"));
    QCOMPARE(f.StringGrid3->cellText(1, 2).trimmed(), QString("22136"));
    f.refreshStats();
    QCOMPARE(o->StatsLabel->text(), QString("Req 1  Ans 1  Exc 0  Err 0  Unans 0  Noise 0"));

    f.BitBtn2Click();
    set_status_sink(nullptr);
    QVERIFY(!f.listening());
    QVERIFY(f.ListenOnly->isEnabled() && o->ForceException->isEnabled());
    // The counters of the listening stay shown, and Reset zeroes them.
    QCOMPARE(o->StatsLabel->text(), QString("Req 1  Ans 1  Exc 0  Err 0  Unans 0  Noise 0"));
    f.ResetStatsClick();
    QCOMPARE(o->StatsLabel->text(), QString("Req 0  Ans 0  Exc 0  Err 0  Unans 0  Noise 0"));
    QCOMPARE(link.bytesWritten(), qsizetype(0));
}

QTEST_MAIN(TestSlaveListen)
#include "tst_slave_listen.moc"

// The scan dialog on the stations' links: Master RTU sweeping the line
// settings of a line whose devices answer at one setting only, and Master
// TCP scanning pymodbus's UDP server, stopped by Esc.
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QSpinBox>
#include <QTableWidget>
#include <cstring>

#include "Master_rtu.h"
#include "Master_tcp.h"
#include "Peers.h"
#include "Scan_Dlg.h"
#include "Station_rig.h"
#include "corvane.h"

namespace {

// A serial line with RTU devices behind it that understand requests only
// at one line setting.
class DeviceLine : public SerialLink {
public:
    QList<int> units;
    PortSetting at;  // where the devices listen
    PortSetting line;
    QStringList opens;  // "19200 E 8 1"

    int32_t open(int32_t, int32_t baud, char parity, int32_t bits, int32_t stop, int32_t) override
    {
        line = {.Baud = baud, .StopBitCount = int16_t(stop), .DataBitCount = int16_t(bits), .ParityLetter = parity};
        opens << QString("%1 %2 %3 %4").arg(baud).arg(parity).arg(bits).arg(stop);
        return 1;
    }
    int32_t close(int32_t) override { return 1; }
    int32_t write(int32_t, const void *buf, int32_t n) override
    {
        const auto *req = static_cast<const uint8_t *>(buf);
        if (n == 8 && line == at && units.contains(req[0]) && req[1] == 3) {
            uint8_t a[7] = {req[0], 3, 2, 0, req[0]};
            CRC_check(a, 5, a + 5);
            waiting_.append(reinterpret_cast<const char *>(a), 7);
        }
        return n;
    }
    int32_t read(int32_t, void *buf, int32_t size) override
    {
        const int32_t n = std::min<int32_t>(size, int32_t(waiting_.size()));
        memcpy(buf, waiting_.constData(), size_t(n));
        waiting_.remove(0, n);
        return n;
    }
    int32_t pending(int32_t) override { return int32_t(waiting_.size()); }
    int16_t recv(int32_t) override { return -1; }
    int32_t descriptor(int32_t) override { return -1; }

private:
    QByteArray waiting_;
};

QStringList rows(QDialog *d)
{
    auto *t = child<QTableWidget>(d, "ScanResults");
    QStringList out;
    for (int r = 0; r < t->rowCount(); ++r)
        out << t->item(r, 0)->text() + "|" + t->item(r, 1)->text() + "|" + t->item(r, 2)->text();
    return out;
}

}  // namespace

class TestMasterScan : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { set_modal_runner({}); }

    // Devices 2, 3 and 5 answer at 4800 E 8 1 only: the sweep finds them
    // there and stops; "Use" puts unit 3 and the setting into the station.
    void serialSweep()
    {
        Recorder rec;
        DeviceLine line;
        line.units = {2, 3, 5};
        line.at = {.Baud = 4800, .StopBitCount = 1, .DataBitCount = 8, .ParityLetter = 'E'};
        auto *form = new TMSRTU_Form;
        form->setLink(&line);
        invoke(form, "BitBtn4Click");
        QStringList found;
        set_modal_runner([&](QDialog *d) {
            child<QSpinBox>(d, "LastUnit")->setValue(5);
            child<QSpinBox>(d, "ScanTimeoutMs")->setValue(20);
            child<QCheckBox>(d, "ScanBauds")->setChecked(true);
            child<QPushButton>(d, "ScanStart")->click();
            waitUntil([&] { return child<QPushButton>(d, "ScanStart")->isEnabled(); }, 20000);
            found = rows(d);
            child<QTableWidget>(d, "ScanResults")->selectRow(1);
            child<QPushButton>(d, "ScanUse")->click();
            return d->result();
        });
        invoke(form, "ScanUnitsClick");
        QCOMPARE(found, (QStringList{"2|4800 E 8 1|2", "3|4800 E 8 1|3", "5|4800 E 8 1|5"}));
        // Each setting up to the one found, then the station's own, then the one used.
        QCOMPARE(line.opens.size(), 1 + 10 + 1 + 1);
        QCOMPARE(line.opens.value(11), QString("9600 N 8 1"));
        QCOMPARE(line.opens.last(), QString("4800 E 8 1"));
        QCOMPARE(child<QLineEdit>(form, "MaskEdit1")->text(), QString("3"));
        QCOMPARE(child<QLabel>(form, "Label1")->text(), QString("COM1 Port 4800 E 8 1"));
        QVERIFY(rec.boxes.isEmpty());
        delete form;
    }

    // Over Modbus/UDP every unit answers; Esc ends the scan at once and the
    // dialog stays with what it found.
    void escapeStopsAndKeeps()
    {
        const quint16 port = freeLoopbackPort();
        PeerProcess server;
        QVERIFY(server.start(systemPython(), {testSourcePath("peers/framing_server.py"), "udp", QString::number(port)}));
        QVERIFY(server.waitForOutput("READY"));
        Recorder rec;
        auto *form = new TMSTCP_Form;
        child<QComboBox>(form, "Framing")->setCurrentIndex(TMSTCP_Form::FramingUdp);
        child<QLineEdit>(form, "MaskEdit4")->setText(QString::number(port));
        invoke(form, "BitBtn3Click");
        QVERIFY(waitUntil([&] { return button(form, "BitBtn4")->isEnabled(); }));
        QStringList found;
        bool stillOpen = false;
        set_modal_runner([&](QDialog *d) {
            d->show();
            if (!child<QCheckBox>(d, "ScanBauds")->isHidden())
                return -1;  // no line settings on a network link
            child<QPushButton>(d, "ScanStart")->click();
            waitUntil([&] { return child<QTableWidget>(d, "ScanResults")->rowCount() >= 3; });
            QTest::keyClick(d, Qt::Key_Escape);
            stillOpen = d->isVisible() && child<QPushButton>(d, "ScanStart")->isEnabled();
            found = rows(d);
            d->reject();
            return d->result();
        });
        invoke(form, "ScanUnitsClick");
        QVERIFY(stillOpen);
        QVERIFY(found.size() >= 3 && found.size() < 247);
        QCOMPARE(found.first(), QString("1|Modbus/UDP|1000"));
        delete form;
    }
};

QTEST_MAIN(TestMasterScan)
#include "tst_master_scan.moc"

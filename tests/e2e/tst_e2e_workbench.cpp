// The master workbench in the running program: Master TCP writes a block of
// floats into the Slave TCP station over 127.0.0.1 and then polls them in
// the float format; it watches a map of 20 entries on the same slave.
// Pictures of the block dialog, the polling float display and the Watch page
// are left in e2e-pictures/ of the build directory.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QHeaderView>
#include <QStyleOptionComboBox>
#include <QTableView>
#include <QtTest>

#include "Gui_services.h"
#include "Master_window.h"
#include "Modal.h"
#include "Modbus_main.h"
#include "Notices.h"
#include "Peers.h"
#include "Slave_tcp.h"
#include "Startup.h"

namespace {

template <class T> T *child(QObject *parent, const char *name)
{
    T *c = parent->findChild<T *>(name);
    if (!c)
        qFatal("no child %s in %s", name, qPrintable(parent->objectName()));
    return c;
}

QString picturesDir()
{
    QString base = QString::fromLocal8Bit(qgetenv("QUILLAN_BINARY_DIR"));
    if (base.isEmpty())
        base = QDir::tempPath();
    return base + "/e2e-pictures";
}

void savePicture(QWidget *w, const QString &name)
{
    QDir().mkpath(picturesDir());
    const QString path = picturesDir() + "/" + name + ".png";
    if (w->grab().save(path))
        qInfo("picture: %s", qPrintable(path));
}

int rxCount(QWidget *master)
{
    const QString text = child<QLabel>(master, "StatsLabel")->text();
    return text.section("  ", 1, 1).mid(3).toInt();  // "Tx N  Rx N  ..."
}

}  // namespace

class TestE2eWorkbench : public QObject {
    Q_OBJECT
    QStringList boxes_;

private slots:
    void initTestCase()
    {
        QVERIFY(Form1);
        set_message_box_sink([this](const std::string &text, const std::string &caption) {
            boxes_ << QString::fromStdString(caption + "|" + text);
        });
    }
    void cleanupTestCase() { set_modal_runner({}); }

    // At the starting size the widest counters and the longest value format
    // are shown whole in each master station.
    void countersAndFormatWhole()
    {
        Form1->resize(730, 505);
        const QString widest = "Tx 12345  Rx 12345  Exc 12345  Err 12345  T/O 12345  last 1234 ms  min 1234 ms  "
                               "avg 1234 ms  max 1234 ms";
        for (int kind : {MasterRtu, MasterAscii, MasterTcp}) {
            Form1->openStation(kind);
            QWidget *master = Form1->station(kind);
            auto *stats = child<QLabel>(master, "StatsLabel");
            auto *format = child<QComboBox>(master, "FormatBox");
            stats->setText(widest);
            format->setCurrentText("Unsigned long ABCD");
            QCoreApplication::processEvents();
            savePicture(Form1, QString("workbench-widest-counters-%1-730x505").arg(kind));
            const QRect room = stats->contentsRect();
            QVERIFY(room.contains(stats->fontMetrics().boundingRect(room, Qt::TextWordWrap, widest)));
            QStyleOptionComboBox box;
            box.initFrom(format);
            const QRect field =
                format->style()->subControlRect(QStyle::CC_ComboBox, &box, QStyle::SC_ComboBoxEditField, format);
            QVERIFY(field.width() >= format->fontMetrics().horizontalAdvance(format->currentText()));
            Form1->stationSubWindow(kind)->close();
        }
    }

    void pollingFloats()
    {
        Form1->resize(730, 505);
        child<QAction>(Form1, "SlaveTCP1")->trigger();
        auto *slave = qobject_cast<TSLTCP_Form *>(Form1->station(SlaveTcp));
        child<QAction>(Form1, "MasterTCP1")->trigger();
        QWidget *master = Form1->station(MasterTcp);
        QVERIFY(slave && master);
        const quint16 port = freeLoopbackPort();
        slave->setListenPort(port);
        child<QPushButton>(slave, "BitBtn1")->click();
        QVERIFY(slave->serverOpen());
        child<QLineEdit>(master, "MaskEdit4")->setText(QString::number(port));
        child<QPushButton>(master, "BitBtn3")->click();
        QVERIFY(waitUntil([&] { return child<QPushButton>(master, "BitBtn4")->isEnabled(); }));

        // Four floats written as one block into holding registers 40001-40008.
        child<QComboBox>(master, "ComboBox1")->setCurrentIndex(2);
        child<QComboBox>(master, "FormatBox")->setCurrentText("Float ABCD");
        set_modal_runner([](QDialog *d) {
            child<QSpinBox>(d, "StartAddress")->setValue(1);
            child<QPlainTextEdit>(d, "Values")->setPlainText("3.14159\n-273.15\n1e6, 0.5");
            d->show();
            QCoreApplication::processEvents();
            savePicture(d, "dialog-Write_BlockDlg-floats");
            d->hide();
            child<QPushButton>(d, "OKBtn")->click();
            return d->result();
        });
        child<QPushButton>(master, "WriteBlock")->click();
        QVERIFY(waitUntil([&] { return rxCount(master) == 1; }));
        QCOMPARE(child<StringGrid>(slave, "StringGrid3")->cellText(2, 1), QString("0x4049"));

        // Polled every 250 ms in the float format.
        child<QLineEdit>(master, "MaskEdit3")->setText("8");
        child<QSpinBox>(master, "PollInterval")->setValue(250);
        child<QCheckBox>(master, "PollBox")->setChecked(true);
        QVERIFY(waitUntil([&] { return rxCount(master) >= 4; }, 5000));
        auto *grid = child<StringGrid>(master, "StringGrid1");
        QStringList values;
        for (int r = 1; r <= 8; ++r)
            values << grid->cellText(1, r).trimmed();
        QCOMPARE(values, (QStringList{"3.14159", "-", "-273.15", "-", "1e+06", "-", "0.5", "-"}));
        Form1->openStation(MasterTcp);
        QCoreApplication::processEvents();
        savePicture(Form1, "workbench-polling-float-730x505");
        Form1->resize(1280, 1000);
        QCoreApplication::processEvents();
        savePicture(Form1, "workbench-polling-float-1280x1000");
        Form1->resize(730, 505);
        child<QCheckBox>(master, "PollBox")->setChecked(false);
        QVERIFY2(boxes_.isEmpty(), qPrintable(boxes_.join("\n")));
        Form1->stationSubWindow(MasterTcp)->close();
        Form1->stationSubWindow(SlaveTcp)->close();
    }
    // A pump station's map of 20 entries watched on the Slave TCP station,
    // at both window sizes: every column whole at the larger one.
    void watchPage()
    {
        Form1->resize(730, 505);
        child<QAction>(Form1, "SlaveTCP1")->trigger();
        auto *slave = qobject_cast<TSLTCP_Form *>(Form1->station(SlaveTcp));
        child<QAction>(Form1, "MasterTCP1")->trigger();
        auto *master = qobject_cast<MasterWindow *>(Form1->station(MasterTcp));
        QVERIFY(slave && master);
        const quint16 port = freeLoopbackPort();
        slave->setListenPort(port);
        child<QPushButton>(slave, "BitBtn1")->click();
        QVERIFY(slave->serverOpen());

        QTemporaryDir dir;
        const QString path = dir.filePath("pump.csv");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("name,address,format,scale,unit,writable,description\n"
                   "flow_rate,40001,Float CDAB,1,m3/h,yes,Outlet flow\n"
                   "flow_total,40003,Unsigned long ABCD,0.1,m3,no,Totalised outlet flow\n"
                   "level,40005,Signed,0.01,m,yes,Tank level\n"
                   "pressure_in,40006,Signed,0.1,bar,no,Inlet pressure\n"
                   "pressure_out,40007,Signed,0.1,bar,no,Outlet pressure\n"
                   "speed_set,40010,Unsigned,1,rpm,yes,Speed setpoint\n"
                   "valve_pos,40012,Unsigned,0.1,%,yes,Valve position\n"
                   "run_hours,40020,Unsigned long CDAB,1,h,no,Running hours\n"
                   "temp_motor,30001,Signed,0.1,°C,,Motor winding temperature\n"
                   "temp_bearing,30002,Signed,0.1,°C,,Bearing temperature\n"
                   "current,30003,Unsigned,0.01,A,,Motor current\n"
                   "power,30004,Float ABCD,1,kW,,Shaft power\n"
                   "pump_on,00001,Bit,,,yes,Pump run command\n"
                   "reset_fault,00002,Bit,,,yes,Fault reset\n"
                   "auto_mode,00003,Bit,,,yes,Automatic mode\n"
                   "pump_fault,10001,Bit,,,,Pump fault\n"
                   "low_level,10002,Bit,,,,Low level switch\n"
                   "high_level,10003,Bit,,,,High level switch\n"
                   "dosing_rate,402001,Float ABCD,1,l/h,yes,Dosing pump (not fitted)\n"
                   "dosing_total,402003,Float ABCD,1,l,no,Dosing total (not fitted)\n");
        file.close();
        auto put = [](uint16_t *table, int index, ValueFormat format, double value) {
            const EncodedValue v = encode_number(format, value);
            for (int i = 0; i < v.count; ++i)
                table[index + i] = v.words[size_t(i)];
        };
        SlaveTables &t = slave->tables;
        put(t.holdingRegisters, 0, ValueFormat::FloatCDAB, 42.75);
        put(t.holdingRegisters, 2, ValueFormat::UnsignedLongABCD, 1234567);
        put(t.holdingRegisters, 4, ValueFormat::Signed, 312);
        put(t.holdingRegisters, 5, ValueFormat::Signed, 12);
        put(t.holdingRegisters, 6, ValueFormat::Signed, 48);
        put(t.holdingRegisters, 9, ValueFormat::Unsigned, 1480);
        put(t.holdingRegisters, 11, ValueFormat::Unsigned, 655);
        put(t.holdingRegisters, 19, ValueFormat::UnsignedLongCDAB, 18342);
        put(t.inputRegisters, 0, ValueFormat::Signed, 654);
        put(t.inputRegisters, 1, ValueFormat::Signed, 417);
        put(t.inputRegisters, 2, ValueFormat::Unsigned, 2315);
        put(t.inputRegisters, 3, ValueFormat::FloatABCD, 11.8);
        slave->WriteCoil(0, 1);
        slave->WriteCoil(2, 1);
        slave->WriteInputRelay(2, 1);

        set_watch_file_asker([path](QWidget *, WatchFile) { return path; });
        child<QLineEdit>(master, "MaskEdit4")->setText(QString::number(port));
        child<QPushButton>(master, "BitBtn3")->click();
        QVERIFY(waitUntil([&] { return child<QPushButton>(master, "BitBtn4")->isEnabled(); }));
        master->pages()->setCurrentWidget(master->watchPage());
        child<QPushButton>(master, "LoadMap")->click();
        set_watch_file_asker({});
        master->watchPage()->setPlotted({0, 2, 11});
        int cycles = 0;
        connect(master->watchPage(), &WatchPage::cycleCompleted, this, [&cycles] { ++cycles; });
        child<QSpinBox>(master, "PollInterval")->setValue(250);
        child<QCheckBox>(master, "WatchBox")->setChecked(true);
        QVERIFY(waitUntil([&] { return cycles >= 2; }, 5000));
        QTest::qWait(150);  // the view's refresh
        auto *view = child<QTableView>(master, "WatchView");
        QCOMPARE(view->model()->rowCount(), 20);
        QCOMPARE(view->model()->index(0, 3).data().toString(), QString("42.75"));
        QCOMPARE(view->model()->index(18, 6).data().toString(), QString("exception 02"));
        Form1->openStation(MasterTcp);
        QCoreApplication::processEvents();
        savePicture(Form1, "watch-page-730x505");
        Form1->resize(1280, 1000);
        QCoreApplication::processEvents();
        savePicture(Form1, "watch-page-1280x1000");
        // At the larger size every column shows whole.
        const int columns = view->horizontalHeader()->length();
        QVERIFY2(columns <= view->viewport()->width(),
                 qPrintable(QString("%1 > %2").arg(columns).arg(view->viewport()->width())));
        Form1->resize(730, 505);
        // Beside the tabs, each page's own buttons.
        master->pages()->setCurrentIndex(1);
        QCoreApplication::processEvents();
        QVERIFY(child<QPushButton>(master, "SaveTraffic")->isVisible());
        QVERIFY(!child<QPushButton>(master, "LoadMap")->isVisible());
        savePicture(Form1, "watch-traffic-page-730x505");
        master->pages()->setCurrentIndex(0);
        QVERIFY(!child<QPushButton>(master, "SaveTraffic")->isVisible());
        child<QCheckBox>(master, "WatchBox")->setChecked(false);
        QVERIFY2(boxes_.isEmpty(), qPrintable(boxes_.join("\n")));
        Form1->stationSubWindow(MasterTcp)->close();
        Form1->stationSubWindow(SlaveTcp)->close();
    }
};


int main(int argc, char **argv)
{
    TApplication app(argc, argv);
    Startup program;
    TestE2eWorkbench test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_e2e_workbench.moc"

// The master workbench in the running program: Master TCP writes a block of
// floats into the Slave TCP station over 127.0.0.1 and then polls them in
// the float format. Pictures of the block dialog and of the polling float
// display are left in e2e-pictures/ of the build directory, with those of
// Master TCP's Framing and of the scan dialog with its results.
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
#include <QStyleOptionComboBox>
#include <QTableWidget>
#include <QtTest>

#include "Gui_services.h"
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

    // Master TCP with its Framing at the starting size, and the scan dialog
    // with what it found behind Slave TCP's unit filter (the other units
    // answer exception 0B and are left out).
    void scanPictures()
    {
        Form1->resize(730, 505);
        child<QAction>(Form1, "SlaveTCP1")->trigger();
        auto *slave = qobject_cast<TSLTCP_Form *>(Form1->station(SlaveTcp));
        child<QLineEdit>(slave, "UnitIds")->setText("3, 17, 100");
        emit child<QLineEdit>(slave, "UnitIds")->editingFinished();
        const quint16 port = freeLoopbackPort();
        slave->setListenPort(port);
        child<QPushButton>(slave, "BitBtn1")->click();
        QVERIFY(slave->serverOpen());
        child<QAction>(Form1, "MasterTCP1")->trigger();
        QWidget *master = Form1->station(MasterTcp);
        QCoreApplication::processEvents();
        savePicture(Form1, "master-tcp-framing-730x505");
        child<QLineEdit>(master, "MaskEdit4")->setText(QString::number(port));
        child<QPushButton>(master, "BitBtn3")->click();
        QVERIFY(waitUntil([&] { return child<QPushButton>(master, "BitBtn4")->isEnabled(); }));
        QStringList units;
        set_modal_runner([&](QDialog *d) {
            d->show();
            child<QPushButton>(d, "ScanStart")->click();
            waitUntil([&] { return child<QPushButton>(d, "ScanStart")->isEnabled(); }, 20000);
            auto *table = child<QTableWidget>(d, "ScanResults");
            for (int r = 0; r < table->rowCount(); ++r)
                units << table->item(r, 0)->text();
            table->selectRow(1);
            QCoreApplication::processEvents();
            savePicture(d, "dialog-Scan_Dlg-results");
            d->hide();
            return int(QDialog::Rejected);
        });
        child<QPushButton>(master, "ScanUnits")->click();
        set_modal_runner({});
        QCOMPARE(units, (QStringList{"3", "17", "100"}));
        // A serial station offers the sweep of line settings.
        Form1->openStation(MasterRtu);
        set_modal_runner([](QDialog *d) {
            d->show();
            child<QCheckBox>(d, "ScanBauds")->setChecked(true);
            QCoreApplication::processEvents();
            savePicture(d, "dialog-Scan_Dlg-serial");
            d->hide();
            return int(QDialog::Rejected);
        });
        child<QPushButton>(Form1->station(MasterRtu), "ScanUnits")->click();
        set_modal_runner({});
        QVERIFY2(boxes_.isEmpty(), qPrintable(boxes_.join("\n")));
        Form1->stationSubWindow(MasterRtu)->close();
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

// The port definition dialog and the "Port Define" action of the serial stations.
#include <QComboBox>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

#include "Modal.h"
#include "Notices.h"
#include "Strformat.h"
#include "Port_Def.h"

namespace {

QComboBox *combo(int n) { return Port_DefDlg->findChild<QComboBox *>(QString("ComboBox%1").arg(n)); }

// What the selectors show: port, baud, parity, data bits, stop bits, used port.
QStringList shown()
{
    QStringList s;
    for (int n = 1; n <= 6; ++n)
        s << combo(n)->currentText();
    return s;
}

// A serial station as the action sees it: its ports, whether the port is open,
// its Close action (with the message line) and its port label.
struct FakeStation {
    StationPorts ports;
    bool open = false;
    QString label;
    QStringList events;

    FakeStation(int used, int32_t baud, char parity, int16_t data, int16_t stop)
    {
        ports.setDefaults(used, baud, parity, data, stop);
        UpdatePortLabel();
    }
    void UpdatePortLabel()
    {
        ports.takeCurrent();
        label = ports.label();
    }
    bool portDefine()
    {
        return port_define_action(
            ports, open,
            [this] {
                open = false;
                show_status_message(strformat("Close COM%d port OK ......", ports.usedPort));
                events << "close";
            },
            [this] {
                UpdatePortLabel();
                events << "label";
            });
    }
};

FakeStation masterRtu() { return FakeStation(1, 9600, 'N', 8, 1); }
FakeStation masterAscii() { return FakeStation(2, 9600, 'O', 7, 1); }

}  // namespace

class TestPortDef : public QObject {
    Q_OBJECT
    QStringList boxes_;
    QString status_;
    std::function<void()> operatorActs_;  // what the operator does in the dialog
    QString ending_;                      // how the dialog is left: ok, cancel, esc, close
    QStringList shownOnOpen_;
    int modalRuns_ = 0;

    void answer(std::function<void()> acts, const QString &ending)
    {
        operatorActs_ = std::move(acts);
        ending_ = ending;
    }

private slots:
    void initTestCase()
    {
        set_modal_runner([this](QDialog *d) {
            ++modalRuns_;
            d->show();
            shownOnOpen_ = shown();
            if (operatorActs_)
                operatorActs_();
            if (ending_ == "ok")
                d->findChild<QPushButton *>("OKBtn")->click();
            else if (ending_ == "cancel")
                d->findChild<QPushButton *>("CancelBtn")->click();
            else if (ending_ == "esc")
                QTest::keyClick(d, Qt::Key_Escape);
            else if (ending_ == "close")
                d->close();
            d->hide();
            return d->result();
        });
    }
    void cleanupTestCase()
    {
        set_modal_runner({});
        delete Port_DefDlg;
        QVERIFY(Port_DefDlg == nullptr);
    }
    void init()
    {
        boxes_.clear();
        status_.clear();
        operatorActs_ = {};
        ending_ = "ok";
        modalRuns_ = 0;
        set_message_box_sink([this](const std::string &t, const std::string &c) {
            boxes_ << QString::fromStdString(c + "|" + t);
        });
        set_status_sink([this](const std::string &t) { status_ = QString::fromStdString(t); });
    }
    void cleanup()
    {
        set_message_box_sink({});
        set_status_sink({});
    }

    // ---- the dialog itself ------------------------------------------------

    void dialogLooks()
    {
        FakeStation s = masterRtu();
        s.portDefine();  // makes the dialog on first use
        QVERIFY(Port_DefDlg);
        QCOMPARE(Port_DefDlg->windowTitle(), QString("Communication Parameter Define"));
        const QStringList ports = {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8"};
        const QList<QStringList> items = {ports, {"1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200"},
                                          {"None", "Odd", "Even"}, {"7", "8"}, {"1", "2"}, ports};
        for (int n = 1; n <= 6; ++n) {
            QComboBox *c = combo(n);
            QVERIFY2(c, qPrintable(QString("ComboBox%1").arg(n)));
            QVERIFY(!c->isEditable());
            QStringList got;
            for (int i = 0; i < c->count(); ++i)
                got << c->itemText(i);
            QCOMPARE(got, items[n - 1]);
        }
        QStringList labels;
        for (int n = 1; n <= 6; ++n)
            labels << Port_DefDlg->findChild<QWidget *>(QString("Label%1").arg(n))->property("text").toString();
        QCOMPARE(labels, QStringList({"COM Port", "Baud Rate", "Parity", "Data Bit", "Stop Bit", "Used COM Port"}));
        auto *ok = Port_DefDlg->findChild<QPushButton *>("OKBtn");
        auto *cancel = Port_DefDlg->findChild<QPushButton *>("CancelBtn");
        QCOMPARE(ok->text(), QString("OK"));
        QVERIFY(ok->isDefault());
        QCOMPARE(cancel->text(), QString("Cancel"));
    }

    // A value outside a selector's items is shown as its fallback item.
    void showFallbacks_data()
    {
        QTest::addColumn<int>("baud");
        QTest::addColumn<QChar>("parity");
        QTest::addColumn<int>("data");
        QTest::addColumn<int>("stop");
        QTest::addColumn<QStringList>("expected");  // baud, parity, data, stop texts
        QTest::newRow("all offered") << 115200 << QChar('E') << 7 << 2 << QStringList{"115200", "Even", "7", "2"};
        QTest::newRow("1200 odd") << 1200 << QChar('O') << 8 << 1 << QStringList{"1200", "Odd", "8", "1"};
        QTest::newRow("unknown baud") << 300 << QChar('N') << 8 << 1 << QStringList{"19200", "None", "8", "1"};
        QTest::newRow("unknown parity") << 9600 << QChar('M') << 8 << 1 << QStringList{"9600", "None", "8", "1"};
        QTest::newRow("lower-case parity") << 9600 << QChar('e') << 8 << 1 << QStringList{"9600", "None", "8", "1"};
        QTest::newRow("5 data bits") << 9600 << QChar('N') << 5 << 1 << QStringList{"9600", "None", "8", "1"};
        QTest::newRow("3 stop bits") << 9600 << QChar('N') << 8 << 3 << QStringList{"9600", "None", "8", "1"};
        QTest::newRow("zeros") << 0 << QChar('\0') << 0 << 0 << QStringList{"19200", "None", "8", "1"};
    }
    void showFallbacks()
    {
        QFETCH(int, baud);
        QFETCH(QChar, parity);
        QFETCH(int, data);
        QFETCH(int, stop);
        QFETCH(QStringList, expected);
        PortTable t{};
        for (auto &e : t)
            e = PortSetting{9600, 1, 8, 'N'};
        t[5] = PortSetting{baud, int16_t(stop), int16_t(data), char(parity.unicode())};
        int used = 6;
        answer({}, "cancel");
        QCOMPARE(Port_DefDlg->EditPortTable(t, used), -1);
        QCOMPARE(shownOnOpen_, QStringList({"COM6"}) + expected + QStringList({"COM6"}));
    }

    // A selector left without a chosen item stores its fallback value.
    void storeWithoutItem()
    {
        PortTable t{};
        for (auto &e : t)
            e = PortSetting{2400, 2, 7, 'E'};
        int used = 3;
        answer(
            [] {
                for (int n = 2; n <= 5; ++n)
                    combo(n)->setCurrentIndex(-1);
            },
            "ok");
        QCOMPARE(Port_DefDlg->EditPortTable(t, used), 0);
        QCOMPARE(t[2], (PortSetting{19200, 1, 8, 'N'}));
        QCOMPARE(t[0], (PortSetting{2400, 2, 7, 'E'}));
        QCOMPARE(used, 3);
    }

    // The port selectors index the table: they never lose their item.
    void portSelectorsKeepAnItem()
    {
        PortTable t{};
        for (auto &e : t)
            e = PortSetting{9600, 1, 8, 'N'};
        int used = 2;
        answer(
            [] {
                combo(1)->setCurrentIndex(4);  // view COM5
                combo(2)->setCurrentIndex(7);  // 115200
                combo(1)->setCurrentIndex(-1);
                combo(6)->setCurrentIndex(-1);
                QCOMPARE(combo(1)->currentText(), QString("COM5"));
                QCOMPARE(combo(6)->currentText(), QString("COM2"));
                QCOMPARE(combo(2)->currentText(), QString("115200"));  // the entry was not reloaded
            },
            "ok");
        QCOMPARE(Port_DefDlg->EditPortTable(t, used), 0);
        QCOMPARE(t[4].Baud, 115200);
        QCOMPARE(used, 2);
    }

    // ---- the station's "Port Define" action ----------------------------------

    // Cancel, Esc and the close box leave everything as it was, open or closed.
    void leftWithoutOk_data()
    {
        QTest::addColumn<QString>("ending");
        QTest::addColumn<bool>("open");
        for (const char *e : {"cancel", "esc", "close"}) {
            QTest::addRow("%s closed", e) << QString(e) << false;
            QTest::addRow("%s open", e) << QString(e) << true;
        }
    }
    void leftWithoutOk()
    {
        QFETCH(QString, ending);
        QFETCH(bool, open);
        FakeStation s = masterRtu();
        s.open = open;
        const StationPorts before = s.ports;
        const QString label = s.label;
        answer(
            [] {
                combo(6)->setCurrentIndex(4);
                combo(2)->setCurrentIndex(0);
                combo(3)->setCurrentIndex(2);
            },
            ending);
        QVERIFY(!s.portDefine());
        QCOMPARE(modalRuns_, 1);
        QVERIFY(s.ports.table == before.table);
        QCOMPARE(s.ports.usedPort, before.usedPort);
        QCOMPARE(s.ports.current, before.current);
        QCOMPARE(s.label, label);
        QCOMPARE(s.open, open);
        QVERIFY(s.events.isEmpty());
        QVERIFY(boxes_.isEmpty());
    }

    void freshAsciiShowsItsDefaults()
    {
        FakeStation s = masterAscii();
        answer({}, "cancel");
        s.portDefine();
        QCOMPARE(shownOnOpen_, QStringList({"COM2", "9600", "Odd", "7", "1", "COM2"}));
    }

    void usedPortChangeWithPortClosed()
    {
        FakeStation s = masterRtu();
        answer([] { combo(6)->setCurrentIndex(2); }, "ok");
        QVERIFY(s.portDefine());
        QCOMPARE(s.label, QString("COM3 Port 9600 N 8 1"));
        QCOMPARE(s.ports.usedPort, 3);
        QCOMPARE(s.ports.current, (PortSetting{9600, 1, 8, 'N'}));  // what the next open uses
        QCOMPARE(s.events, QStringList({"label"}));
        QVERIFY(boxes_.isEmpty());
    }

    // With the port open, nothing happens unless the used port's own settings
    // (or the used port) change; other ports' edits are then dropped.
    void openPortUnchanged_data()
    {
        QTest::addColumn<int>("otherPort");  // -1: no change at all
        QTest::newRow("no change") << -1;
        QTest::newRow("other entry changed") << 4;
    }
    void openPortUnchanged()
    {
        QFETCH(int, otherPort);
        FakeStation s = masterRtu();
        s.open = true;
        const PortTable before = s.ports.table;
        answer(
            [otherPort] {
                if (otherPort < 0)
                    return;
                combo(1)->setCurrentIndex(otherPort);
                combo(2)->setCurrentIndex(0);
                combo(4)->setCurrentIndex(0);
            },
            "ok");
        QVERIFY(!s.portDefine());
        QVERIFY(s.open);
        QVERIFY(s.events.isEmpty());
        QVERIFY(boxes_.isEmpty());
        QVERIFY(s.ports.table == before);
        QCOMPARE(s.label, QString("COM1 Port 9600 N 8 1"));
    }

    // With the port open, a change of the used port's settings (or of the used
    // port) closes it first, then stores, relabels and asks to reopen.
    void openPortChanged_data()
    {
        QTest::addColumn<int>("combo");
        QTest::addColumn<int>("item");
        QTest::addColumn<QString>("label");
        QTest::newRow("baud") << 2 << 5 << "COM1 Port 38400 N 8 1";
        QTest::newRow("parity") << 3 << 2 << "COM1 Port 9600 E 8 1";
        QTest::newRow("data bits") << 4 << 0 << "COM1 Port 9600 N 7 1";
        QTest::newRow("stop bits") << 5 << 1 << "COM1 Port 9600 N 8 2";
        QTest::newRow("used port") << 6 << 7 << "COM8 Port 9600 N 8 1";
    }
    void openPortChanged()
    {
        QFETCH(int, combo);
        QFETCH(int, item);
        QFETCH(QString, label);
        FakeStation s = masterRtu();
        s.open = true;
        answer([=] { ::combo(combo)->setCurrentIndex(item); }, "ok");
        QVERIFY(s.portDefine());
        QVERIFY(!s.open);
        QCOMPARE(s.events, QStringList({"close", "label"}));
        QCOMPARE(status_, QString("Close COM1 port OK ......"));  // closed under its old number
        QCOMPARE(s.label, label);
        QCOMPARE(boxes_, QStringList({"Quillan|Port's definition has been changed.....\n, Please reopen port again...."}));
    }

    // Only the entry shown when OK is pressed is stored.
    void switchEntryBeforeOk()
    {
        FakeStation s = masterRtu();
        answer(
            [] {
                combo(1)->setCurrentIndex(3);  // COM4
                combo(2)->setCurrentIndex(7);  // 115200, never stored
                combo(3)->setCurrentIndex(1);
                combo(1)->setCurrentIndex(4);  // COM5: reloaded from the table
                QCOMPARE(combo(2)->currentText(), QString("9600"));
                QCOMPARE(combo(3)->currentText(), QString("None"));
                combo(3)->setCurrentIndex(2);  // Even
            },
            "ok");
        QVERIFY(s.portDefine());
        QCOMPARE(s.ports.table[3], (PortSetting{9600, 1, 8, 'N'}));
        QCOMPARE(s.ports.table[4], (PortSetting{9600, 1, 8, 'E'}));
        QCOMPARE(s.ports.usedPort, 1);
        QCOMPARE(s.label, QString("COM1 Port 9600 N 8 1"));
    }

    // Each use starts from the caller's table, not from the last one shown.
    void everyUseLoadsTheCallersTable()
    {
        FakeStation rtu = masterRtu();
        answer([] { combo(2)->setCurrentIndex(0); }, "ok");
        QVERIFY(rtu.portDefine());
        QCOMPARE(rtu.label, QString("COM1 Port 1200 N 8 1"));
        FakeStation ascii = masterAscii();
        answer({}, "ok");
        QVERIFY(ascii.portDefine());
        QCOMPARE(shownOnOpen_, QStringList({"COM2", "9600", "Odd", "7", "1", "COM2"}));
        QCOMPARE(ascii.label, QString("COM2 Port 9600 O 7 1"));
        QVERIFY(ascii.ports.table == masterAscii().ports.table);
    }

    // The program runs the dialog with exec(): OK and Esc end it as they should.
    void realModalSession_data()
    {
        QTest::addColumn<bool>("pressOk");
        QTest::newRow("OK") << true;
        QTest::newRow("Esc") << false;
    }
    void realModalSession()
    {
        QFETCH(bool, pressOk);
        set_modal_runner({});
        FakeStation s = masterRtu();
        bool seen = false;
        QTimer::singleShot(0, [&] {
            auto *d = qobject_cast<TPort_DefDlg *>(QApplication::activeModalWidget());
            seen = d && d->isVisible();
            if (!d)
                return;
            combo(5)->setCurrentIndex(1);
            if (pressOk)
                QTest::keyClick(d, Qt::Key_Return);  // the default button
            else
                QTest::keyClick(d, Qt::Key_Escape);
        });
        QTimer guard;  // never leave the test hanging in exec()
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, [] {
            if (QWidget *w = QApplication::activeModalWidget())
                w->close();
        });
        guard.start(5000);
        const bool stored = s.portDefine();
        initTestCase();  // back to the scripted runner
        QVERIFY(seen);
        QCOMPARE(stored, pressOk);
        QCOMPARE(s.label, pressOk ? QString("COM1 Port 9600 N 8 2") : QString("COM1 Port 9600 N 8 1"));
        QVERIFY(!Port_DefDlg->isVisible());
    }
};

QTEST_MAIN(TestPortDef)
#include "tst_port_def.moc"

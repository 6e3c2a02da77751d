// Start-up and shutdown of the program, and exceptions escaping the event loop.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QtTest>
#include <stdexcept>

#include "About_box.h"
#include "Gui_services.h"
#include "Modal.h"
#include "Frame_panels.h"
#include "Modbus_main.h"
#include "Notices.h"
#include "Port_Def.h"
#include "Set_Data.h"
#include "Set_Value.h"
#include "Startup.h"

namespace {
// The text of the exception the application kept, as main() would show it;
// empty when none was kept.
QString pendingText(TApplication *app)
{
    try {
        app->rethrowPending();
    } catch (...) {
        return exception_text(std::current_exception());
    }
    return QString();
}
}  // namespace

class TestStartup : public QObject {
    Q_OBJECT
private slots:
    void windowsMadeAndShown()
    {
        {
            Startup program;
            QVERIFY(Form1 && AboutBox && Set_ValueDlg && Port_DefDlg && Set_DataDlg);
            QVERIFY(Form1->isVisible());
            for (QWidget *d : {static_cast<QWidget *>(AboutBox), static_cast<QWidget *>(Set_ValueDlg),
                               static_cast<QWidget *>(Port_DefDlg), static_cast<QWidget *>(Set_DataDlg)}) {
                QVERIFY(!d->isVisible());
                QVERIFY(d->isWindow());
            }
            QCOMPARE(frame_message_text(Form1), QString("Message"));
        }
        QVERIFY(!Form1 && !AboutBox && !Set_ValueDlg && !Port_DefDlg && !Set_DataDlg);
    }

    // The message line is status panel 1 of the frame; after shutdown a late
    // notice does no harm.
    void messageLine()
    {
        {
            Startup program;
            show_status_message("Open COM1 port OK ......");
            QCOMPARE(frame_message_text(Form1), QString("Open COM1 port OK ......"));
            show_status_message("Modbus/TCP Server Open....");
            QCOMPARE(frame_message_text(Form1), QString("Modbus/TCP Server Open...."));
        }
        show_status_message("Close COM1 port OK ......");
    }

    // Message boxes are real modal Qt boxes once the program has started.
    void messageBoxesAreModal()
    {
        Startup program;
        QString seen;
        QTimer::singleShot(0, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            seen = box->windowTitle() + "|" + box->text();
            box->button(QMessageBox::Ok)->click();
        });
        QTimer guard;
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, [] {
            if (QWidget *w = QApplication::activeModalWidget())
                w->close();
        });
        guard.start(5000);
        QCOMPARE(check_device_address(0), -1);
        QCOMPARE(seen, QString("Quillan|Modbus Device Address must be 1 - 247 !!!!"));
    }

    // The stations' Port Define uses the dialog made at start-up.
    void portDefineUsesTheSharedDialog()
    {
        Startup program;
        TPort_DefDlg *made = Port_DefDlg;
        QDialog *shown = nullptr;
        set_modal_runner([&](QDialog *d) {
            shown = d;
            return int(QDialog::Rejected);
        });
        StationPorts ports;
        ports.setDefaults(1, 9600, 'N', 8, 1);
        QVERIFY(!port_define_action(ports, false, {}, {}));
        set_modal_runner({});
        QCOMPARE(shown, static_cast<QDialog *>(made));
        QCOMPARE(Port_DefDlg, made);
    }

    // "quillan FILE.qsetup...": each file opens its station with its setup,
    // the port and connection still closed; a file that is not a setup is
    // told in a box and the others still open.
    void setupsFromTheCommandLine()
    {
        QTemporaryDir dir;
        auto write = [&](const char *name, const QByteArray &text) {
            QFile f(dir.filePath(name));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(text);
        };
        const QByteArray head = R"({"format": "quillan-setup", "version": 1, )";
        write("plc.qsetup", head + R"("station": "Master TCP", "host": "plc-7", "port": 1502, "count": 3, )"
                             R"j("function": "Holding Register (Addr: 4xxxx)"})j");
        write("line.qsetup", head + R"("station": "Slave RTU", "delay_ms": 250, "port": "COM3"})");
        write("notes.txt", "plain text");
        const QStringList files = setup_arguments({"quillan", dir.filePath("plc.qsetup"), "--verbose",
                                                   dir.filePath("notes.txt"), dir.filePath("line.qsetup")});
        QCOMPARE(files.size(), 3);

        Startup program;
        QStringList boxes;
        set_message_box_sink([&](const std::string &t, const std::string &c) {
            boxes << QString::fromStdString(c + "|" + t);
        });
        open_setup_files(files);
        QWidget *master = Form1->station(MasterTcp);
        QVERIFY(master);
        QCOMPARE(master->findChild<QLineEdit *>("Edit1")->text(), QString("plc-7"));
        QCOMPARE(master->findChild<QLineEdit *>("MaskEdit4")->text(), QString("1502"));
        QVERIFY(master->findChild<QPushButton *>("BitBtn3")->isEnabled());  // not connected
        // The grid is laid out for the request, as at the window's start.
        auto *grid = master->findChild<StringGrid *>("StringGrid1");
        QCOMPARE(grid->rowCount(), 4);
        QCOMPARE(grid->cellText(0, 3), QString("40003"));
        QWidget *slave = Form1->station(SlaveRtu);
        QVERIFY(slave);
        QCOMPARE(slave->findChild<QSpinBox *>("DelayMs")->value(), 250);
        QCOMPARE(slave->findChild<QLabel *>("Label1")->text(), QString("COM3 Port 9600 N 8 1"));
        QVERIFY(slave->findChild<QPushButton *>("BitBtn1")->isEnabled());  // the server closed
        QCOMPARE(boxes.size(), 1);
        QVERIFY2(boxes[0].startsWith("Quillan|Setup not opened: notes.txt: not JSON"), qPrintable(boxes[0]));
    }

    // An exception thrown by an event handler ends the loop with code 1 and is
    // handed to main() to be shown.
    void exceptionInEventLoop()
    {
        auto *app = qobject_cast<TApplication *>(qApp);
        QVERIFY(app);
        QTimer::singleShot(0, [] { throw std::runtime_error("grid index out of range"); });
        QTimer guard;  // never hang here
        guard.callOnTimeout([] { qApp->exit(2); });
        guard.start(5000);
        QCOMPARE(app->exec(), 1);
        QCOMPARE(pendingText(app), QString("grid index out of range"));
        QCOMPARE(pendingText(app), QString());  // handed over once
    }

    // Thrown while a modal dialog runs its own loop: both loops end.
    void exceptionInModalDialog()
    {
        auto *app = qobject_cast<TApplication *>(qApp);
        QDialog dialog;
        bool dialogEnded = false;
        QTimer::singleShot(0, [&] {
            QTimer::singleShot(10, [] { throw 42; });
            dialog.exec();
            dialogEnded = true;
        });
        QTimer guard;
        guard.callOnTimeout([] { qApp->exit(2); });
        guard.start(5000);
        QCOMPARE(app->exec(), 1);
        QVERIFY(dialogEnded);
        QCOMPARE(pendingText(app), QString("Unknown exception"));
    }
};

int main(int argc, char **argv)
{
    TApplication app(argc, argv);
    TestStartup test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_startup.moc"

// Start-up and shutdown of the program, and exceptions escaping the event loop.
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>
#include <stdexcept>

#include "About_box.h"
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

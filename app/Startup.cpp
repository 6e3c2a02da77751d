#include "Startup.h"

#include <QFileInfo>
#include <QIcon>
#include <QMessageBox>
#include <stdexcept>

#include "About_box.h"
#include "Gui_services.h"
#include "Modbus_main.h"
#include "Notices.h"
#include "Port_Def.h"
#include "Set_Data.h"
#include "Set_Value.h"
#include "Setup_fields.h"
#include "Station_setup.h"

TApplication::TApplication(int &argc, char **argv) : QApplication(argc, argv)
{
    setApplicationName("Quillan");
}

bool TApplication::notify(QObject *receiver, QEvent *event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        if (!pending_)
            pending_ = std::current_exception();
        exit(1);  // ends nested loops (a modal dialog) as well as the main one
    }
    return false;
}

void TApplication::rethrowPending()
{
    if (pending_) {
        std::exception_ptr e = pending_;
        pending_ = nullptr;
        std::rethrow_exception(e);
    }
}

QStringList setup_arguments(const QStringList &arguments)
{
    QStringList paths;
    for (qsizetype i = 1; i < arguments.size(); ++i)
        if (!arguments[i].startsWith(QLatin1Char('-')))
            paths << arguments[i];
    return paths;
}

void open_setup_files(const QStringList &paths)
{
    for (const QString &path : paths) {
        // The file says which station it is for; that station then reads
        // the whole file and tells what is wrong with it.
        std::string station;
        std::string problem = setup_file_station(path.toStdString(), station);
        const int kind = problem.empty() ? setup_station_kind(station) : -1;
        if (problem.empty() && kind < 0)
            problem = QFileInfo(path).fileName().toStdString() + ": station: " + station +
                      " is not a station of Quillan";
        if (!problem.empty()) {
            show_message_box("Setup not opened: " + problem, "Quillan");
            continue;
        }
        Form1->openStation(kind);
        QMetaObject::invokeMethod(Form1->station(kind), "openSetup", Q_ARG(QString, path));
    }
}

QString exception_text(std::exception_ptr e)
{
    try {
        if (e)
            std::rethrow_exception(e);
    } catch (const std::exception &ex) {
        return QString::fromLocal8Bit(ex.what());
    } catch (...) {
        return QStringLiteral("Unknown exception");
    }
    return {};
}

void show_fatal_exception(const QString &text)
{
    QMessageBox box(QMessageBox::Critical, "Quillan", text, QMessageBox::Ok);
    box.exec();
}

Startup::Startup()
{
    // Message boxes of the program and of the link library become modal Qt
    // boxes; the message line is status panel 1 of whichever frame exists.
    install_qt_message_boxes();
    set_status_sink([](const std::string &text) {
        if (Form1)
            Form1->setMessageText(QString::fromStdString(text));
    });

    // Every window's icon: the About box's picture.
    QApplication::setWindowIcon(QIcon(TAboutBox::drawPicture(64)));

    try {
        Form1 = new TForm1;
        AboutBox = new TAboutBox;
        Set_ValueDlg = new TSet_ValueDlg;
        Port_DefDlg = new TPort_DefDlg;
        Set_DataDlg = new TSet_DataDlg;
        Form1->show();
    } catch (...) {
        tearDown();  // what was made before the failure
        throw;
    }
}

Startup::~Startup() { tearDown(); }

void Startup::tearDown()
{
    // The frame (and with it the station windows) goes first; the dialogs they
    // used go after.
    delete Form1;
    Form1 = nullptr;
    delete Set_DataDlg;
    Set_DataDlg = nullptr;
    delete Port_DefDlg;
    Port_DefDlg = nullptr;
    delete Set_ValueDlg;
    Set_ValueDlg = nullptr;
    delete AboutBox;
    AboutBox = nullptr;
    set_status_sink({});
    set_message_box_sink({});
}

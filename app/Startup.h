// Program start-up and shutdown.
#pragma once

#include <QApplication>
#include <QString>
#include <QStringList>
#include <exception>

// The application object. An exception that escapes an event handler is caught
// here (Qt cannot carry it through its event loop), kept, and every running
// event loop is ended with code 1; rethrowPending() then throws it again in
// main() so that it is shown like one escaping start-up.
class TApplication : public QApplication {
    Q_OBJECT
public:
    TApplication(int &argc, char **argv);
    bool notify(QObject *receiver, QEvent *event) override;

    // Throws the kept exception, if any, and forgets it.
    void rethrowPending();

private:
    std::exception_ptr pending_;
};

// Creates the program's windows in start-up order: the message-box and
// message-line services, the main frame, then hidden the About box, the slave
// value dialog, the port definition dialog and the master write-value dialog
// (global references AboutBox, Set_ValueDlg, Port_DefDlg, Set_DataDlg), and
// shows the main frame. The destructor takes them down again.
class Startup {
public:
    Startup();
    ~Startup();
    Startup(const Startup &) = delete;
    Startup &operator=(const Startup &) = delete;

private:
    static void tearDown();
};

// The setup files named on the command line, once Qt has taken its own
// options: every argument after the program's name that does not start
// with "-".
QStringList setup_arguments(const QStringList &arguments);
// Opens the station of each setup file (the frame must exist) with the
// setup applied, in the order given; a file that cannot be opened is told
// in a box, and the others still open. No port or server is opened.
void open_setup_files(const QStringList &paths);

// The text of an exception as it is shown to the operator.
QString exception_text(std::exception_ptr e);
// Shows an exception that ended the program in a modal box.
void show_fatal_exception(const QString &text);

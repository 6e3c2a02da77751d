// Station windows under load on loopback, for the benchmarks that drive
// them: the options of a timed run, the libmodbus reference server as a
// child of the program, a load generator run while a station serves in the
// event loop, Master TCP opened on a port and connected, a timed run of one
// of its boxes (PollBox, WatchBox), and its counters.
#pragma once

#include <QCheckBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Bench_process.h"
#include "Bench_util.h"
#include "Modbus_main.h"
#include "Peers.h"

namespace bench {

// How long each run lasts and how many there are of each kind.
struct TimedRuns {
    double seconds = 3;
    int repeats = 3;
};

// --seconds S (0.5 to 30) and --repeats R (1 to 9).
inline TimedRuns timedRuns(int argc, char **argv)
{
    TimedRuns r;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--seconds")
            r.seconds = std::atof(argv[++i]);
        else if (std::string(argv[i]) == "--repeats")
            r.repeats = std::atoi(argv[++i]);
    }
    r.seconds = std::clamp(r.seconds, 0.5, 30.0);
    r.repeats = std::clamp(r.repeats, 1, 9);
    return r;
}

// The libmodbus reference server (bench_ref_server) on a free loopback
// port, as a child of this program; it ends with this object, or by itself
// after 600 s.
class ReferenceServer {
public:
    // Starts the one in binDir; false, said on stderr, when it does not
    // report that it is ready.
    bool start(const QString &binDir)
    {
        port_ = freePort();
        if (!peer_.start(binDir + "/bench_ref_server", {QString::number(port_), "600"}) ||
            !peer_.waitForOutput("ready", 5000)) {
            std::fprintf(stderr, "the reference server did not start\n");
            return false;
        }
        return true;
    }
    quint16 port() const { return port_; }
    pid_t pid() { return pid_t(peer_.process().processId()); }

private:
    PeerProcess peer_;
    quint16 port_ = 0;
};

// What a load generator printed, once it ended.
struct LoadOutput {
    bool started = false, finished = false;
    QString out, err;
};

// Runs the load generator binDir/program (bench_load, bench_raw_load)
// against port while this thread's event loop keeps running, for stations
// that serve in it; it is killed after seconds + 20 s.
inline LoadOutput runLoadGenerator(const QString &binDir, const char *program, quint16 port, int clients,
                                   double seconds, const QString &mode)
{
    LoadOutput r;
    QProcess p;
    QEventLoop loop;
    QObject::connect(&p, &QProcess::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(int((seconds + 20) * 1000), &loop, &QEventLoop::quit);
    p.start(binDir + "/" + program,
            {QString::number(port), QString::number(clients), QString::number(seconds), mode});
    r.started = p.waitForStarted(5000);
    if (!r.started)
        return r;
    loop.exec();
    if (p.state() != QProcess::NotRunning) {
        p.kill();
        p.waitForFinished(2000);
        return r;
    }
    r.finished = true;
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

// Master TCP opened from the main frame, its port field set to port.
inline QWidget *openMasterTcp(quint16 port)
{
    Form1->openStation(MasterTcp);
    QWidget *form = Form1->station(MasterTcp);
    form->findChild<QLineEdit *>("MaskEdit4")->setText(QString::number(port));
    return form;
}

// Connects the station and waits up to 5 s for it; false, said on stderr,
// when it does not connect.
inline bool connectMasterTcp(QWidget *form)
{
    form->findChild<QPushButton *>("BitBtn3")->click();
    auto *disconnect = form->findChild<QPushButton *>("BitBtn4");
    QElapsedTimer wait;
    wait.start();
    while (!disconnect->isEnabled() && wait.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    if (!disconnect->isEnabled()) {
        std::fprintf(stderr, "Master TCP did not connect\n");
        return false;
    }
    return true;
}

// Prints the station's counters; true when they count no exception, error
// or time-out.
inline bool reportCounters(QWidget *form)
{
    const QString stats = form->findChild<QLabel *>("StatsLabel")->text();
    std::printf("station counters after the runs: %s\n", qPrintable(stats));
    return stats.contains("Exc 0  Err 0  T/O 0");
}

// Runs the event loop for ms.
inline void spin(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

struct Ticked {
    double ms = 0;     // how long the box was ticked
    double cpuMs = 0;  // the GUI thread's CPU time, the settling included
};

// Ticks box, lets the event loop run for `seconds`, unticks it and lets the
// exchange in flight end within settleMs.
inline Ticked runTicked(QCheckBox *box, double seconds, int settleMs)
{
    const double start = now_ms();
    const double cpu0 = thread_cpu_ms();
    box->setChecked(true);
    spin(int(seconds * 1e3));
    box->setChecked(false);
    const double elapsed = now_ms() - start;
    spin(settleMs);
    return {.ms = elapsed, .cpuMs = thread_cpu_ms() - cpu0};
}

}  // namespace bench

// Master TCP polling as fast as it can (interval 0) against the libmodbus
// reference server, beside a libmodbus master calling modbus_read_registers
// in a loop against the same server.
//
// The program starts as Quillan does (application object, main frame, hidden
// dialogs) and opens the Master TCP station from the main frame, offscreen,
// memos and grid live. Each run polls 10 holding registers for a fixed time;
// ours and the libmodbus loop take turns, and every figure is the median of
// the runs. The p99 is that of the time from one answer to the next: for the
// libmodbus loop one modbus_read_registers call, for the station one whole
// cycle, its display and scheduling included.
//
//   bench_master_poll [--seconds S] [--repeats R]
#include <QApplication>
#include <QLabel>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <cerrno>
#include <cstdio>
#include <modbus.h>
#include <vector>

#include "Bench_util.h"
#include "Gui_services.h"
#include "Modbus_main.h"
#include "Startup.h"

namespace {

const QString kBin = QStringLiteral(BENCH_BIN_DIR);
constexpr int kRegisters = 10;

struct Run {
    double pollsPerSecond = 0;
    double p99 = 0;  // ms
    long errors = 0;
};

double p99_of(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(double(v.size()) * 0.99))];
}

quint16 freeLoopbackPort()
{
    QTcpServer s;
    return s.listen(QHostAddress::LocalHost, 0) ? s.serverPort() : 0;
}

// The libmodbus master: one connection, reads back to back for `seconds`.
Run libmodbusLoop(quint16 port, double seconds)
{
    Run r;
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
    if (!ctx || modbus_connect(ctx) != 0) {
        std::fprintf(stderr, "libmodbus connect: %s\n", modbus_strerror(errno));
        if (ctx)
            modbus_free(ctx);
        r.errors = 1;
        return r;
    }
    std::vector<double> times;
    uint16_t regs[kRegisters];
    const double start = bench::now_ms();
    double t = start;
    // Bounded in time and in count.
    while (t - start < seconds * 1e3 && times.size() < 5000000) {
        const double t0 = bench::now_ms();
        if (modbus_read_registers(ctx, 0, kRegisters, regs) != kRegisters)
            ++r.errors;
        t = bench::now_ms();
        times.push_back(t - t0);
    }
    modbus_close(ctx);
    modbus_free(ctx);
    r.pollsPerSecond = double(times.size()) / ((t - start) / 1e3);
    r.p99 = p99_of(times);
    return r;
}

// The station polling with interval 0 for `seconds`.
Run stationPolls(QWidget *form, double seconds)
{
    Run r;
    auto *socket = form->findChild<QTcpSocket *>("ClientSocket1");
    std::vector<double> times;
    double lastAnswer = -1;
    long answers = 0;
    const auto c1 = QObject::connect(socket, &QTcpSocket::readyRead, [&] {
        const double t = bench::now_ms();
        if (lastAnswer >= 0 && times.size() < 5000000)
            times.push_back(t - lastAnswer);
        lastAnswer = t;
        ++answers;
    });
    auto *poll = form->findChild<QCheckBox *>("PollBox");
    QEventLoop loop;
    const double start = bench::now_ms();
    const double cpu0 = bench::thread_cpu_ms();
    poll->setChecked(true);
    QTimer::singleShot(int(seconds * 1e3), &loop, &QEventLoop::quit);
    loop.exec();
    poll->setChecked(false);
    const double elapsed = bench::now_ms() - start;
    QEventLoop settle;  // the exchange in flight ends
    QTimer::singleShot(100, &settle, &QEventLoop::quit);
    settle.exec();
    QObject::disconnect(c1);
    r.pollsPerSecond = double(answers) / (elapsed / 1e3);
    r.p99 = p99_of(times);
    std::printf("  (Quillan: median cycle %.3f ms, GUI thread busy %.0f %% of the run)\n", bench::median(times),
                100 * (bench::thread_cpu_ms() - cpu0) / elapsed);
    return r;
}

}  // namespace

int main(int argc, char **argv)
{
    double seconds = 3;
    int repeats = 3;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--seconds")
            seconds = std::atof(argv[++i]);
        else if (std::string(argv[i]) == "--repeats")
            repeats = std::atoi(argv[++i]);
    }
    seconds = std::clamp(seconds, 0.5, 30.0);
    repeats = std::clamp(repeats, 1, 9);

    TApplication app(argc, argv);
    Startup program;
    Form1->resize(1280, 1000);

    QProcess ref;
    const quint16 port = freeLoopbackPort();
    ref.start(kBin + "/bench_ref_server", {QString::number(port), "600"});
    if (!ref.waitForStarted(5000) || !ref.waitForReadyRead(5000) || !ref.readAllStandardOutput().contains("ready")) {
        std::fprintf(stderr, "the reference server did not start\n");
        return 1;
    }

    Form1->openStation(MasterTcp);
    QWidget *form = Form1->station(MasterTcp);
    form->findChild<QLineEdit *>("MaskEdit4")->setText(QString::number(port));
    form->findChild<QComboBox *>("ComboBox1")->setCurrentIndex(2);
    form->findChild<QLineEdit *>("MaskEdit3")->setText(QString::number(kRegisters));
    form->findChild<QSpinBox *>("PollInterval")->setValue(0);
    form->findChild<QPushButton *>("BitBtn3")->click();
    QElapsedTimer wait;
    wait.start();
    while (!form->findChild<QPushButton *>("BitBtn4")->isEnabled() && wait.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    if (!form->findChild<QPushButton *>("BitBtn4")->isEnabled()) {
        std::fprintf(stderr, "Master TCP did not connect\n");
        return 1;
    }

    std::printf("Master TCP polling, interval 0, %d registers: %g s per run, %d runs each, medians\n", kRegisters,
                seconds, repeats);
    std::printf("%-16s %10s %10s %8s\n", "master", "polls/s", "p99 ms", "errors");
    std::vector<double> ourRate, ourP99, refRate, refP99;
    long errors = 0;
    for (int rep = 0; rep < repeats; ++rep) {
        const Run a = stationPolls(form, seconds);
        const Run b = libmodbusLoop(port, seconds);
        std::printf("%-16s %10.0f %10.3f %8ld\n", "Quillan", a.pollsPerSecond, a.p99, a.errors);
        std::printf("%-16s %10.0f %10.3f %8ld\n", "libmodbus loop", b.pollsPerSecond, b.p99, b.errors);
        ourRate.push_back(a.pollsPerSecond);
        ourP99.push_back(a.p99);
        refRate.push_back(b.pollsPerSecond);
        refP99.push_back(b.p99);
        errors += a.errors + b.errors;
    }
    const QString stats = form->findChild<QLabel *>("StatsLabel")->text();
    std::printf("station counters after the runs: %s\n", qPrintable(stats));

    const double rate = bench::median(ourRate), rrate = bench::median(refRate);
    const double p99 = bench::median(ourP99), rp99 = bench::median(refP99);
    const double ratio = rrate > 0 ? rate / rrate : 0;
    std::printf("ratio ours/libmodbus %.2f\n", ratio);
    bench::row("5 Master TCP poll", "interval 0, 10 regs: polls/s ours / libmodbus loop",
               bench::fmt("%.0f", rate) + " / " + bench::fmt("%.0f", rrate) + " = " + bench::fmt("%.2f", ratio),
               ">= 0.8", ratio >= 0.8 ? "met" : "NOT met");
    bench::row("5 Master TCP poll", "interval 0, 10 regs: p99 ours (libmodbus loop)",
               bench::fmt("%.3f", p99) + " ms (" + bench::fmt("%.3f", rp99) + " ms)", "-", "-");
    const bool clean = stats.contains("Exc 0  Err 0  T/O 0") && errors == 0;
    bench::row("5 Master TCP poll", "no exception, error or time-out in the runs", clean ? "yes" : "no", "yes",
               clean ? "met" : "NOT met");

    ref.terminate();
    ref.waitForFinished(3000);
    return clean ? 0 : 1;
}

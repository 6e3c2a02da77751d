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
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QSpinBox>
#include <QTcpSocket>
#include <cstdio>
#include <modbus.h>
#include <vector>

#include "Bench_libmodbus.h"
#include "Bench_station.h"
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

// The libmodbus master: one connection, reads back to back for `seconds`.
Run libmodbusLoop(quint16 port, double seconds)
{
    Run r;
    modbus_t *ctx = bench::libmodbusClient(port);
    if (!ctx) {
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
    r.p99 = bench::p99(times);
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
    const bench::Ticked run = bench::runTicked(form->findChild<QCheckBox *>("PollBox"), seconds, 100);
    QObject::disconnect(c1);
    r.pollsPerSecond = double(answers) / (run.ms / 1e3);
    r.p99 = bench::p99(times);
    std::printf("  (Quillan: median cycle %.3f ms, GUI thread busy %.0f %% of the run)\n",
                bench::median(times), 100 * run.cpuMs / run.ms);
    return r;
}

}  // namespace

int main(int argc, char **argv)
{
    const auto [seconds, repeats] = bench::timedRuns(argc, argv);

    TApplication app(argc, argv);
    Startup program;
    Form1->resize(1280, 1000);

    bench::ReferenceServer ref;
    if (!ref.start(kBin))
        return 1;
    const quint16 port = ref.port();

    QWidget *form = bench::openMasterTcp(port);
    form->findChild<QComboBox *>("ComboBox1")->setCurrentIndex(2);
    form->findChild<QLineEdit *>("MaskEdit3")->setText(QString::number(kRegisters));
    form->findChild<QSpinBox *>("PollInterval")->setValue(0);
    if (!bench::connectMasterTcp(form))
        return 1;

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
    const bool countersClean = bench::reportCounters(form);

    const double rate = bench::median(ourRate), rrate = bench::median(refRate);
    const double p99 = bench::median(ourP99), rp99 = bench::median(refP99);
    const double ratio = rrate > 0 ? rate / rrate : 0;
    std::printf("ratio ours/libmodbus %.2f\n", ratio);
    bench::row("5 Master TCP poll", "interval 0, 10 regs: polls/s ours / libmodbus loop",
               bench::fmt("%.0f", rate) + " / " + bench::fmt("%.0f", rrate) + " = " + bench::fmt("%.2f", ratio),
               ">= 0.8", ratio >= 0.8 ? "met" : "NOT met");
    bench::row("5 Master TCP poll", "interval 0, 10 regs: p99 ours (libmodbus loop)",
               bench::fmt("%.3f", p99) + " ms (" + bench::fmt("%.3f", rp99) + " ms)", "-", "-");
    const bool clean = countersClean && errors == 0;
    bench::row("5 Master TCP poll", "no exception, error or time-out in the runs", clean ? "yes" : "no", "yes",
               clean ? "met" : "NOT met");
    return clean ? 0 : 1;
}

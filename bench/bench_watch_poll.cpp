// Master TCP watching a map as fast as it can (interval 0) against the
// libmodbus reference server, beside a libmodbus master that reads the same
// blocks back to back.
//
// The map: 200 Float ABCD entries in 10 blocks of 40 registers (block k at
// register 100 k), so a cycle is 10 exchanges either way. The program starts
// as Quillan does (application object, main frame, hidden dialogs) and
// opens the Master TCP station from the main frame, offscreen, with the Watch
// page shown and the memos live. Ours and the libmodbus loop take turns in
// slices of a quarter second, so that the load of a shared machine falls on
// both alike; a run adds its slices up, and the figures are the medians of
// the runs.
//
//   bench_watch_poll [--seconds S] [--repeats R]
#include <QApplication>
#include <QCheckBox>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <cstdio>
#include <modbus.h>
#include <vector>

#include "Bench_libmodbus.h"
#include "Bench_station.h"
#include "Bench_util.h"
#include "Gui_services.h"
#include "Master_window.h"
#include "Modbus_main.h"
#include "Startup.h"

namespace {

const QString kBin = QStringLiteral(BENCH_BIN_DIR);
constexpr int kBlocks = 10;
constexpr int kPerBlock = 20;  // Float ABCD entries, 2 registers each
constexpr int kBlockStride = 100;

constexpr double kSliceSeconds = 0.25;

struct Run {
    long cycles = 0;
    double ms = 0;
    long errors = 0;
    double cyclesPerSecond() const { return ms > 0 ? double(cycles) / (ms / 1e3) : 0; }
    void add(const Run &o)
    {
        cycles += o.cycles;
        ms += o.ms;
        errors += o.errors;
    }
};

QByteArray mapText()
{
    QByteArray text = "name,address,format\n";
    for (int b = 0; b < kBlocks; ++b)
        for (int j = 0; j < kPerBlock; ++j)
            text += QByteArray("v") + QByteArray::number(b * kPerBlock + j) + "," +
                    QByteArray::number(40001 + b * kBlockStride + 2 * j) + ",Float ABCD\n";
    return text;
}

// The libmodbus master: one connection, the ten blocks back to back.
Run libmodbusLoop(quint16 port, double seconds)
{
    Run r;
    modbus_t *ctx = bench::libmodbusClient(port);
    if (!ctx) {
        r.errors = 1;
        return r;
    }
    uint16_t regs[2 * kPerBlock];
    long cycles = 0;
    const double start = bench::now_ms();
    double t = start;
    // Bounded in time and in count.
    while (t - start < seconds * 1e3 && cycles < 1000000) {
        for (int b = 0; b < kBlocks; ++b)
            if (modbus_read_registers(ctx, b * kBlockStride, 2 * kPerBlock, regs) != 2 * kPerBlock)
                ++r.errors;
        ++cycles;
        t = bench::now_ms();
    }
    modbus_close(ctx);
    modbus_free(ctx);
    r.cycles = cycles;
    r.ms = t - start;
    return r;
}

// The station watching with interval 0 for `seconds`; busyMs gains the
// GUI thread's CPU time.
Run stationWatches(MasterWindow *form, double seconds, double &busyMs)
{
    Run r;
    long cycles = 0;
    const auto c1 = QObject::connect(form->watchPage(), &WatchPage::cycleCompleted, [&] { ++cycles; });
    const bench::Ticked run = bench::runTicked(form->findChild<QCheckBox *>("WatchBox"), seconds, 20);
    QObject::disconnect(c1);
    for (const Entry_reading &e : form->watchPage()->watch().readings())
        if (e.status != Read_status::Ok)
            ++r.errors;
    r.cycles = cycles;
    r.ms = run.ms;
    busyMs += run.cpuMs;
    return r;
}

}  // namespace

int main(int argc, char **argv)
{
    const auto [seconds, repeats] = bench::timedRuns(argc, argv);

    TApplication app(argc, argv);
    Startup program;
    Form1->resize(1280, 1000);

    QTemporaryDir dir;
    const QString mapPath = dir.filePath("bench-map.csv");
    {
        QFile f(mapPath);
        if (!f.open(QIODevice::WriteOnly) || f.write(mapText()) < 0) {
            std::fprintf(stderr, "cannot write the map\n");
            return 1;
        }
    }

    bench::ReferenceServer ref;
    if (!ref.start(kBin))
        return 1;
    const quint16 port = ref.port();

    auto *form = qobject_cast<MasterWindow *>(bench::openMasterTcp(port));
    form->findChild<QSpinBox *>("PollInterval")->setValue(0);
    form->pages()->setCurrentWidget(form->watchPage());
    if (!form->watchPage()->loadMap(mapPath) || form->watchPage()->watch().blocks().size() != size_t(kBlocks)) {
        std::fprintf(stderr, "the map did not load as %d blocks\n", kBlocks);
        return 1;
    }
    if (!bench::connectMasterTcp(form))
        return 1;

    std::printf("Master TCP watching %d entries in %d blocks, interval 0: %g s per run, %d runs each, medians\n",
                kBlocks * kPerBlock, kBlocks, seconds, repeats);
    std::printf("%-16s %10s %8s\n", "master", "cycles/s", "errors");
    std::vector<double> ours, theirs;
    long errors = 0;
    for (int rep = 0; rep < repeats; ++rep) {
        Run a, b;
        double busyMs = 0;
        for (int slice = 0; slice < int(seconds / kSliceSeconds + 0.5); ++slice) {
            a.add(stationWatches(form, kSliceSeconds, busyMs));
            b.add(libmodbusLoop(port, kSliceSeconds));
        }
        std::printf("%-16s %10.0f %8ld   (GUI thread busy %.0f %% of its time)\n", "Quillan", a.cyclesPerSecond(),
                    a.errors, a.ms > 0 ? 100 * busyMs / a.ms : 0.0);
        std::printf("%-16s %10.0f %8ld\n", "libmodbus loop", b.cyclesPerSecond(), b.errors);
        ours.push_back(a.cyclesPerSecond());
        theirs.push_back(b.cyclesPerSecond());
        errors += a.errors + b.errors;
    }
    const bool countersClean = bench::reportCounters(form);

    const double rate = bench::median(ours), rrate = bench::median(theirs);
    const double ratio = rrate > 0 ? rate / rrate : 0;
    std::printf("ratio ours/libmodbus %.2f\n", ratio);
    bench::row("21 Watch polling", "interval 0, 200 entries in 10 blocks: cycles/s ours / libmodbus loop",
               bench::fmt("%.0f", rate) + " / " + bench::fmt("%.0f", rrate) + " = " + bench::fmt("%.2f", ratio),
               ">= 0.9", ratio >= 0.9 ? "met" : "NOT met");
    const bool clean = countersClean && errors == 0;
    bench::row("21 Watch polling", "no exception, error or time-out in the runs", clean ? "yes" : "no", "yes",
               clean ? "met" : "NOT met");
    return clean ? 0 : 1;
}

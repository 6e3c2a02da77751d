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
// Then the event loop under a large map: 1 000 entries (700 Signed, 100
// Float ABCD, 200 coils: 9 requests a cycle) watched at interval 0 with 8
// of them plotted and the Chart page shown. A 1 ms timer probes the loop;
// its longest gap between two ticks is the longest stall. The same probe
// with the station connected but not watching, half before and half after
// the watching, is the reference: what the machine itself holds the loop up.
// For each gap the GUI thread's CPU time in it tells the program's own work
// from the time other programs had the core.
//
//   bench_watch_poll [--seconds S] [--repeats R] [--stall-seconds T]
#include <QApplication>
#include <QCheckBox>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <functional>
#include <modbus.h>
#include <vector>

#include "Bench_libmodbus.h"
#include "Bench_station.h"
#include "Bench_util.h"
#include "Gui_services.h"
#include "Master_window.h"
#include "Modbus_main.h"
#include "Startup.h"
#include "Trend_chart.h"

namespace {

const QString kBin = QStringLiteral(BENCH_BIN_DIR);
constexpr int kBlocks = 10;
constexpr int kPerBlock = 20;  // Float ABCD entries, 2 registers each
constexpr int kBlockStride = 100;

constexpr double kSliceSeconds = 0.25;

constexpr int kStallSigned = 700;
constexpr int kStallFloats = 100;
constexpr int kStallCoils = 200;
constexpr int kStallPlotted = 8;
constexpr double kStallGoalMs = 20;

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

// The stall run's map: one device's 1 000 entries as a commissioning map
// mixes them, 700 Signed at 40001-40700 (in bar, scaled), 100 Float ABCD at
// 40701-40900 (in m3/h) and 200 coils at 00001-00200.
QByteArray stallMapText()
{
    QByteArray text = "name,address,format,scale,unit\n";
    for (int i = 0; i < kStallSigned; ++i)
        text += "p" + QByteArray::number(i) + "," + QByteArray::number(40001 + i) + ",Signed,0.1,bar\n";
    for (int i = 0; i < kStallFloats; ++i)
        text += "flow" + QByteArray::number(i) + "," + QByteArray::number(40001 + kStallSigned + 2 * i) +
                ",Float ABCD,1,m3/h\n";
    for (int i = 0; i < kStallCoils; ++i)
        text += "valve" + QByteArray::number(i) + "," + QByteArray::number(1 + i).rightJustified(5, '0') +
                ",Bit,,\n";
    return text;
}

// Writes text to name in dir and has the Watch page load it; false, said
// on stderr, when it does not load as `blocks` requests.
bool loadMap(MasterWindow *form, const QTemporaryDir &dir, const QString &name, const QByteArray &text,
             size_t blocks)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(text) < 0) {
        std::fprintf(stderr, "cannot write the map %s\n", qPrintable(path));
        return false;
    }
    f.close();
    if (!form->watchPage()->loadMap(path) || form->watchPage()->watch().blocks().size() != blocks) {
        std::fprintf(stderr, "the map %s did not load as %zu blocks\n", qPrintable(name), blocks);
        return false;
    }
    return true;
}

// The gaps between the ticks of a 1 ms timer while the event loop runs.
struct Stalls {
    double longestMs = 0;
    double cpuInLongestMs = 0;  // the GUI thread's CPU time within that gap
    double longestCpuMs = 0;    // the most CPU time the GUI thread spent within one gap
    // When those two gaps ended, on now_ms()'s clock (CLOCK_MONOTONIC).
    double longestEndMs = 0, longestCpuEndMs = 0;
    long ticks = 0, overGoal = 0;
    std::vector<double> gaps;
};

// Calls run, which runs the event loop, with the probe's ticks counted into
// `into`.
void probe(const std::function<void()> &run, Stalls &into)
{
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setInterval(1);
    double last = bench::now_ms(), lastCpu = bench::thread_cpu_ms();
    QObject::connect(&timer, &QTimer::timeout, [&] {
        const double t = bench::now_ms(), cpu = bench::thread_cpu_ms();
        const double gap = t - last, work = cpu - lastCpu;
        if (into.gaps.size() < 1000000)
            into.gaps.push_back(gap);
        ++into.ticks;
        if (gap >= kStallGoalMs)
            ++into.overGoal;
        if (gap > into.longestMs) {
            into.longestMs = gap;
            into.cpuInLongestMs = work;
            into.longestEndMs = t;
        }
        if (work > into.longestCpuMs) {
            into.longestCpuMs = work;
            into.longestCpuEndMs = t;
        }
        last = t;
        lastCpu = cpu;
    });
    timer.start();
    run();
    timer.stop();
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

// The stall run: the 1 000-entry map watched for `seconds` with 8 entries
// plotted and the Chart page shown, the idle reference around it. false
// when the map did not load or an exchange failed.
bool stallRun(MasterWindow *form, const QTemporaryDir &dir, double seconds)
{
    // 9 requests: 900 registers in blocks of at most 120, and the coils.
    if (!loadMap(form, dir, "bench-stall-map.csv", stallMapText(), 9))
        return false;
    std::vector<int> plotted;  // some pressures and some flows, spread over the map
    for (int i = 0; i < kStallPlotted / 2; ++i) {
        plotted.push_back(i * kStallSigned / (kStallPlotted / 2));
        plotted.push_back(kStallSigned + i * kStallFloats / (kStallPlotted / 2));
    }
    form->watchPage()->setPlotted(plotted);
    form->pages()->setCurrentWidget(form->trendChart());
    QCoreApplication::processEvents();
    std::printf("event-loop stalls, %zu entries in %zu requests, interval 0, %d plotted, Chart page shown: "
                "%g s watching, %g s idle around it\n",
                form->watchPage()->watch().entries().size(), form->watchPage()->watch().blocks().size(),
                form->trendChart()->seriesCount(), seconds, seconds);

    Stalls idle, watching;
    long cycles = 0;
    double watchedMs = 0;
    const auto idleHalf = [&] { bench::spin(int(seconds / 2 * 1e3)); };
    const auto watch = [&] {
        watchedMs = bench::runTicked(form->findChild<QCheckBox *>("WatchBox"), seconds, 20).ms;
    };
    probe(idleHalf, idle);
    const auto counting = QObject::connect(form->watchPage(), &WatchPage::cycleCompleted, [&] { ++cycles; });
    probe(watch, watching);
    QObject::disconnect(counting);
    probe(idleHalf, idle);
    const bool clean = bench::reportCounters(form);

    const double cyclesPerSecond = watchedMs > 0 ? double(cycles) / (watchedMs / 1e3) : 0;
    const auto print = [](const char *name, const Stalls &st) {
        std::printf("%-9s %6ld ticks: longest gap %.1f ms (GUI thread working %.1f ms of it), p99 %.2f ms, "
                    "%ld gaps >= %.0f ms, most work between two ticks %.1f ms\n",
                    name, st.ticks, st.longestMs, st.cpuInLongestMs, bench::p99(st.gaps), st.overGoal,
                    kStallGoalMs, st.longestCpuMs);
    };
    print("watching", watching);
    print("idle", idle);
    // For matching with a profiler's samples taken on the same clock.
    std::fprintf(stderr,
                 "watching, the longest gap ended at %.3f ms of CLOCK_MONOTONIC, the one of most work at %.3f ms\n",
                 watching.longestEndMs, watching.longestCpuEndMs);
    std::printf("%.0f cycles/s while watching, %d series on the chart\n", cyclesPerSecond,
                form->trendChart()->seriesCount());
    const char *section = "21 Watch polling";
    const std::string what = "1000 entries, interval 0, 8 plotted, Chart shown: ";
    bench::row(section, what + "longest event-loop stall (1 ms timer; idle station)",
               bench::fmt("%.1f ms", watching.longestMs) +
                   bench::fmt(" = %.2f x the goal", watching.longestMs / kStallGoalMs) +
                   bench::fmt(" (idle %.1f ms)", idle.longestMs),
               "< 20 ms", watching.longestMs < kStallGoalMs ? "met" : "NOT met");
    bench::row(section, what + "GUI thread's work in the longest gap; most between two ticks (idle)",
               bench::fmt("%.1f ms", watching.cpuInLongestMs) + bench::fmt("; %.1f ms", watching.longestCpuMs) +
                   bench::fmt(" (%.1f ms)", idle.longestCpuMs),
               "-", "-");
    bench::row(section, what + "p99 gap, gaps >= 20 ms (idle), cycles/s",
               bench::fmt("%.2f ms", bench::p99(watching.gaps)) + bench::fmt(" (%.2f)", bench::p99(idle.gaps)) +
                   bench::fmt(", %.0f", double(watching.overGoal)) +
                   bench::fmt(" (%.0f)", double(idle.overGoal)) + bench::fmt(", %.0f", cyclesPerSecond),
               "-", "-");
    return clean;
}

}  // namespace

int main(int argc, char **argv)
{
    const auto [seconds, repeats] = bench::timedRuns(argc, argv);
    double stallSeconds = 10;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--stall-seconds")
            stallSeconds = std::clamp(std::atof(argv[++i]), 0.0, 60.0);

    TApplication app(argc, argv);
    Startup program;
    Form1->resize(1280, 1000);

    QTemporaryDir dir;
    bench::ReferenceServer ref;
    if (!ref.start(kBin))
        return 1;
    const quint16 port = ref.port();

    auto *form = qobject_cast<MasterWindow *>(bench::openMasterTcp(port));
    form->findChild<QSpinBox *>("PollInterval")->setValue(0);
    form->pages()->setCurrentWidget(form->watchPage());
    if (!loadMap(form, dir, "bench-map.csv", mapText(), kBlocks))
        return 1;
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
    return stallSeconds <= 0 || stallRun(form, dir, stallSeconds) ? (clean ? 0 : 1) : 1;
}

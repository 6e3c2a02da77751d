// The Chart page after a long run: Master TCP opened from the main frame
// (1280x1000, offscreen), its Chart page shown with 8 series of 8 h at 10 Hz
// (288 000 reads each, one in 500 failed), fed at once with made-up times,
// no waiting and no link. Figures: the program's resident memory with the
// station open and its chart empty, and after; and one redraw of the chart
// (thinning, axes, paths and the paint of the view) at each span, against
// the redraw of the same chart with its 8 series empty, measured in the same
// run. Median of N redraws.
//
//   bench_trend_chart [--runs N]   (default 21)
#include <QApplication>
#include <QChartView>
#include <QComboBox>
#include <QTabWidget>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "Bench_util.h"
#include "Master_window.h"
#include "Modbus_main.h"
#include "Startup.h"
#include "Trend_chart.h"

namespace {

constexpr qint64 kT0 = 1700000000000;
constexpr qint64 kStepMs = 100;                         // 10 Hz
constexpr int kReads = int(8 * 3600 * 1000 / kStepMs);  // 8 h

// One redraw as the window sees it: the chart worked out, its layout
// settled and the view painted. The time is the CPU time of the thread
// that does it all: on a machine shared with other work the wall time
// swings with their load.
struct Redraw {
    double cpuMs, wallMs;  // medians
};
Redraw median_redraw(TrendChart &chart, QChartView *view, int runs)
{
    std::vector<double> cpu, wall;
    for (int r = 0; r < runs; ++r) {
        const double c0 = bench::thread_cpu_ms(), w0 = bench::now_ms();
        chart.redraw();
        QCoreApplication::processEvents();
        view->viewport()->repaint();
        cpu.push_back(bench::thread_cpu_ms() - c0);
        wall.push_back(bench::now_ms() - w0);
    }
    return {.cpuMs = bench::median(cpu), .wallMs = bench::median(wall)};
}

}  // namespace

int main(int argc, char **argv)
{
    int runs = 21;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = std::clamp(std::atoi(argv[++i]), 1, 101);

    TApplication app(argc, argv);
    Startup program;
    Form1->resize(1280, 1000);
    Form1->openStation(MasterTcp);
    auto *station = qobject_cast<MasterWindow *>(Form1->station(MasterTcp));
    if (!station) {
        std::fprintf(stderr, "Master TCP did not open\n");
        return 1;
    }
    station->pages()->setCurrentWidget(station->trendChart());
    TrendChart &chart = *station->trendChart();
    auto *view = chart.findChild<QChartView *>();
    auto *span = station->findChild<QComboBox *>(QStringLiteral("TrendSpan"));
    int series[kTrendSeriesMax];
    for (int s = 0; s < kTrendSeriesMax; ++s)
        series[s] = chart.addSeries(QStringLiteral("value_%1").arg(s), QStringLiteral("m3/h"));
    for (int i = 0; i < 10; ++i)
        QCoreApplication::processEvents();

    span->setCurrentIndex(3);  // 8 h
    const Redraw empty = median_redraw(chart, view, runs);
    const double emptyMs = empty.cpuMs;
    const double rssBefore = bench::rss_mib();

    const double f0 = bench::now_ms();
    for (int k = 0; k < kReads; ++k) {
        const qint64 t = kT0 + k * kStepMs;
        for (int s = 0; s < kTrendSeriesMax; ++s) {
            if ((k + 37 * s) % 500 == 0)
                chart.addGap(series[s], t);
            else
                chart.addPoint(series[s], t, 50 * std::sin(k * (s + 1) * 1e-4) + 10 * s + (k * 7919 % 101) * 0.01);
        }
    }
    const double feedMs = bench::now_ms() - f0;
    for (int i = 0; i < 10; ++i)
        QCoreApplication::processEvents();
    const double rssAfter = bench::rss_mib();
    size_t points = 0;
    for (int s : series)
        points += chart.store().size(s);
    const double storeMib = double(chart.store().memory_bytes()) / (1024.0 * 1024.0);

    std::printf("8 series x %d reads (8 h at 10 Hz), fed in %.0f ms: %zu points kept, store %.1f MiB\n", kReads,
                feedMs, points, storeMib);
    std::printf("resident: %.1f MiB with Master TCP open and its chart empty, %.1f MiB after (+%.1f MiB)\n",
                rssBefore, rssAfter, rssAfter - rssBefore);
    bench::row("7 Trend chart", "resident, Master TCP with 8 series after 8 h at 10 Hz",
               bench::fmt("%.1f MiB", rssAfter) + bench::fmt(" (chart empty: %.1f MiB)", rssBefore), "< 100 MB",
               rssAfter * 1.048576 < 100 ? "met" : "NOT met");
    bench::row("7 Trend chart", "of which the points", bench::fmt("%.1f MiB", storeMib), "-", "-");

    std::printf("redraw of the empty chart: %.2f ms CPU, %.2f ms wall (medians of %d)\n", emptyMs, empty.wallMs, runs);
    for (int i = span->count() - 1; i >= 0; --i) {
        span->setCurrentIndex(i);
        const Redraw r = median_redraw(chart, view, runs);
        const double ms = r.cpuMs;
        std::printf("redraw, span %s: %.2f ms CPU (%.1f x the empty chart), %.2f ms wall\n",
                    qPrintable(span->itemText(i)), ms, ms / emptyMs, r.wallMs);
        bench::row("7 Trend chart", "redraw (CPU), 8 full series, span " + span->itemText(i).toStdString(),
                   bench::fmt("%.1f ms", ms) + bench::fmt(", %.1f x the empty chart", ms / emptyMs), "< 30 ms",
                   ms < 30 ? "met" : "NOT met");
    }
    bench::row("7 Trend chart", "redraw (CPU) of the empty chart, the reference", bench::fmt("%.1f ms", emptyMs), "-",
               "-");
    return 0;
}

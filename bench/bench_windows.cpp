// Opening station windows: the time to create each slave station (four grids
// of 1024 entries) from the main frame until its visible grid has been
// painted, the time to close it, the memory it takes; and the program's
// resident memory with all six stations open.
//
// Memory of one station is given two ways: the heap it holds while open
// (malloc's count of bytes in use, exact even when freed memory is reused),
// and the growth of the resident set when it is the first station opened in
// a fresh program (what the operator's process pays).
//
//   bench_windows [--runs N]   per-station figures (median of N, default 7),
//                              then the figures from fresh processes
//   bench_windows --fresh K    one fresh program: start-up, then station K
//                              (6: all six); prints "RSS <MiB before> <MiB after>"
#include <QAbstractScrollArea>
#include <QApplication>
#include <QMdiSubWindow>
#include <QProcess>
#include <QRegularExpression>
#include <QTabWidget>
#include <cstdio>
#include <malloc.h>
#include <vector>

#include "Bench_util.h"
#include "Modbus_main.h"
#include "Notices.h"
#include "Startup.h"

namespace {

// Lets the frame lay out and paint what changed, and frees what was closed.
void settle()
{
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

const char *const kNames[6] = {"Master RTU", "Master ASCII", "Master TCP", "Slave RTU", "Slave ASCII", "Slave TCP"};

// Heap bytes in use, in MiB.
double heap_mib()
{
    const struct mallinfo2 m = mallinfo2();
    return double(m.uordblks + m.hblkhd) / (1024.0 * 1024.0);
}

// Notes the first paint of a widget.
class PaintWatch : public QObject {
public:
    bool painted = false;
    bool eventFilter(QObject *, QEvent *e) override
    {
        if (e->type() == QEvent::Paint)
            painted = true;
        return false;
    }
};

// Opens a station from the main frame and waits until the grid on its current
// page has been painted; the milliseconds it took, or -1.
double openAndPaint(int kind)
{
    const double t0 = bench::now_ms();
    Form1->openStation(kind);
    QWidget *form = Form1->station(kind);
    auto *pages = form ? form->findChild<QTabWidget *>("PageControl1") : nullptr;
    auto *grid = pages ? qobject_cast<QAbstractScrollArea *>(pages->currentWidget()->findChild<QWidget *>(
                             QStringLiteral("StringGrid%1").arg(pages->currentIndex() + 1)))
                       : nullptr;
    if (!grid)
        return -1;
    PaintWatch watch;
    grid->viewport()->installEventFilter(&watch);
    while (!watch.painted && bench::now_ms() - t0 < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    grid->viewport()->removeEventFilter(&watch);
    return watch.painted ? bench::now_ms() - t0 : -1;
}

int fresh(int kind)
{
    settle();
    const double before = bench::rss_mib();
    double ms = 0;
    if (kind < 6) {
        ms = openAndPaint(kind);
    } else {
        const double t0 = bench::now_ms();
        for (int k = 0; k < 6; ++k)
            Form1->openStation(k);
        ms = bench::now_ms() - t0;
    }
    settle();
    for (int k = 0; k < 6; ++k)
        if ((k == kind || kind == 6) && !Form1->stationOpen(k))
            return 1;
    std::printf("RSS %.1f %.1f %.1f\n", before, bench::rss_mib(), ms);
    return 0;
}

// Runs this program with --fresh kind several times; medians of the resident
// memory before and after opening, and of the time it took.
bool freshRss(int kind, int times, double &before, double &after, double &ms)
{
    std::vector<double> b, a, t;
    for (int r = 0; r < times; ++r) {
        QProcess p;
        p.start(QCoreApplication::applicationFilePath(), {"--fresh", QString::number(kind)});
        if (!p.waitForFinished(60000)) {
            p.kill();
            p.waitForFinished(2000);
            return false;
        }
        const QString out = QString::fromLocal8Bit(p.readAllStandardOutput());
        const auto m = QRegularExpression("RSS ([\\d.]+) ([\\d.]+) (-?[\\d.]+)").match(out);
        if (!m.hasMatch())
            return false;
        b.push_back(m.captured(1).toDouble());
        a.push_back(m.captured(2).toDouble());
        t.push_back(m.captured(3).toDouble());
    }
    before = bench::median(b);
    after = bench::median(a);
    ms = bench::median(t);
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    int runs = 7;
    int freshKind = -1;
    for (int i = 1; i < argc; ++i) {
        const QByteArray a = argv[i];
        if (a == "--runs" && i + 1 < argc)
            runs = std::clamp(std::atoi(argv[++i]), 1, 25);
        else if (a == "--fresh" && i + 1 < argc)
            freshKind = std::clamp(std::atoi(argv[++i]), 0, 6);
    }

    TApplication app(argc, argv);
    Startup program;
    set_message_box_sink([](const std::string &text, const std::string &caption) {
        std::fprintf(stderr, "message box [%s] %s\n", caption.c_str(), text.c_str());
    });
    Form1->resize(1280, 1000);
    settle();
    if (freshKind >= 0)
        return fresh(freshKind);

    std::printf("%-12s %10s %10s %10s %10s %10s %14s\n", "station", "open ms", "first ms", "close ms", "heap MiB",
                "kept MiB", "fresh +RSS MiB");
    // One open and close first, so that fonts, styles and the like that the
    // first window of any kind loads are not counted against one station.
    Form1->openStation(SlaveTcp);
    settle();
    Form1->stationSubWindow(SlaveTcp)->close();
    settle();

    bool ok = true;
    for (int kind : {SlaveRtu, SlaveAscii, SlaveTcp}) {
        std::vector<double> open, close, grow, kept;
        for (int r = 0; r < runs; ++r) {
            const double heap0 = heap_mib();
            const double o = openAndPaint(kind);
            settle();
            const double heap1 = heap_mib();
            QMdiSubWindow *sub = Form1->stationSubWindow(kind);
            if (o < 0 || !sub) {
                ok = false;
                break;
            }
            const double t2 = bench::now_ms();
            sub->close();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            const double t3 = bench::now_ms();
            settle();
            if (Form1->stationOpen(kind))
                ok = false;
            open.push_back(o);
            close.push_back(t3 - t2);
            grow.push_back(heap1 - heap0);
            kept.push_back(heap_mib() - heap0);
        }
        double rssBefore = 0, rssAfter = 0, firstMs = 0;
        if (!freshRss(kind, 3, rssBefore, rssAfter, firstMs))
            ok = false;
        const double o = bench::median(open), c = bench::median(close), g = bench::median(grow),
                     k = bench::median(kept), f = rssAfter - rssBefore;
        std::printf("%-12s %10.1f %10.1f %10.1f %10.2f %10.2f %14.1f\n", kNames[kind], o, firstMs, c, g, k, f);
        bench::row("2 Windows", std::string("open ") + kNames[kind] + " (until its grid is painted)",
                   bench::fmt("%.1f ms", o) + bench::fmt(" (first window of a fresh program %.1f ms)", firstMs),
                   "< 150 ms", std::max(o, firstMs) < 150 ? "met" : "NOT met");
        bench::row("2 Windows", std::string("close ") + kNames[kind], bench::fmt("%.1f ms", c), "-", "-");
        bench::row("2 Windows", std::string("memory of one ") + kNames[kind],
                   bench::fmt("heap %.2f MiB", g) + bench::fmt(" (%.2f kept after closing)", k) +
                       bench::fmt(", first in a fresh program +%.1f MiB RSS", f),
                   "-", "-");
    }

    // All six at once, in a fresh program so that nothing of the runs above
    // is counted.
    double b = 0, a = 0, allMs = 0;
    if (!freshRss(6, 3, b, a, allMs))
        ok = false;
    std::printf("program after start-up: %.1f MiB resident; with all six stations open: %.1f MiB\n", b, a);
    bench::row("2 Windows", "resident memory, main frame only", bench::fmt("%.1f MiB", b), "-", "-");
    bench::row("2 Windows", "resident memory, all six stations open", bench::fmt("%.1f MiB", a), "< 150 MB",
               a * 1.048576 < 150 ? "met" : "NOT met");
    return ok ? 0 : 1;
}

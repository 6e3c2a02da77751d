// The Slave TCP station under load, beside a reference server.
//
// The program starts as Quillan does (application object, main frame, hidden
// dialogs), opens the Slave TCP station from the main frame, shows its
// holding-register page and opens the server on a free loopback port. The
// load generator (bench_load, a child process with one libmodbus client
// thread per connection) then runs against it while this program's event
// loop serves it, memos and grids live, offscreen. The same load runs, the
// same way, against bench_ref_server (minimal single-threaded libmodbus
// server). Every figure is the median of several runs, ours and the
// reference taking turns.
//
//   bench_slave_tcp [--seconds S] [--repeats R] [--only-ours] [--clients K] [--mode read|mix]
//                   [--picture FILE.png]
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTabWidget>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

#include "Bench_process.h"
#include "Bench_station.h"
#include "Bench_strip.h"
#include "Bench_util.h"
#include "Gui_services.h"
#include "Modbus_main.h"
#include "Notices.h"
#include "Slave_tcp.h"
#include "Startup.h"

namespace {

const QString kBin = QStringLiteral(BENCH_BIN_DIR);

struct LoadResult {
    bool ok = false;
    double rps = 0, p50 = 0, p99 = 0;  // latencies in microseconds
    long errors = 0, mismatches = 0;
    std::map<int, std::vector<unsigned>> last;  // start -> values written last
    QString output;
};

// Runs bench_load against port while this thread's event loop keeps running.
LoadResult runLoad(quint16 port, int clients, double seconds, const QString &mode)
{
    LoadResult r;
    const bench::LoadOutput o = bench::runLoadGenerator(kBin, "bench_load", port, clients, seconds, mode);
    if (!o.finished) {
        r.output = o.started ? "bench_load did not finish" : "bench_load did not start";
        return r;
    }
    r.output = o.out;
    if (!o.err.isEmpty())
        std::fprintf(stderr, "%s", qPrintable(o.err));
    static const QRegularExpression result(
        "RESULT .*rps=(\\d+) p50_us=(\\d+) p99_us=(\\d+) errors=(\\d+) mismatches=(\\d+)");
    static const QRegularExpression last("LAST client=\\d+ start=(\\d+) values=([\\d,]+)");
    const auto m = result.match(r.output);
    if (!m.hasMatch())
        return r;
    r.rps = m.captured(1).toDouble();
    r.p50 = m.captured(2).toDouble();
    r.p99 = m.captured(3).toDouble();
    r.errors = m.captured(4).toLong();
    r.mismatches = m.captured(5).toLong();
    for (auto it = last.globalMatch(r.output); it.hasNext();) {
        const auto lm = it.next();
        std::vector<unsigned> v;
        for (const QString &s : lm.captured(2).split(','))
            v.push_back(s.toUInt());
        r.last[lm.captured(1).toInt()] = v;
    }
    r.ok = r.errors == 0 && r.mismatches == 0;
    return r;
}

// The station's table and grid hold what each client wrote last.
int checkTable(TSLTCP_Form *form, const LoadResult &r)
{
    int wrong = 0;
    for (const auto &[start, values] : r.last)
        for (size_t i = 0; i < values.size(); ++i) {
            const uint16_t n = uint16_t(start + int(i));
            const unsigned want = values[i];
            char dec[16], hex[16];
            std::snprintf(dec, sizeof dec, "%6d", int(int16_t(want)));
            std::snprintf(hex, sizeof hex, "0x%04X", want);
            if (form->tables.holdingRegisters[n] != want || form->StringGrid3->cellText(1, n + 1) != dec ||
                form->StringGrid3->cellText(2, n + 1) != hex)
                ++wrong;
        }
    return wrong;
}

struct Series {
    std::vector<double> rps, p50, p99, cpu;
    void add(const LoadResult &r)
    {
        rps.push_back(r.rps);
        p50.push_back(r.p50);
        p99.push_back(r.p99);
    }
};

// Runs the load and notes the server's CPU time per request (this process
// for the station, the reference's own process for it).
LoadResult measure(Series &s, pid_t server, quint16 port, int clients, double seconds, const QString &mode)
{
    const double cpu0 = bench::process_cpu_ms(server);
    const LoadResult r = runLoad(port, clients, seconds, mode);
    const double requests = r.rps * seconds;
    s.add(r);
    s.cpu.push_back(requests > 0 ? (bench::process_cpu_ms(server) - cpu0) * 1000.0 / requests : 0);
    return r;
}

}  // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    double seconds = 3;
    int repeats = 3;
    bool onlyOurs = false;
    QString picture;  // where to save a picture of the station after the runs
    std::vector<int> clientCounts = {1, 4};
    std::vector<QString> modes = {"read", "mix"};
    for (int i = 1; i < argc; ++i) {
        const QByteArray a = argv[i];
        if (a == "--seconds" && i + 1 < argc)
            seconds = std::clamp(std::atof(argv[++i]), 0.5, 20.0);
        else if (a == "--repeats" && i + 1 < argc)
            repeats = std::clamp(std::atoi(argv[++i]), 1, 15);
        else if (a == "--only-ours")
            onlyOurs = true;
        else if (a == "--clients" && i + 1 < argc)
            clientCounts = {std::clamp(std::atoi(argv[++i]), 1, 16)};
        else if (a == "--mode" && i + 1 < argc)
            modes = {QString::fromLatin1(argv[++i])};
        else if (a == "--picture" && i + 1 < argc)
            picture = QString::fromLocal8Bit(argv[++i]);
    }

    TApplication app(argc, argv);
    Startup program;
    // A box would wait for an operator who is not there: report it instead.
    set_message_box_sink([](const std::string &text, const std::string &caption) {
        std::fprintf(stderr, "message box [%s] %s\n", caption.c_str(), text.c_str());
    });

    Form1->resize(1280, 1000);
    Form1->openStation(SlaveTcp);
    auto *form = qobject_cast<TSLTCP_Form *>(Form1->station(SlaveTcp));
    if (!form) {
        std::fprintf(stderr, "no Slave TCP station\n");
        return 1;
    }
    form->PageControl1->setCurrentIndex(2);  // the holding registers, as an operator watches writes
    const quint16 port = bench::freePort();
    form->setListenPort(port);
    form->BitBtn1Click();
    if (!form->serverOpen())
        return 1;
    QCoreApplication::processEvents();

    bench::ReferenceServer ref;
    if (!onlyOurs && !ref.start(kBin))
        return 1;

    std::printf("Slave TCP: %g s per run, %d runs each, medians; window %dx%d, page \"%s\"\n", seconds, repeats,
                form->width(), form->height(), qPrintable(form->PageControl1->tabText(2)));
    std::printf("%-6s %-3s %-10s %12s %10s %10s %14s\n", "mode", "K", "server", "requests/s", "p50 ms", "p99 ms",
                "CPU us/request");
    bool allOk = true;
    for (const QString &mode : modes)
        for (int k : clientCounts) {
            Series ours, theirs;
            int tableWrong = 0;
            for (int rep = 0; rep < repeats; ++rep) {
                const LoadResult a = measure(ours, getpid(), port, k, seconds, mode);
                if (!a.ok) {
                    allOk = false;
                    std::fprintf(stderr, "ours, %s K=%d: %s\n", qPrintable(mode), k, qPrintable(a.output));
                }
                if (mode == "mix")
                    tableWrong += checkTable(form, a);
                if (!onlyOurs) {
                    const LoadResult b = measure(theirs, ref.pid(), ref.port(), k, seconds, mode);
                    if (!b.ok)
                        std::fprintf(stderr, "reference, %s K=%d: %s\n", qPrintable(mode), k, qPrintable(b.output));
                }
            }
            const double rps = bench::median(ours.rps), p50 = bench::median(ours.p50) / 1e3,
                         p99 = bench::median(ours.p99) / 1e3;
            const double cpu = bench::median(ours.cpu);
            std::printf("%-6s %-3d %-10s %12.0f %10.3f %10.3f %14.1f\n", qPrintable(mode), k, "Quillan", rps, p50, p99,
                        cpu);
            const QString what = QString("%1, %2 client%3").arg(mode == "read" ? "read 10 regs" : "write-heavy mix")
                                     .arg(k)
                                     .arg(k > 1 ? "s" : "");
            if (!onlyOurs) {
                const double rrps = bench::median(theirs.rps), rp50 = bench::median(theirs.p50) / 1e3,
                             rp99 = bench::median(theirs.p99) / 1e3;
                const double rcpu = bench::median(theirs.cpu);
                std::printf("%-6s %-3d %-10s %12.0f %10.3f %10.3f %14.1f\n", qPrintable(mode), k, "reference", rrps,
                            rp50, rp99, rcpu);
                const double ratio = rrps > 0 ? rps / rrps : 0;
                std::printf("%-6s %-3d ratio ours/reference %.2f\n", qPrintable(mode), k, ratio);
                bench::row("1 Slave TCP", (what + ": req/s ours / reference").toStdString(),
                           bench::fmt("%.0f", rps) + " / " + bench::fmt("%.0f", rrps) + " = " +
                               bench::fmt("%.2f", ratio),
                           ">= 0.9", ratio >= 0.9 ? "met" : "NOT met");
                bench::row("1 Slave TCP", (what + ": p50 / p99 ours (reference)").toStdString(),
                           bench::fmt("%.3f", p50) + " / " + bench::fmt("%.3f", p99) + " ms (" +
                               bench::fmt("%.3f", rp50) + " / " + bench::fmt("%.3f", rp99) + ")",
                           "p99 < 2 ms", p99 < 2.0 ? "met" : "NOT met");
                bench::row("1 Slave TCP", (what + ": server CPU per request ours (reference)").toStdString(),
                           bench::fmt("%.1f", cpu) + " (" + bench::fmt("%.1f", rcpu) + ") us", "-", "-");
            }
            if (mode == "mix") {
                std::printf("%-6s %-3d table and grid after the runs: %s\n", qPrintable(mode), k,
                            tableWrong ? "WRONG" : "hold the last values written");
                bench::row("1 Slave TCP", (what + ": table and grid hold last values").toStdString(),
                           tableWrong ? bench::fmt("%.0f entries wrong", tableWrong) : "yes", "yes",
                           tableWrong ? "NOT met" : "met");
                if (tableWrong)
                    allOk = false;
            }
        }

    if (!picture.isEmpty()) {
        QCoreApplication::processEvents();
        if (!form->grab().save(picture))
            std::fprintf(stderr, "could not save %s\n", qPrintable(picture));
    }

    // The test bench switched on with nothing to inject: a unit filter that
    // lists the load's unit (1) and a 0 ms delay, set in the station's strip
    // as an operator sets them. Every request then passes the filter's
    // checks. The same read load runs with the options on and off, taking
    // turns.
    {
        auto setBench = [form](bool on) {
            form->OptionStrip->UnitIds->setText(on ? "1, 5, 10-20" : "");
            form->UnitIdsEditingFinished();
            form->OptionStrip->DelayMs->setValue(0);
        };
        Series off, on;
        for (int rep = 0; rep < repeats; ++rep) {
            setBench(false);
            off.add(runLoad(port, 1, seconds, "read"));
            setBench(true);
            const LoadResult a = runLoad(port, 1, seconds, "read");
            if (!a.ok) {
                allOk = false;
                std::fprintf(stderr, "ours with a unit filter: %s\n", qPrintable(a.output));
            }
            on.add(a);
        }
        setBench(false);
        const double rOn = bench::median(on.rps), rOff = bench::median(off.rps);
        const double ratio = rOff > 0 ? rOn / rOff : 0;
        std::printf("read 1 client, unit filter \"1, 5, 10-20\" and delay 0 ms: %.0f req/s, p99 %.3f ms; "
                    "options off %.0f req/s: ratio %.2f\n",
                    rOn, bench::median(on.p99) / 1e3, rOff, ratio);
        bench::row("1 Slave TCP", "read 10 regs, 1 client, unit filter and 0 ms delay set: req/s on / off",
                   bench::fmt("%.0f", rOn) + " / " + bench::fmt("%.0f", rOff) + " = " + bench::fmt("%.2f", ratio),
                   ">= 0.95", ratio >= 0.95 ? "met" : "NOT met");
    }

    // What one refresh of the window costs the GUI thread under load: both
    // memos re-shown and ten written grid rows repainted, in thread CPU time
    // (preemption by other work left out). Requests that arrive meanwhile wait.
    {
        std::vector<double> costs;
        for (int i = 0; i < 40; ++i) {
            std::vector<uint8_t> req = {0, uint8_t(i), 0, 0, 0, 27, 1, 16, 0, 0, 0, 10, 20};
            for (int r = 0; r < 10; ++r) {
                req.push_back(uint8_t(i));
                req.push_back(uint8_t(r));
            }
            form->serve(req.data(), req.size(), nullptr);
            const double c0 = bench::thread_cpu_ms();
            form->Memo1->flush();
            form->Memo2->flush();
            form->StringGrid3->repaintChanged();
            QCoreApplication::processEvents();  // the paint
            costs.push_back(bench::thread_cpu_ms() - c0);
            const double t = bench::now_ms();
            while (bench::now_ms() - t < 25)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        const double med = bench::median(costs), worst = *std::max_element(costs.begin(), costs.end());
        std::printf("one refresh (two memos, ten grid rows): %.2f ms CPU (median), %.2f ms at most\n", med, worst);
        bench::row("1 Slave TCP", "one window refresh under load (memos + 10 grid rows, every 20 ms at most)",
                   bench::fmt("%.2f ms CPU", med) + bench::fmt(" (max %.2f)", worst), "-", "-");
    }

    form->BitBtn2Click();
    return allOk ? 0 : 1;
}

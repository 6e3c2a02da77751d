// A serial exchange in one program: the Master RTU station reads holding
// registers from the Slave RTU station over a socat pty pair (master on COM1,
// slave on COM2). Measured: the time from "Send command" to the master's grid
// showing the last value read, for 1, 10 and 120 registers, and the slave's
// answer time; printed beside what the stations' timing rules predict:
//
// Slave: a 5 ms tick takes the request, then polls until the line has been
//   quiet for 2 centiseconds of the local clock (10 to 20 ms after the last
//   byte, by where in its centisecond that byte fell), each empty read
//   waiting up to 3 ms: 2.5 + 15 + 1.5 = 19 ms on average, 10 to 28 ms.
// Master: a 10 ms tick; tick 1 restarts the receiver, tick k1 (the first
//   after the answer is on the line, at least 2) takes its first byte, one
//   byte per tick after it, 100 ms of silence measured in 10 ms clock units
//   (10 ticks), and one tick more to check and decode:
//     grid filled at 10 ms x (k1 + n + 10), n = 5 + 2 x count answer bytes.
//   k1 is taken from the slave's measured answer time of the same run.
//
//   bench_serial [--runs N]   (default 5 runs per count, medians)
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QTimer>
#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

#include "Bench_util.h"
#include "Gui_services.h"
#include "Master_rtu.h"
#include "Modbus_main.h"
#include "Notices.h"
#include "Peers.h"
#include "Slave_rtu.h"
#include "Startup.h"

namespace {

template <class T> T *child(QObject *parent, const char *name)
{
    T *c = parent->findChild<T *>(name);
    if (!c)
        qFatal("no child %s", name);
    return c;
}

struct Run {
    double slaveMs = -1;  // the slave starts writing its response
    double gridMs = -1;   // the master's grid shows the last value
};

// The slave's line, noting when the slave writes.
class TimedLink : public SerialLink {
public:
    std::function<void()> onWrite;
    int32_t write(int32_t port, const void *buf, int32_t n) override
    {
        if (onWrite)
            onWrite();
        return SerialLink::write(port, buf, n);
    }
};

}  // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    int runs = 5;
    for (int i = 1; i < argc; ++i)
        if (QByteArray(argv[i]) == "--runs" && i + 1 < argc)
            runs = std::clamp(std::atoi(argv[++i]), 1, 15);

    TApplication app(argc, argv);
    if (QStandardPaths::findExecutable("socat").isEmpty()) {
        std::fprintf(stderr, "socat is not installed\n");
        return 1;
    }
    PtyPair pair;
    if (!pair.ok()) {
        std::fprintf(stderr, "socat made no pty pair\n");
        return 1;
    }
    PtyPair::mapPort(1, pair.a());
    PtyPair::mapPort(2, pair.b());

    Startup program;
    set_message_box_sink([](const std::string &text, const std::string &caption) {
        std::fprintf(stderr, "message box [%s] %s\n", caption.c_str(), text.c_str());
    });
    Form1->resize(1280, 1000);

    Form1->openStation(SlaveRtu);
    Form1->openStation(MasterRtu);
    auto *slave = qobject_cast<TSLRTU_Form *>(Form1->station(SlaveRtu));
    auto *master = qobject_cast<TMSRTU_Form *>(Form1->station(MasterRtu));
    if (!slave || !master)
        return 1;
    static TimedLink slaveLink;  // outlives the windows
    slave->setLink(&slaveLink);
    slave->ports.setDefaults(2, 9600, 'N', 8, 1);
    slave->UpdatePortLabel();
    slave->BitBtn1Click();
    child<QPushButton>(master, "BitBtn4")->click();
    if (!slave->serverOpen() || !child<QPushButton>(master, "BitBtn5")->isEnabled()) {
        std::fprintf(stderr, "ports did not open\n");
        return 1;
    }
    QCoreApplication::processEvents();

    auto *grid = child<StringGrid>(master, "StringGrid1");
    auto *timer = child<QTimer>(master, "Timer1");
    Run current;
    double t0 = 0;
    QString want;
    int wantRow = 0;
    slaveLink.onWrite = [&] {
        if (current.slaveMs < 0)
            current.slaveMs = bench::now_ms() - t0;
    };
    QObject::connect(grid->model(), &QAbstractItemModel::dataChanged, [&] {
        if (current.gridMs < 0 && wantRow > 0 && grid->cellText(1, wantRow) == want)
            current.gridMs = bench::now_ms() - t0;
    });

    std::printf("Serial exchange, Master RTU <-> Slave RTU over a socat pty pair; %d runs each, medians\n", runs);
    std::printf("%-6s %-6s %12s %12s %12s %10s\n", "count", "bytes", "slave ms", "measured ms", "predicted ms",
                "deviation");
    bool ok = true;
    int serial = 0;
    for (int count : {1, 10, 120}) {
        std::vector<double> slaveMs, gridMs, predicted;
        for (int r = 0; r < runs; ++r) {
            // Fresh values in the slave's table, so that the grid cannot show
            // the last value before this answer.
            ++serial;
            for (int i = 0; i < 120; ++i) {
                slave->tables.holdingRegisters[i] = uint16_t(serial * 200 + i);
                slave->refreshEntry(KindHoldingRegister, uint16_t(i));
            }
            want = QString::asprintf("%6d", serial * 200 + count - 1);
            wantRow = count;
            child<QComboBox>(master, "ComboBox1")->setCurrentIndex(2);
            child<QLineEdit>(master, "MaskEdit1")->setText("1");
            child<QLineEdit>(master, "MaskEdit2")->setText("1");
            child<QLineEdit>(master, "MaskEdit3")->setText(QString::number(count));
            // Let both sides go quiet: the slave's 20 ms gap must not join
            // this request to anything before it.
            const double quiet = bench::now_ms();
            while (bench::now_ms() - quiet < 60)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);

            current = Run();
            t0 = bench::now_ms();
            master->BitBtn1Click();  // "Send command"
            const double limit = 10000;
            while ((current.gridMs < 0 || timer->isActive()) && bench::now_ms() - t0 < limit)
                QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
            if (current.gridMs < 0 || current.slaveMs < 0) {
                std::fprintf(stderr, "count %d: no answer in the grid (slave %s)\n", count,
                             current.slaveMs < 0 ? "did not answer" : "answered");
                ok = false;
                continue;
            }
            const int n = 5 + 2 * count;
            const int k1 = std::max(2, int(std::ceil(current.slaveMs / 10.0)));
            slaveMs.push_back(current.slaveMs);
            gridMs.push_back(current.gridMs);
            predicted.push_back(10.0 * (k1 + n + 10));
        }
        if (gridMs.empty())
            continue;
        const double s = bench::median(slaveMs), g = bench::median(gridMs), p = bench::median(predicted);
        const double dev = (g - p) / p * 100;
        std::printf("%-6d %-6d %12.1f %12.1f %12.1f %9.1f%%\n", count, 5 + 2 * count, s, g, p, dev);
        const std::string what = std::to_string(count) + (count == 1 ? " register" : " registers");
        bench::row("3 Serial", "slave answer time, " + what, bench::fmt("%.1f ms", s), "19 ms (10..28)",
                   s >= 8 && s <= 30 ? "as predicted" : "OFF");
        bench::row("3 Serial", "Send command to grid filled, " + what,
                   bench::fmt("%.1f ms", g) + bench::fmt(" (%+.1f%%)", dev), bench::fmt("%.0f ms predicted", p),
                   std::fabs(dev) <= 10 ? "met" : "NOT met");
    }
    child<QPushButton>(master, "BitBtn5")->click();
    slave->BitBtn2Click();
    slave->setLink(nullptr);
    return ok ? 0 : 1;
}

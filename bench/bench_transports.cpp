// The network framings against each other, each server against itself:
//  - quillan-slave serving --tcp, --rtu-over-tcp and --udp at once (one
//    process, the same loops), with 1 and 4 clients: Modbus/UDP against
//    Modbus/TCP (goal 1.2 times) and RTU over TCP against Modbus/TCP (goal
//    0.9 times);
//  - the Slave TCP station opened from the main frame, offscreen, in
//    Modbus/TCP and then in RTU over TCP (goal 0.9 times).
// One load generator for all (bench_raw_load: K client threads on plain
// sockets, reads of 10 registers in a closed loop); the framings take turns
// and every figure is the median of the runs.
//
//   bench_transports [--seconds S] [--repeats R] [--only slave|station]
#include <QApplication>
#include <QComboBox>
#include <QEventLoop>
#include <QProcess>
#include <QRegularExpression>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

#include "Bench_process.h"
#include "Bench_station.h"
#include "Bench_util.h"
#include "Gui_services.h"
#include "Modbus_main.h"
#include "Slave_tcp.h"
#include "Startup.h"

namespace
{

const QString kBin = QStringLiteral(BENCH_BIN_DIR);
const QString kSlave = QStringLiteral(BENCH_SLAVE_PROGRAM);

// Requests per second of one bench_raw_load run (0 when it failed), this
// thread's event loop running meanwhile (the station serves in it).
double runLoad(quint16 port, int clients, double seconds, const QString &mode)
{
    const bench::LoadOutput o = bench::runLoadGenerator(kBin, "bench_raw_load", port, clients, seconds, mode);
    if (!o.finished) {
        if (o.started)
            std::fprintf(stderr, "bench_raw_load did not finish\n");
        return 0;
    }
    const QString &out = o.out;
    static const QRegularExpression result("RESULT .*rps=(\\d+) .*errors=(\\d+)");
    const auto m = result.match(out);
    if (!m.hasMatch() || m.captured(2) != "0") {
        std::fprintf(stderr, "bench_raw_load said: %s%s", qPrintable(out), qPrintable(o.err));
        return 0;
    }
    return m.captured(1).toDouble();
}

std::string fmt(double v, const char *format = "%.0f")
{
    char b[64];
    std::snprintf(b, sizeof b, format, v);
    return b;
}

// One framing's medians: requests per second, and the server's CPU time per
// request in microseconds (steadier than the rate on a machine shared with
// other work).
struct Figures {
    double rps = 0;
    double cpuUs = 0;
};

struct Runs {
    std::vector<double> rps, cpuUs;
    void add(double r, double cpuMs, double seconds)
    {
        rps.push_back(r);
        cpuUs.push_back(r > 0 ? cpuMs * 1000.0 / (r * seconds) : 0);
    }
    Figures medians() const { return {.rps = bench::median(rps), .cpuUs = bench::median(cpuUs)}; }
};

// Runs every framing in turn, repeats times, against the server process.
std::map<QString, Figures> measure(pid_t server, const std::map<QString, quint16> &ports, int clients,
                                   double seconds, int repeats)
{
    std::map<QString, Runs> runs;
    for (int r = 0; r < repeats; ++r)
        for (const auto &[mode, port] : ports) {
            const double cpu0 = bench::process_cpu_ms(server);
            const double rps = runLoad(port, clients, seconds, mode);
            runs[mode].add(rps, bench::process_cpu_ms(server) - cpu0, seconds);
        }
    std::map<QString, Figures> out;
    for (auto &[mode, v] : runs)
        out[mode] = v.medians();
    return out;
}

void ratioRow(const std::string &section, const std::string &measure, Figures ours, Figures base, double goal)
{
    const double ratio = base.rps > 0 ? ours.rps / base.rps : 0;
    std::printf("  %-40s %8.0f / %8.0f = %.2f (goal %.1f); server CPU per request %.1f / %.1f us\n",
                measure.c_str(), ours.rps, base.rps, ratio, goal, ours.cpuUs, base.cpuUs);
    bench::row(section, measure + ": requests/s",
               fmt(ours.rps) + " / " + fmt(base.rps) + " = " + fmt(ratio, "%.2f") + " (CPU per request " +
                   fmt(ours.cpuUs, "%.1f") + " / " + fmt(base.cpuUs, "%.1f") + " us)",
               ">= " + fmt(goal, "%.1f"), ratio >= goal ? "met" : "not met");
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    double seconds = 3;
    int repeats = 3;
    QByteArray only;
    for (int i = 1; i < argc; ++i) {
        const QByteArray a = argv[i];
        if (a == "--seconds" && i + 1 < argc)
            seconds = std::clamp(std::atof(argv[++i]), 0.5, 20.0);
        else if (a == "--repeats" && i + 1 < argc)
            repeats = std::clamp(std::atoi(argv[++i]), 1, 15);
        else if (a == "--only" && i + 1 < argc)
            only = argv[++i];
    }
    TApplication app(argc, argv);
    Startup program;
    set_message_box_sink([](const std::string &text, const std::string &caption) {
        std::fprintf(stderr, "message box [%s] %s\n", caption.c_str(), text.c_str());
    });

    int status = 0;
    if (only != "station") {
        // quillan-slave, all three framings in one process.
        const std::map<QString, quint16> ports = {
            {"tcp", bench::freePort()}, {"rtutcp", bench::freePort()}, {"udp", bench::freePort()}};
        QProcess slave;
        slave.setReadChannel(QProcess::StandardError);
        slave.start(kSlave, {"--tcp", QString::number(ports.at("tcp")), "--rtu-over-tcp",
                             QString::number(ports.at("rtutcp")), "--udp", QString::number(ports.at("udp"))});
        QByteArray said;
        while (slave.waitForReadyRead(5000) && (said += slave.readAllStandardError()).count("serving") < 3) {
        }
        if (said.count("serving") < 3) {
            std::fprintf(stderr, "quillan-slave did not start: %s\n", said.constData());
            slave.kill();
            slave.waitForFinished(2000);
            return 1;
        }
        std::printf(
            "quillan-slave: reads of 10 registers, %g s per run, %d runs each, medians (requests/s)\n",
            seconds, repeats);
        for (const int k : {1, 4}) {
            const auto m = measure(pid_t(slave.processId()), ports, k, seconds, repeats);
            if (m.at("tcp").rps <= 0 || m.at("udp").rps <= 0 || m.at("rtutcp").rps <= 0)
                status = 1;
            const std::string clients = std::to_string(k) + (k == 1 ? " client" : " clients");
            ratioRow("quillan-slave transports", "--udp / --tcp, " + clients, m.at("udp"), m.at("tcp"), 1.2);
            ratioRow("quillan-slave transports", "--rtu-over-tcp / --tcp, " + clients, m.at("rtutcp"),
                     m.at("tcp"), 0.9);
        }
        slave.terminate();
        if (!slave.waitForFinished(5000))
            slave.kill();
    }
    if (only == "slave")
        return status;

    // The Slave TCP station, Modbus/TCP then RTU over TCP on the same port.
    Form1->openStation(SlaveTcp);
    auto *form = qobject_cast<TSLTCP_Form *>(Form1->station(SlaveTcp));
    if (!form)
        return 1;
    const quint16 port = bench::freePort();
    form->setListenPort(port);
    std::printf("Slave TCP station: the same load, %g s per run, %d runs each, medians (requests/s)\n",
                seconds, repeats);
    for (const int k : {1, 4}) {
        Runs tcp, rtu;
        for (int r = 0; r < repeats; ++r)
            for (const int item : {int(TSLTCP_Form::FramingModbusTcp), int(TSLTCP_Form::FramingRtuOverTcp)}) {
                form->Framing->setCurrentIndex(item);
                form->BitBtn1Click();
                if (!form->serverOpen())
                    return 1;
                QCoreApplication::processEvents();
                const double cpu0 = bench::process_cpu_ms(getpid());
                const double rps =
                    runLoad(port, k, seconds, item == TSLTCP_Form::FramingModbusTcp ? "tcp" : "rtutcp");
                (item == TSLTCP_Form::FramingModbusTcp ? tcp : rtu)
                    .add(rps, bench::process_cpu_ms(getpid()) - cpu0, seconds);
                form->BitBtn2Click();
                QCoreApplication::processEvents();
            }
        const Figures t = tcp.medians(), r = rtu.medians();
        if (t.rps <= 0 || r.rps <= 0)
            status = 1;
        ratioRow("Slave TCP station transports",
                 "RTU over TCP / Modbus/TCP, " + std::to_string(k) + (k == 1 ? " client" : " clients"), r, t,
                 0.9);
    }
    return status;
}

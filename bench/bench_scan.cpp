// The scan for devices over TCP: Master TCP scans units 1 to 247 with a
// 200 ms time-out against a Modbus/TCP server on 127.0.0.1 where only units
// 3, 100 and 200 answer (the others stay silent, as devices missing behind
// a converter do). The whole scan should take the 244 time-outs and little
// more: the figure is its time against 244 x 200 ms.
//
// The server is a thread of this program on plain sockets, so that its own
// cost stays out of the way. The program starts as Quillan does and opens
// the station from the main frame, offscreen.
//
//   bench_scan [--runs N]
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTimer>
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "Bench_station.h"
#include "Bench_util.h"
#include "Modal.h"
#include "Modbus_main.h"
#include "Startup.h"

namespace {

constexpr int kTimeoutMs = 200;
constexpr int kUnits = 247;
const std::vector<uint8_t> kAnswering{3, 100, 200};

// A Modbus/TCP server answering a holding-register read from the units in
// kAnswering, silent to the rest; one client at a time, until stopped.
class SilentServer {
public:
    bool start()
    {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            listen(listener_, 4) != 0 || getsockname(listener_, reinterpret_cast<sockaddr *>(&a), &len) != 0)
            return false;
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { run(); });
        return true;
    }
    ~SilentServer()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (listener_ >= 0)
            close(listener_);
    }
    uint16_t port() const { return port_; }
    long answered() const { return answered_; }

private:
    void run()
    {
        int client = -1;
        std::vector<uint8_t> held;
        while (!stop_) {
            pollfd p{client >= 0 ? client : listener_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            if (client < 0) {
                client = accept(listener_, nullptr, nullptr);
                held.clear();
                continue;
            }
            uint8_t buf[1024];
            const ssize_t n = recv(client, buf, sizeof buf, 0);
            if (n <= 0) {
                close(client);
                client = -1;
                continue;
            }
            held.insert(held.end(), buf, buf + n);
            // Whole requests only: the header's length field says where each ends.
            while (held.size() >= 8 && held.size() >= size_t(6 + (held[4] << 8 | held[5]))) {
                const size_t whole = size_t(6 + (held[4] << 8 | held[5]));
                const uint8_t unit = held[6];
                if (std::find(kAnswering.begin(), kAnswering.end(), unit) != kAnswering.end() && held[7] == 3) {
                    const uint8_t answer[] = {held[0], held[1], 0, 0, 0, 5, unit, 3, 2, 0, unit};
                    if (send(client, answer, sizeof answer, MSG_NOSIGNAL) == ssize_t(sizeof answer))
                        ++answered_;
                }
                held.erase(held.begin(), held.begin() + long(whole));
            }
        }
        if (client >= 0)
            close(client);
    }

    int listener_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<long> answered_{0};
};

struct Scan {
    double ms = 0;
    double cpuMs = 0;
    int found = 0;
};

// One scan through the dialog, as the operator starts it.
Scan scanOnce(QWidget *station)
{
    Scan s;
    set_modal_runner([&s](QDialog *d) {
        d->findChild<QSpinBox *>("FirstUnit")->setValue(1);
        d->findChild<QSpinBox *>("LastUnit")->setValue(kUnits);
        d->findChild<QSpinBox *>("ScanTimeoutMs")->setValue(kTimeoutMs);
        auto *start = d->findChild<QPushButton *>("ScanStart");
        const double cpu0 = bench::thread_cpu_ms();
        const double t0 = bench::now_ms();
        start->click();
        // The event loop runs as in the program; a look every 20 ms ends it
        // with the scan, or at twice the scan's own time at most.
        QEventLoop loop;
        QTimer look;
        QObject::connect(&look, &QTimer::timeout, &loop, [&] {
            if (start->isEnabled() || bench::now_ms() - t0 > 2.0 * kUnits * kTimeoutMs)
                loop.quit();
        });
        look.start(20);
        loop.exec();
        s.ms = bench::now_ms() - t0;
        s.cpuMs = bench::thread_cpu_ms() - cpu0;
        s.found = d->findChild<QTableWidget *>("ScanResults")->rowCount();
        return int(QDialog::Rejected);
    });
    station->findChild<QPushButton *>("ScanUnits")->click();
    set_modal_runner({});
    return s;
}

}  // namespace

int main(int argc, char **argv)
{
    int runs = 1;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--runs")
            runs = std::atoi(argv[++i]);
    runs = std::clamp(runs, 1, 5);

    TApplication app(argc, argv);
    Startup program;

    SilentServer server;
    if (!server.start()) {
        std::fprintf(stderr, "the server did not start\n");
        return 1;
    }
    QWidget *form = bench::openMasterTcp(server.port());
    if (!bench::connectMasterTcp(form))
        return 1;

    const double floor = double(kUnits - int(kAnswering.size())) * kTimeoutMs;
    std::printf("Scan of units 1-%d over TCP, %d ms time-out, %zu units answering: %d run(s)\n", kUnits, kTimeoutMs,
                kAnswering.size(), runs);
    std::vector<double> times, cpus;
    bool allFound = true;
    for (int r = 0; r < runs; ++r) {
        const Scan s = scanOnce(form);
        std::printf("run %d: %.0f ms, %d found, %.0f ms CPU of the window's thread\n", r + 1, s.ms, s.found, s.cpuMs);
        times.push_back(s.ms);
        cpus.push_back(s.cpuMs);
        allFound = allFound && s.found == int(kAnswering.size());
    }
    const double t = bench::median(times);
    const double ratio = t / floor;
    std::printf("median %.0f ms against %.0f ms of time-outs: %.3f; beyond the time-outs %.2f ms per address\n", t,
                floor, ratio, (t - floor) / kUnits);
    bench::row("Scan", "247 units over TCP, 3 answering, 200 ms time-out: time / (244 x 200 ms)",
               bench::fmt("%.1f", t / 1000) + " s / " + bench::fmt("%.1f", floor / 1000) + " s = " +
                   bench::fmt("%.3f", ratio),
               "<= 1.1", ratio <= 1.1 ? "met" : "NOT met");
    bench::row("Scan", "devices found in every run", allFound ? "3 of 3" : "not all", "3 of 3",
               allFound ? "met" : "NOT met");
    bench::row("Scan", "CPU of the window's thread during the scan", bench::fmt("%.0f", bench::median(cpus)) + " ms",
               "-", "-");
    return allFound ? 0 : 1;
}

// quillan-slave as a simulated device, under the load of bench_load:
//  - reads with a map of 1 000 simulated entries against reads without one,
//    and the share of a core the simulation takes while nobody asks;
//  - reads of one of 247 devices of 10 000 entries against one device alone;
//  - code 23 against the libmodbus reference server and pymodbus's server,
//    and code 43/14 against pymodbus's (the reference server has no 43).
// The servers all run at once and take turns under the load; figures are
// medians of the repeats, with 1 and 4 clients.
//
//   bench_device_sim [--seconds S] [--repeats R]
//
// Everything is on 127.0.0.1; every run is bounded in time, every server is
// ended by its PID, the map files go with their folder.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Bench_process.h"

namespace {

const std::string kBin = BENCH_BIN_DIR;
const std::string kSlave = BENCH_SLAVE_PROGRAM;
const std::string kPymodbusServer = BENCH_SOURCE_DIR "/pymodbus_server.py";

struct Server {
    const char *name;
    std::vector<std::string> args;  // after the program and --tcp
    bench::Child child;
    uint16_t port = 0;
};

// 1 000 holding registers 40001-41000, each simulated, the functions taken
// in turn; the readers' blocks (10 registers from 100 * client) lie in them.
std::string simulated_map()
{
    static const char *functions[] = {"\"ramp(0, 1000, 10)\"", "\"sine(-500, 500, 7)\"", "\"random(0, 100)\"",
                                      "step(1)"};
    std::string text = "name,address,format,scale,simulate\n";
    for (int i = 0; i < 1000; ++i)
        text += "v" + std::to_string(i) + "," + std::to_string(40001 + i) + ",Signed,0.1," + functions[i % 4] + "\n";
    return text;
}

double median_rps(Server &s, int clients, double seconds, int repeats, const char *mode, double *cpu = nullptr)
{
    std::vector<double> rps, us;
    for (int r = 0; r < repeats; ++r) {
        const bench::Load l = bench::runLoad(kBin, s.child.pid, s.port, clients, seconds, mode);
        rps.push_back(l.ok ? l.rps : 0);
        us.push_back(l.cpuUsPerRequest);
    }
    if (cpu)
        *cpu = bench::median(us);
    return bench::median(rps);
}

// CPU time of a process's main thread (/proc/PID/schedstat, in ns).
double main_thread_cpu_ms(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/schedstat");
    unsigned long long ns = 0;
    f >> ns;
    return double(ns) / 1e6;
}

std::string ratio_text(double a, double b)
{
    return bench::fmt("%.0f", a) + " / " + bench::fmt("%.0f", b) + " = " + bench::fmt("%.2f", b > 0 ? a / b : 0);
}

}  // namespace

int main(int argc, char **argv)
{
    double seconds = 3;
    int repeats = 3;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc)
            seconds = std::clamp(std::atof(argv[++i]), 0.5, 20.0);
        else if (a == "--repeats" && i + 1 < argc)
            repeats = std::clamp(std::atoi(argv[++i]), 1, 15);
    }
    signal(SIGPIPE, SIG_IGN);
    char dirTemplate[] = "/tmp/bench_device_sim.XXXXXX";
    if (!mkdtemp(dirTemplate))
        return 1;
    const std::string dir = dirTemplate;
    std::ofstream(dir + "/sim.csv") << simulated_map();
    std::ofstream(dir + "/device.csv") << "name,address,initial\nsetpoint,409999,7\n";

    std::vector<std::string> devices = {"--size", "10000"};
    for (int unit = 1; unit <= 247; ++unit)
        devices.insert(devices.end(), {"--device", std::to_string(unit) + "=" + dir + "/device.csv"});
    std::vector<Server> servers = {
        {.name = "plain", .args = {}, .child = {}, .port = 0},
        {.name = "1000 simulated", .args = {"--map", dir + "/sim.csv"}, .child = {}, .port = 0},
        {.name = "one device", .args = {"--size", "10000", "--device", "1=" + dir + "/device.csv"}, .child = {}, .port = 0},
        {.name = "247 devices", .args = devices, .child = {}, .port = 0},
        {.name = "reference", .args = {}, .child = {}, .port = 0},
        {.name = "pymodbus", .args = {}, .child = {}, .port = 0},
    };
    enum { Plain, Simulated, OneDevice, Devices, Reference, Pymodbus };
    for (Server &s : servers) {
        s.port = bench::freePort();
        const std::string port = std::to_string(s.port);
        if (&s == &servers[Reference]) {
            s.child = bench::spawn({kBin + "/bench_ref_server", port, "600"}, bench::Pipe::none);
        } else if (&s == &servers[Pymodbus]) {
            s.child = bench::spawn({"/usr/bin/python3", kPymodbusServer, port, "600"}, bench::Pipe::none);
        } else {
            std::vector<std::string> args = {kSlave, "--tcp", "127.0.0.1:" + port};
            args.insert(args.end(), s.args.begin(), s.args.end());
            s.child = bench::spawn(args, bench::Pipe::none);
        }
    }
    bool ok = true;
    for (Server &s : servers)
        if (!bench::accepting(s.port, 10000)) {
            std::fprintf(stderr, "%s does not accept connections\n", s.name);
            ok = false;
        }
    if (ok) {
        std::printf("quillan-slave as a simulated device: %g s per run, %d runs each, medians\n", seconds, repeats);

        // What the simulation costs while nobody asks: 100 ms ticks of 1 000
        // entries, against the same program without a map. The ticks run
        // in the main thread, whose CPU time the kernel counts in ns.
        const double idleSeconds = std::max(2.0, seconds);
        const double simCpu0 = main_thread_cpu_ms(servers[Simulated].child.pid);
        const double plainCpu0 = main_thread_cpu_ms(servers[Plain].child.pid);
        const double t0 = bench::now_ms();
        usleep(useconds_t(idleSeconds * 1e6));
        const double wall = bench::now_ms() - t0;
        const double simShare = 100 * (main_thread_cpu_ms(servers[Simulated].child.pid) - simCpu0) / wall;
        const double plainShare = 100 * (main_thread_cpu_ms(servers[Plain].child.pid) - plainCpu0) / wall;
        std::printf("idle CPU over %.1f s: %.3f %% of a core with 1000 simulated entries, %.3f %% without\n",
                    wall / 1e3, simShare, plainShare);
        bench::row("6 simulated device", "1000 simulated entries, nobody asking: CPU share of a core (without a map)",
                   bench::fmt("%.3f %%", simShare) + bench::fmt(" (%.3f %%)", plainShare), "< 1 %",
                   simShare < 1 ? "met" : "NOT met");

        for (int k : {1, 4}) {
            const std::string clients = std::to_string(k) + (k > 1 ? " clients" : " client");
            double simUs = 0, plainUs = 0;
            const double sim = median_rps(servers[Simulated], k, seconds, repeats, "read", &simUs);
            const double plain = median_rps(servers[Plain], k, seconds, repeats, "read", &plainUs);
            std::printf("read 10 regs, %s: %.0f req/s with 1000 simulated entries, %.0f without (%.1f / %.1f us "
                        "CPU a request)\n",
                        clients.c_str(), sim, plain, simUs, plainUs);
            bench::row("6 simulated device", "read 10 regs, " + clients + ": req/s with 1000 simulated / without",
                       ratio_text(sim, plain), ">= 0.95", plain > 0 && sim / plain >= 0.95 ? "met" : "NOT met");

            const double many = median_rps(servers[Devices], k, seconds, repeats, "read");
            const double one = median_rps(servers[OneDevice], k, seconds, repeats, "read");
            std::printf("read 10 regs, %s: %.0f req/s from one of 247 devices of 10000 entries, %.0f from one "
                        "alone\n",
                        clients.c_str(), many, one);
            bench::row("6 simulated device", "read 10 regs, " + clients + ": req/s 247 devices / one device",
                       ratio_text(many, one), ">= 0.95", one > 0 && many / one >= 0.95 ? "met" : "NOT met");
        }
        for (int k : {1, 4}) {
            const std::string clients = std::to_string(k) + (k > 1 ? " clients" : " client");
            const double ours = median_rps(servers[Plain], k, seconds, repeats, "rw23");
            const double ref = median_rps(servers[Reference], k, seconds, repeats, "rw23");
            const double py = median_rps(servers[Pymodbus], k, seconds, repeats, "rw23");
            std::printf("code 23 (10 written, 10 read), %s: %.0f req/s, reference %.0f, pymodbus %.0f\n",
                        clients.c_str(), ours, ref, py);
            bench::row("6 simulated device", "code 23, " + clients + ": req/s ours / libmodbus reference",
                       ratio_text(ours, ref), ">= 1.0", ref > 0 && ours / ref >= 1.0 ? "met" : "NOT met");
            bench::row("6 simulated device", "code 23, " + clients + ": req/s ours / pymodbus", ratio_text(ours, py),
                       ">= 2", py > 0 && ours / py >= 2 ? "met" : "NOT met");
            const double id = median_rps(servers[Plain], k, seconds, repeats, "id43");
            const double pyId = median_rps(servers[Pymodbus], k, seconds, repeats, "id43");
            std::printf("code 43/14 (basic objects), %s: %.0f req/s, pymodbus %.0f\n", clients.c_str(), id, pyId);
            bench::row("6 simulated device", "code 43/14, " + clients + ": req/s ours / pymodbus",
                       ratio_text(id, pyId), ">= 2", pyId > 0 && id / pyId >= 2 ? "met" : "NOT met");
        }
    }
    for (Server &s : servers)
        bench::end(s.child);
    std::filesystem::remove_all(dir);
    return ok ? 0 : 1;
}

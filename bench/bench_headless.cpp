// quillan-slave under load, beside the servers test rigs use today: the
// libmodbus reference server (bench_ref_server) and pymodbus's TCP server
// (pymodbus_server.py). The same load generator (bench_load: K libmodbus
// client threads in a closed loop) runs against each in turn, for 10-register
// reads and a write-heavy mix with 1 and 4 clients; figures are medians of
// the repeats. Then 2000 clients connect to quillan-slave at once and each
// makes a few checked requests: all must be served; the program's resident
// memory and the longest wait of any request are printed.
//
//   bench_headless [--seconds S] [--repeats R] [--clients N] [--no-pymodbus]
//
// Everything is on 127.0.0.1; every run is bounded in time, every server is
// ended by its PID.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "Bench_process.h"
#include "Bench_util.h"

namespace {

const std::string kBin = BENCH_BIN_DIR;
const std::string kSlave = BENCH_SLAVE_PROGRAM;
const std::string kPymodbusServer = BENCH_SOURCE_DIR "/pymodbus_server.py";

struct Many {
    int served = 0, wrong = 0;
    double longestMs = 0, elapsedMs = 0, rssMiB = 0;
};

// clients connections at once, each asking in turn for one register (set
// beforehand to 5000 + its number) and checking the answer.
Many manyConnections(pid_t server, uint16_t port, int clients, int rounds)
{
    Many m;
    std::vector<pollfd> fds(static_cast<size_t>(clients));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Registers 0..99 := 5000 + n, by a code-16 request on its own connection.
    {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
            return m;
        // Length field 207: unit, function, start, count, byte count, 200 data bytes.
        std::vector<uint8_t> w = {0, 1, 0, 0, 0, 207, 1, 16, 0, 0, 0, 100, 200};
        for (int i = 0; i < 100; ++i) {
            w.push_back(uint8_t((5000 + i) >> 8));
            w.push_back(uint8_t(5000 + i));
        }
        uint8_t echo[12];
        if (send(fd, w.data(), w.size(), 0) != ssize_t(w.size()) || recv(fd, echo, sizeof echo, MSG_WAITALL) != 12)
            return m;
        close(fd);
    }
    const double t0 = bench::now_ms();
    for (auto &p : fds) {
        p.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        if (p.fd < 0 || (connect(p.fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 && errno != EINPROGRESS)) {
            std::fprintf(stderr, "connection %zu: %s\n", size_t(&p - fds.data()), std::strerror(errno));
            ++m.wrong;
            p.events = 0;
            continue;
        }
        p.events = POLLOUT;
    }
    std::vector<int> done(size_t(clients), 0);
    std::vector<double> askedAt(size_t(clients), -1);
    auto ask = [&](int i) {
        const int reg = i % 100;
        const uint8_t req[] = {uint8_t(i >> 8), uint8_t(i), 0, 0, 0, 6, 1, 3, 0, uint8_t(reg), 0, 1};
        if (send(fds[size_t(i)].fd, req, sizeof req, MSG_NOSIGNAL) == ssize_t(sizeof req))
            askedAt[size_t(i)] = bench::now_ms();
    };
    double rssPeak = 0;
    while (m.served + m.wrong < clients * rounds && bench::now_ms() - t0 < 30000) {
        if (poll(fds.data(), fds.size(), 1000) <= 0)
            continue;
        for (int i = 0; i < clients; ++i) {
            pollfd &p = fds[size_t(i)];
            if ((p.revents & POLLOUT) && askedAt[size_t(i)] < 0) {
                ask(i);
                p.events = POLLIN;
            } else if (p.revents & POLLIN) {
                uint8_t b[64];
                const ssize_t n = recv(p.fd, b, sizeof b, 0);
                const int reg = i % 100;
                const uint8_t want[] = {uint8_t(i >> 8), uint8_t(i), 0, 0, 0, 5, 1, 3, 2,
                                        uint8_t((5000 + reg) >> 8), uint8_t(5000 + reg)};
                if (n != ssize_t(sizeof want) || std::memcmp(b, want, sizeof want) != 0) {
                    ++m.wrong;
                    p.events = 0;
                    continue;
                }
                m.longestMs = std::max(m.longestMs, bench::now_ms() - askedAt[size_t(i)]);
                ++m.served;
                if (++done[size_t(i)] < rounds) {
                    ask(i);
                } else {
                    p.events = 0;
                }
            } else if (p.revents & (POLLERR | POLLHUP)) {
                ++m.wrong;
                p.events = 0;
            }
        }
        if (m.served % 500 == 0)
            rssPeak = std::max(rssPeak, bench::rss_mib(server));
    }
    m.elapsedMs = bench::now_ms() - t0;
    m.rssMiB = std::max(rssPeak, bench::rss_mib(server));  // all connections still open
    for (auto &p : fds)
        close(p.fd);
    return m;
}

struct Series {
    std::vector<double> rps, p99, cpu;
    void add(const bench::Load &l)
    {
        rps.push_back(l.rps);
        p99.push_back(l.p99us);
        cpu.push_back(l.cpuUsPerRequest);
    }
};

}  // namespace

int main(int argc, char **argv)
{
    double seconds = 3;
    int repeats = 3, manyClients = 2000;
    bool pymodbus = true;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc)
            seconds = std::clamp(std::atof(argv[++i]), 0.5, 20.0);
        else if (a == "--repeats" && i + 1 < argc)
            repeats = std::clamp(std::atoi(argv[++i]), 1, 15);
        else if (a == "--clients" && i + 1 < argc)
            manyClients = std::clamp(std::atoi(argv[++i]), 1, 10000);
        else if (a == "--no-pymodbus")
            pymodbus = false;
    }
    signal(SIGPIPE, SIG_IGN);
    // One descriptor per connection here and in quillan-slave (which
    // inherits the limit): raised within the hard limit.
    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    const rlim_t want = rlim_t(manyClients) + 256;
    if (rl.rlim_cur < want) {
        rl.rlim_cur = rl.rlim_max == RLIM_INFINITY ? want : std::min(want, rl.rlim_max);
        setrlimit(RLIMIT_NOFILE, &rl);
    }

    struct Server {
        const char *name;
        bench::Child child;
        uint16_t port;
    };
    std::vector<Server> servers = {{"quillan-slave", {}, bench::freePort()},
                                   {"reference", {}, bench::freePort()}};
    if (pymodbus)
        servers.push_back({"pymodbus", {}, bench::freePort()});
    servers[0].child =
        bench::spawn({kSlave, "--tcp", "127.0.0.1:" + std::to_string(servers[0].port)}, bench::Pipe::none);
    servers[1].child =
        bench::spawn({kBin + "/bench_ref_server", std::to_string(servers[1].port), "600"}, bench::Pipe::none);
    if (pymodbus)
        servers[2].child = bench::spawn(
            {"/usr/bin/python3", kPymodbusServer, std::to_string(servers[2].port), "600"}, bench::Pipe::none);
    bool allOk = true;
    for (Server &s : servers)
        if (!bench::accepting(s.port, 10000)) {
            std::fprintf(stderr, "%s does not accept connections\n", s.name);
            for (Server &t : servers)
                bench::end(t.child);
            return 1;
        }

    std::printf("quillan-slave --tcp: %g s per run, %d runs each, medians; server CPU per request from /proc\n",
                seconds, repeats);
    std::printf("%-5s %-3s %-14s %12s %10s %14s\n", "mode", "K", "server", "requests/s", "p99 ms", "CPU us/request");
    for (const char *mode : {"read", "mix"})
        for (int k : {1, 4}) {
            std::vector<Series> series(servers.size());
            for (int rep = 0; rep < repeats; ++rep)
                for (size_t s = 0; s < servers.size(); ++s) {
                    const bench::Load l =
                        bench::runLoad(kBin, servers[s].child.pid, servers[s].port, k, seconds, mode);
                    if (!l.ok && s == 0)
                        allOk = false;
                    series[s].add(l);
                }
            std::vector<double> rps, p99, cpu;
            for (size_t s = 0; s < servers.size(); ++s) {
                rps.push_back(bench::median(series[s].rps));
                p99.push_back(bench::median(series[s].p99) / 1e3);
                cpu.push_back(bench::median(series[s].cpu));
                std::printf("%-5s %-3d %-14s %12.0f %10.3f %14.1f\n", mode, k, servers[s].name, rps[s], p99[s],
                            cpu[s]);
            }
            const std::string what = std::string(std::strcmp(mode, "read") == 0 ? "read 10 regs" : "write-heavy mix") +
                                     ", " + std::to_string(k) + (k > 1 ? " clients" : " client");
            const double vsRef = rps[1] > 0 ? rps[0] / rps[1] : 0;
            bench::row("2 quillan-slave", what + ": req/s ours / libmodbus reference",
                       bench::fmt("%.0f", rps[0]) + " / " + bench::fmt("%.0f", rps[1]) + " = " +
                           bench::fmt("%.2f", vsRef),
                       ">= 1.2", vsRef >= 1.2 ? "met" : "NOT met");
            std::string p99Text = bench::fmt("%.3f", p99[0]) + " (" + bench::fmt("%.3f", p99[1]);
            if (pymodbus) {
                const double vsPy = rps[2] > 0 ? rps[0] / rps[2] : 0;
                bench::row("2 quillan-slave", what + ": req/s ours / pymodbus",
                           bench::fmt("%.0f", rps[0]) + " / " + bench::fmt("%.0f", rps[2]) + " = " +
                               bench::fmt("%.2f", vsPy),
                           ">= 3", vsPy >= 3 ? "met" : "NOT met");
                p99Text += ", " + bench::fmt("%.3f", p99[2]);
            }
            bench::row("2 quillan-slave",
                       what + (pymodbus ? ": p99 ours (reference, pymodbus)" : ": p99 ours (reference)"),
                       p99Text + ") ms", "-", "-");
            // The load generator shares the machine's cores with the server,
            // which caps every ratio of requests per second; the server's own
            // CPU time per request is what it costs.
            std::string cpuText = bench::fmt("%.1f", cpu[0]) + " (" + bench::fmt("%.1f", cpu[1]);
            if (pymodbus)
                cpuText += ", " + bench::fmt("%.1f", cpu[2]);
            bench::row("2 quillan-slave",
                       what + (pymodbus ? ": server CPU per request ours (reference, pymodbus)"
                                        : ": server CPU per request ours (reference)"),
                       cpuText + ") us", "-", "-");
        }

    const double rssIdle = bench::rss_mib(servers[0].child.pid);
    const Many m = manyConnections(servers[0].child.pid, servers[0].port, manyClients, 3);
    std::printf("%d connections at once, 3 requests each: %d served, %d wrong, in %.0f ms; longest wait %.1f ms; "
                "quillan-slave resident %.1f MiB (%.1f MiB idle)\n",
                manyClients, m.served, m.wrong, m.elapsedMs, m.longestMs, m.rssMiB, rssIdle);
    const bool allServed = m.served == manyClients * 3 && m.wrong == 0;
    if (!allServed)
        allOk = false;
    const std::string many = std::to_string(manyClients) + " connections at once, 3 checked requests each";
    bench::row("2 quillan-slave", many + ": served", bench::fmt("%.0f", m.served) + " of " +
                                                         std::to_string(manyClients * 3),
               "all", allServed ? "met" : "NOT met");
    bench::row("2 quillan-slave", many + ": resident memory, longest wait",
               bench::fmt("%.1f MiB", m.rssMiB) + bench::fmt(" (idle %.1f)", rssIdle) + bench::fmt(", %.1f ms", m.longestMs),
               "printed", "-");

    for (Server &s : servers)
        bench::end(s.child);
    return allOk ? 0 : 1;
}

// quillan-slave: the slave stations' engine and tables without a window, for
// test rigs and CI. See slave_help_text() for the command line.
//
// TCP (Modbus/TCP and RTU over TCP) and UDP are served by one epoll loop per
// core (eight at most), each in a thread of its own; the main thread's loop
// also hears the signals through a signalfd in its epoll set. Each serial
// line has a thread of its own.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "Line_writer.h"
#include "Replaced_file.h"
#include "Serial_serving.h"
#include "Slave_options.h"
#include "Slave_map.h"
#include "Slave_service.h"
#include "Table_csv.h"
#include "Tcp_serving.h"
#include "Traffic_log.h"
#include "Udp_serving.h"

namespace {

int fail(int status, const std::string &text)
{
    std::fprintf(stderr, "quillan-slave: %s\n", text.c_str());
    return status;
}

// After a stop signal: how long the --log lines still queued may take to be
// written, then how long the lines for stderr may wait for room. Together
// they keep the end within two seconds, read or not the output.
constexpr int kLogDrainMs = 500;
constexpr int kStderrWaitMs = 250;

// A --save file is written only on exit: a directory it cannot be written in,
// or a target that cannot be replaced (a directory), is found out now, not
// after the run whose tables it was to keep.
std::string save_problem(const std::string &path)
{
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (access(dir.c_str(), W_OK | X_OK) != 0)
        return "cannot write in " + dir + ": " + std::strerror(errno);
    if (const std::string why = replaceable_problem(path); !why.empty())
        return path + ": " + why;
    return {};
}

// Every connection is a descriptor: at the usual soft limit of 1024 a few
// hundred idle clients would use them up long before the connection bound.
void raise_descriptor_limit()
{
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

// Set by a stop signal, by the end of --duration or by a serving loop that
// failed; every loop watches wake, which is readable from then on.
struct StopFlag {
    int fd = -1;    // the signalfd
    int wake = -1;  // an eventfd
    std::atomic<bool> stop{false};
    std::atomic<int> failure{0};  // errno of a loop's failed epoll_wait

    void set()
    {
        stop = true;
        (void)!eventfd_write(wake, 1);
    }
};

void on_signal(void *user)
{
    auto *s = static_cast<StopFlag *>(user);
    signalfd_siginfo info;
    while (read(s->fd, &info, sizeof info) == ssize_t(sizeof info))
        s->set();
}

void on_wake(void *) {}  // the loops look at the flag

// The simulations' 100 ms tick, from a timer in the main loop's epoll set.
struct SimulationTimer {
    int fd = -1;
    SlaveService *service = nullptr;
};

void on_simulation_tick(void *user)
{
    auto *t = static_cast<SimulationTimer *>(user);
    uint64_t expirations = 0;
    if (read(t->fd, &expirations, sizeof expirations) == ssize_t(sizeof expirations))
        t->service->simulationTick(sim_time_now());
}

// The maps of --map and --device, each checked whole; a bad one ends the
// program at start, as a bad --load does. Every device starts from the
// --load tables.
std::string take_maps(const SlaveOptions &o, const PagedTables &initial, SlaveService &service)
{
    if (!o.mapFile.empty()) {
        SlaveMap map;
        if (std::string problem = load_slave_map(o.mapFile, o.mapFile, map, o.size, "--size"); !problem.empty())
            return "--map: " + problem;
        service.setMap(std::move(map));
    }
    for (const DeviceMapOption &d : o.devices) {
        SlaveMap map;
        if (std::string problem = load_slave_map(d.file, d.file, map, o.size, "--size"); !problem.empty())
            return "--device " + d.given + ": " + problem;
        service.addDevice(d.unit, initial, std::move(map));
    }
    return {};
}

std::string endpoint_text(const std::string &host, uint16_t port)
{
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

// Stops serving, then saves: every serial line is stopped and every
// connection closed before the tables are copied, so each write that was
// answered is in the file and nothing can change them after the copy. Then
// the log is given a bounded time to be written out. The line of counters
// goes to stderr, with the log lines dropped if any; a save that fails is
// told and makes the status 1, as does a failure (a line of its own).
int finish(SlaveService &service, std::vector<std::unique_ptr<TcpServing>> &servings,
           std::vector<std::unique_ptr<UdpServing>> &datagrams, std::vector<std::thread> &loops, StopFlag &stop,
           std::vector<std::unique_ptr<SerialServing>> &lines, TrafficLog &log, const SlaveOptions &o,
           const std::string &failure)
{
    stop.set();
    for (std::thread &t : loops)
        t.join();
    for (auto &line : lines)
        line->stop();
    for (auto &serving : servings)
        serving->closeAll();
    for (auto &d : datagrams)
        d->dropHeld();
    std::string saveProblem;
    if (!o.saveFile.empty())
        saveProblem = save_tables_csv_file(o.saveFile, service.tables());
    const uint64_t dropped = log.close(kLogDrainMs);
    std::string text = "quillan-slave: " + service.stats().label() + "\n";
    if (dropped > 0)
        text += "quillan-slave: --log: " + std::to_string(dropped) + " lines dropped, stdout was not read in time\n";
    if (!saveProblem.empty())
        text += "quillan-slave: --save: " + saveProblem + "\n";
    if (!failure.empty())
        text += "quillan-slave: " + failure + "\n";
    // A stderr nobody reads must not hold up the end either.
    write_within(STDERR_FILENO, text, kStderrWaitMs);
    return saveProblem.empty() && failure.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv)
{
    const SlaveCommand cmd = parse_slave_command(std::vector<std::string>(argv + 1, argv + argc));
    switch (cmd.action) {
    case SlaveCommand::ShowHelp: std::fputs(slave_help_text().c_str(), stdout); return 0;
    case SlaveCommand::ShowVersion: std::fputs(slave_version_text().c_str(), stdout); return 0;
    case SlaveCommand::NoTransport: std::fputs(slave_help_text().c_str(), stderr); return 2;
    case SlaveCommand::Refused: return fail(2, cmd.error);
    case SlaveCommand::Serve: break;
    }
    const SlaveOptions &o = cmd.options;
    // Table files are values of their options: a problem with one is a bad
    // value (status 2), found before anything is opened. Loading is all or
    // nothing; a bad file is named by its first bad line.
    PagedTables initial(o.size);
    if (!o.loadFile.empty())
        if (const std::string problem = load_tables_csv_file(o.loadFile, initial, "--size"); !problem.empty())
            return fail(2, "--load: " + problem);
    if (!o.saveFile.empty())
        if (const std::string problem = save_problem(o.saveFile); !problem.empty())
            return fail(2, "--save: " + problem);

    raise_descriptor_limit();
    // A client or a log reader that goes away must not end the program.
    std::signal(SIGPIPE, SIG_IGN);
    // SIGINT and SIGTERM arrive through a descriptor in the serving loop's
    // epoll set; blocked before any thread starts, so all threads inherit it.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    StopFlag stop;
    stop.fd = signalfd(-1, &stopSignals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (stop.fd < 0)
        return fail(1, "signalfd: " + std::string(std::strerror(errno)));
    stop.wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (stop.wake < 0)
        return fail(1, "eventfd: " + std::string(std::strerror(errno)));

    TrafficLog log(o.log ? STDOUT_FILENO : -1);
    SlaveService service(o, log);
    service.setTables(initial);
    if (const std::string problem = take_maps(o, initial, service); !problem.empty())
        return fail(2, problem);

    // One serving loop per core (eight at most), each in a thread of its own.
    // Whichever loop accepts a connection, the one serving the fewest takes
    // it, so clients are served side by side; they all serve through the one
    // service and its tables. (Two loops per core did worse: a loop with one
    // client sleeps and wakes for each request, one with several takes what
    // arrived together in one wake-up.)
    // While the machine has a core left over for each client, a loop keeps
    // looking for the next request a little before it sleeps (a few clients
    // asking as fast as they can get their answer much sooner); beyond
    // that the clients need the cores themselves, and a loop sleeps at once.
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    const int loopCount = o.anyNetwork() ? int(std::clamp(cores, 1L, 8L)) : 1;
    std::atomic<size_t> connections{0};
    std::atomic<size_t> senders{0};  // of the UDP sockets, lately
    TcpServingLimits limits;
    limits.spinNs = 100000;
    limits.spinConnections = cores > 1 ? size_t(cores - 1) : 0;
    limits.groupConnections = &connections;
    limits.datagramClients = &senders;
    limits.reportSent = o.log;
    limits.idleNs = int64_t(std::llround(o.idleTimeoutS * 1e9));
    std::vector<std::unique_ptr<TcpServing>> servings;
    limits.placeConnection = [&servings]() -> TcpServing * {
        TcpServing *least = nullptr;
        for (const auto &s : servings)
            if (!least || s->load() < least->load())
                least = s.get();
        return least;
    };
    for (int i = 0; i < loopCount; ++i) {
        servings.push_back(std::make_unique<TcpServing>(service, limits));
        TcpServing &s = *servings.back();
        if (!s.ok())
            return fail(1, s.error());
        if (!s.watch(stop.wake, on_wake, nullptr) || (i == 0 && !s.watch(stop.fd, on_signal, &stop)))
            return fail(1, "epoll: " + std::string(std::strerror(errno)));
    }

    SimulationTimer simTimer{.fd = -1, .service = &service};
    if (service.simulated()) {
        service.simulationTick(sim_time_now());
        simTimer.fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        const itimerspec every{.it_interval = {.tv_sec = 0, .tv_nsec = kSimTickMs * 1000000},
                               .it_value = {.tv_sec = 0, .tv_nsec = kSimTickMs * 1000000}};
        if (simTimer.fd < 0 || timerfd_settime(simTimer.fd, 0, &every, nullptr) != 0 ||
            !servings[0]->watch(simTimer.fd, on_simulation_tick, &simTimer))
            return fail(1, "simulation timer: " + std::string(std::strerror(errno)));
    }

    std::vector<std::string> ready;
    struct Listening {
        const std::vector<TcpEndpoint> &endpoints;
        const char *option;
        TcpFraming framing;
        const char *what;
    };
    for (const Listening &kind : {Listening{.endpoints = o.tcp, .option = "--tcp ", .framing = TcpFraming::Mbap,
                                            .what = "Modbus/TCP on "},
                                  Listening{.endpoints = o.rtuOverTcp, .option = "--rtu-over-tcp ",
                                            .framing = TcpFraming::Rtu, .what = "RTU over TCP on "}})
        for (const TcpEndpoint &e : kind.endpoints) {
            std::string reason;
            const bool shared = servings.size() > 1;
            const int l = servings[0]->listen(e.host, e.port, &reason,
                                              shared ? TcpListenShare::Shared : TcpListenShare::Alone, kind.framing);
            if (l < 0)
                return fail(1, kind.option + e.given + ": " + reason);
            const uint16_t port = servings[0]->port(l);
            for (size_t i = 1; i < servings.size(); ++i)
                if (servings[i]->join(*servings[0], l, &reason) < 0)
                    return fail(1, kind.option + e.given + ": " + reason);
            ready.push_back(kind.what + endpoint_text(e.host, port));
        }

    // Every loop serves every UDP address, each through a socket of its own;
    // the system gives a sender's datagrams to one of them.
    std::vector<std::unique_ptr<UdpServing>> datagrams;
    if (!o.udp.empty()) {
        const UdpServingLimits udpLimits{.batch = 32, .delayed = 4096, .reportSent = o.log, .recentSenders = &senders};
        for (size_t i = 0; i < servings.size(); ++i) {
            datagrams.push_back(std::make_unique<UdpServing>(service, udpLimits));
            if (!datagrams.back()->ok())
                return fail(1, datagrams.back()->error());
        }
        for (const TcpEndpoint &e : o.udp) {
            std::string reason;
            const bool shared = datagrams.size() > 1;
            const int b = datagrams[0]->bind(e.host, e.port, &reason, shared ? UdpShare::Shared : UdpShare::Alone);
            if (b < 0)
                return fail(1, "--udp " + e.given + ": " + reason);
            for (size_t i = 1; i < datagrams.size(); ++i)
                if (datagrams[i]->join(*datagrams[0], b, &reason) < 0)
                    return fail(1, "--udp " + e.given + ": " + reason);
            ready.push_back("Modbus/UDP on " + endpoint_text(e.host, datagrams[0]->port(b)));
        }
        for (size_t i = 0; i < datagrams.size(); ++i)
            if (!datagrams[i]->attach(*servings[i]))
                return fail(1, "epoll: " + std::string(std::strerror(errno)));
    }

    // A device given as a path is opened through a port number of the link
    // library that no COMn option uses, pointed at the path.
    std::set<int> usedPorts;
    for (const SerialEndpoint &s : o.serial)
        if (s.comPort)
            usedPorts.insert(s.comPort);
    std::vector<std::unique_ptr<SerialServing>> lines;
    int nextFree = kSlaveComPortMax;
    for (const SerialEndpoint &s : o.serial) {
        const char *option = s.mode == SerialMode::Rtu ? "--rtu " : "--ascii ";
        int port = s.comPort;
        if (!port) {
            while (nextFree > 0 && usedPorts.count(nextFree))
                --nextFree;
            if (nextFree == 0)
                return fail(2, option + s.device + ": more serial lines than the link library's " +
                                   std::to_string(kSlaveComPortMax) + " ports");
            port = nextFree--;
            setenv(("CORVANE_COM" + std::to_string(port)).c_str(), s.device.c_str(), 1);
        }
        auto line = std::make_unique<SerialServing>(service, s, o.line(s.mode), port);
        std::string reason;
        if (!line->open(&reason))
            return fail(1, option + s.device + ": " + reason);
        ready.push_back("Modbus " + line->describe());
        lines.push_back(std::move(line));
    }
    for (const std::string &r : ready)
        std::fprintf(stderr, "quillan-slave: serving %s\n", r.c_str());

    for (auto &line : lines)
        line->start();
    std::vector<std::thread> loops;
    for (size_t i = 1; i < servings.size(); ++i)
        loops.emplace_back([&stop, &s = *servings[i]] {
            while (!stop.stop)
                if (s.poll_once(-1) < 0) {
                    stop.failure = errno;
                    stop.set();
                }
        });

    using Clock = std::chrono::steady_clock;
    const bool timed = o.durationS > 0;
    const Clock::time_point end =
        Clock::now() + std::chrono::microseconds(int64_t(std::llround(o.durationS * 1e6)));
    while (!stop.stop) {
        int timeout = -1;
        if (timed) {
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(end - Clock::now()).count();
            if (left <= 0)
                break;
            timeout = int((left + 999) / 1000);
        }
        if (servings[0]->poll_once(timeout) < 0) {
            stop.failure = errno;
            break;
        }
    }
    const int e = stop.failure;
    return finish(service, servings, datagrams, loops, stop, lines, log, o,
                  e ? "epoll_wait: " + std::string(std::strerror(e)) : std::string());
}

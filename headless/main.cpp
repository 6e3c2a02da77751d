// quillan-slave: the slave stations' engine and tables without a window, for
// test rigs and CI. See slave_help_text() for the command line.
//
// One thread runs the TCP serving loop (epoll) and hears the signals through
// a signalfd in the same epoll set; each serial line has a thread of its own.
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
#include <sys/signalfd.h>
#include <unistd.h>
#include <vector>

#include "Serial_serving.h"
#include "Slave_options.h"
#include "Slave_service.h"
#include "Table_csv.h"
#include "Tcp_serving.h"
#include "Traffic_log.h"

namespace {

int fail(int status, const std::string &text)
{
    std::fprintf(stderr, "quillan-slave: %s\n", text.c_str());
    return status;
}

// A --save file is written only on exit: a directory it cannot be written in
// is found out now, not after the run whose tables it was to keep.
std::string save_problem(const std::string &path)
{
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (access(dir.c_str(), W_OK | X_OK) != 0)
        return "cannot write in " + dir + ": " + std::strerror(errno);
    return {};
}

struct StopFlag {
    int fd = -1;
    bool stop = false;
};

void on_signal(void *user)
{
    auto *s = static_cast<StopFlag *>(user);
    signalfd_siginfo info;
    while (read(s->fd, &info, sizeof info) == ssize_t(sizeof info))
        s->stop = true;
}

std::string endpoint_text(const std::string &host, uint16_t port)
{
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

// Stops serving, then saves: every serial line is stopped and every
// connection closed before the tables are copied, so each write that was
// answered is in the file and nothing can change them after the copy. The
// line of counters goes to stderr; a save that fails is told and makes the
// status 1.
int finish(SlaveService &service, TcpServing &serving, std::vector<std::unique_ptr<SerialServing>> &lines,
           const SlaveOptions &o, int status)
{
    for (auto &line : lines)
        line->stop();
    serving.closeAll();
    std::fprintf(stderr, "quillan-slave: %s\n", service.stats().label().c_str());
    if (!o.saveFile.empty())
        if (const std::string problem = save_tables_csv_file(o.saveFile, service.tables()); !problem.empty())
            return fail(1, "--save: " + problem);
    return status;
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
    SlaveTables initial;
    if (!o.loadFile.empty())
        if (const std::string problem = load_tables_csv_file(o.loadFile, initial); !problem.empty())
            return fail(2, "--load: " + problem);
    if (!o.saveFile.empty())
        if (const std::string problem = save_problem(o.saveFile); !problem.empty())
            return fail(2, "--save: " + problem);

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

    TrafficLog log(o.log ? stdout : nullptr);
    SlaveService service(o, log);
    service.setTables(initial);
    // A core left over for each client: the loop keeps looking for the next
    // request a little before it sleeps (a few clients asking as fast as
    // they can get their answer much sooner). Beyond that the clients need
    // the cores themselves, and the loop sleeps at once.
    TcpServingLimits limits;
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    limits.spinNs = 100000;
    limits.spinConnections = cores > 1 ? size_t(cores - 1) : 0;
    TcpServing serving(service, limits);
    if (!serving.ok())
        return fail(1, serving.error());
    if (!serving.watch(stop.fd, on_signal, &stop))
        return fail(1, "epoll: " + std::string(std::strerror(errno)));

    std::vector<std::string> ready;
    for (const TcpEndpoint &e : o.tcp) {
        std::string reason;
        const int l = serving.listen(e.host, e.port, &reason);
        if (l < 0)
            return fail(1, "--tcp " + e.given + ": " + reason);
        ready.push_back("Modbus/TCP on " + endpoint_text(e.host, serving.port(l)));
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
        if (serving.poll_once(timeout) < 0) {
            const int e = errno;
            finish(service, serving, lines, o, 1);
            return fail(1, "epoll_wait: " + std::string(std::strerror(e)));
        }
    }

    return finish(service, serving, lines, o, 0);
}

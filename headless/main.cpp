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
#include "Tcp_serving.h"
#include "Traffic_log.h"

namespace {

int fail(int status, const std::string &text)
{
    std::fprintf(stderr, "quillan-slave: %s\n", text.c_str());
    return status;
}

// Seam: the options that need the stations' unit filter, fault injection and
// table files are accepted and checked by the parser, and wired here once
// those units are in. Until then they are refused rather than ignored.
std::string not_yet_wired(const SlaveOptions &o)
{
    if (o.units && !o.units->empty())
        return "--unit";
    if (!o.loadFile.empty())
        return "--load";
    if (!o.saveFile.empty())
        return "--save";
    if (o.dropEvery > 0)
        return "--drop-every";
    if (o.forcedException != 0)
        return "--exception";
    if (o.corrupt)
        return "--corrupt";
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
    if (const std::string option = not_yet_wired(o); !option.empty())
        return fail(2, option + ": not available in this build yet");

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
    TcpServing serving(service);
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
        if (serving.poll_once(timeout) < 0)
            return fail(1, "epoll_wait: " + std::string(std::strerror(errno)));
        log.flush();
    }

    for (auto &line : lines)
        line->stop();
    serving.closeAll();
    log.flush();
    std::fprintf(stderr, "quillan-slave: %s\n", slave_counts_text(service.counts()).c_str());
    return 0;
}

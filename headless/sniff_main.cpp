// quillan-sniff: the line monitor without a window. See sniff_help_text()
// for the command line.
//
// One thread: poll() waits for bytes on the line, a stop signal (through a
// signalfd), the moment the monitor has a silence to decide, or the end of
// --duration. The port is opened through the link library as quillan-slave
// opens its lines, and nothing is ever written to it.
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/signalfd.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "Serial_link.h"
#include "Serial_serving.h"
#include "Sniff_options.h"
#include "Sniff_session.h"
#include "Serial_port.h"
#include "Wall_time.h"

namespace {

int fail(int status, const std::string &text)
{
    std::fprintf(stderr, "quillan-sniff: %s\n", text.c_str());
    return status;
}

int64_t monotonic_us()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
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

std::unique_ptr<Traffic_stream> open_stream(Traffic_stream::Format format, const SniffOptions &o,
                                            const std::string &path, std::string *problem)
{
    if (path.empty())
        return nullptr;
    auto s = std::make_unique<Traffic_stream>(
        format, o.device.mode == SerialMode::Rtu ? Traffic_framing::Rtu : Traffic_framing::Ascii, path);
    if (!s->ok())
        *problem = s->error();
    return s;
}

}  // namespace

int main(int argc, char **argv)
{
    const SniffCommand cmd = parse_sniff_command(std::vector<std::string>(argv + 1, argv + argc));
    switch (cmd.action) {
    case SniffCommand::ShowHelp: std::fputs(sniff_help_text().c_str(), stdout); return 0;
    case SniffCommand::ShowVersion: std::fputs(sniff_version_text().c_str(), stdout); return 0;
    case SniffCommand::NoDevice: std::fputs(sniff_help_text().c_str(), stderr); return 2;
    case SniffCommand::Refused: return fail(2, cmd.error);
    case SniffCommand::Listen: break;
    }
    const SniffOptions &o = cmd.options;
    const char *option = o.device.mode == SerialMode::Rtu ? "--rtu " : "--ascii ";
    if (!o.saveFile.empty())
        if (const std::string problem = save_problem(o.saveFile); !problem.empty())
            return fail(2, "--save: " + problem);
    std::string problem;
    const auto pcap = open_stream(Traffic_stream::Format::Pcap, o, o.pcapFile, &problem);
    if (!problem.empty())
        return fail(2, "--pcap: " + problem);
    const auto csv = open_stream(Traffic_stream::Format::Csv, o, o.csvFile, &problem);
    if (!problem.empty())
        return fail(2, "--csv: " + problem);

    // A reader of the log that goes away must not end the program.
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    const int signals = signalfd(-1, &stopSignals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signals < 0)
        return fail(1, "signalfd: " + std::string(std::strerror(errno)));

    // A device given as a path goes through a port number of the link
    // library pointed at it.
    int port = o.device.comPort;
    if (!port) {
        port = kSlaveComPortMax;
        setenv(("CORVANE_COM" + std::to_string(port)).c_str(), o.device.device.c_str(), 1);
    }
    const std::string reason =
        open_serial_port(default_serial_link(), port, o.line.baud, o.line.parity, o.line.dataBits, o.line.stopBits);
    if (!reason.empty())
        return fail(1, option + o.device.device + ": " + reason);
    SerialLink &link = default_serial_link();
    const int fd = link.descriptor(port);
    std::fprintf(stderr, "quillan-sniff: listening to %s on %s (%d %c %d %d)\n",
                 o.device.mode == SerialMode::Rtu ? "RTU" : "ASCII", o.device.device.c_str(), o.line.baud,
                 o.line.parity, o.line.dataBits, o.line.stopBits);

    SniffSession session(o, o.printsHistory() ? stdout : nullptr, pcap.get(), csv.get(), monotonic_us(),
                         wall_clock_ms());
    const int64_t end = o.durationS > 0 ? monotonic_us() + int64_t(std::llround(o.durationS * 1e6)) : -1;
    std::vector<uint8_t> buf(4096);
    bool streamFailed = false;
    for (;;) {
        int64_t now = monotonic_us();
        if (end >= 0 && now >= end)
            break;
        int64_t wake = session.wakeAtUs();
        if (end >= 0 && (wake < 0 || end < wake))
            wake = end;
        const int timeout = wake < 0 ? -1 : int(std::min<int64_t>((std::max<int64_t>(wake - now, 0) + 999) / 1000, 60000));
        pollfd fds[2] = {{.fd = fd, .events = POLLIN, .revents = 0}, {.fd = signals, .events = POLLIN, .revents = 0}};
        if (poll(fds, 2, timeout) < 0 && errno != EINTR)
            return fail(1, "poll: " + std::string(std::strerror(errno)));
        if (fds[1].revents & POLLIN)
            break;
        size_t got = 0;
        // A few reads per wake-up: a line that never stops still lets the
        // signals and the clock be looked at.
        for (int i = 0; i < 16 && (fds[0].revents & POLLIN); ++i) {
            const int32_t n = link.read(port, buf.data(), int32_t(buf.size()));
            if (n <= 0)
                break;
            session.feed(buf.data(), size_t(n), monotonic_us());
            got += size_t(n);
            if (size_t(n) < buf.size())
                break;
        }
        // A line that hung up (a pseudo-terminal with nobody at the other
        // end) stays readable: do not spin on it.
        if (got == 0 && (fds[0].revents & (POLLHUP | POLLERR)))
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        session.idle(monotonic_us());
        for (const auto *s : {pcap.get(), csv.get()})
            if (s && !s->ok() && !streamFailed) {
                streamFailed = true;
                fail(1, s->error());
            }
    }
    session.finish();
    link.close(port);
    const std::string summary = session.summary();
    for (size_t at = 0, nl; (nl = summary.find('\n', at)) != std::string::npos; at = nl + 1)
        std::fprintf(stderr, "quillan-sniff: %s\n", summary.substr(at, nl - at).c_str());
    int status = streamFailed ? 1 : 0;
    for (const auto *s : {pcap.get(), csv.get()})
        if (s && !s->ok() && !streamFailed)
            status = fail(1, s->error());
    if (!o.saveFile.empty())
        if (const std::string p = session.save(o.saveFile); !p.empty())
            status = fail(1, "--save: " + p);
    return status;
}

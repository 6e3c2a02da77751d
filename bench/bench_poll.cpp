// quillan-poll beside the command-line masters of today, against the
// libmodbus reference server (bench_ref_server) on 127.0.0.1:
//  - one-shot: process start to exit of `--read 40001:10`, and of mbpoll's
//    `-1` run of the same read, taking turns, median of the runs;
//  - polling: `--interval 0 --polls 20000` as reads per second (process start
//    to exit), beside mbpoll at its fastest poll rate and a libmodbus client
//    calling modbus_read_registers back to back;
//  - RTU over a socat pty pair at 115200 with quillan-slave answering: the
//    time per exchange beside the line time of request and answer;
//  - memory: a night's polls at 10 Hz (288 000) at interval 0, the resident
//    size early and late in the run.
//
//   bench_poll [--runs N] [--repeats R]
//
// Every run is bounded in count and time; every process is ended by its PID.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <modbus.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "Bench_libmodbus.h"
#include "Bench_process.h"
#include "Bench_util.h"

namespace {

const std::string kBin = BENCH_BIN_DIR;
const std::string kPoll = BENCH_POLL_PROGRAM;
const std::string kSlave = BENCH_SLAVE_PROGRAM;
constexpr int kRegisters = 10;
constexpr int kPolls = 20000;

// Starts args (a path, or a program found on $PATH), its standard error
// kept out of the figures unless it is what is read.
bench::Child start(const std::vector<std::string> &args, bench::Pipe onPipe = bench::Pipe::none)
{
    return bench::spawn(args, onPipe, bench::Errors::discard);
}

// Reads c's output until it holds text or ms pass.
bool wait_for_text(const bench::Child &c, const char *text, int ms, std::string *all = nullptr)
{
    std::string got;
    const bool found = bench::readOutput(c, got, bench::now_ms() + ms, [text](const std::string &out) {
        return out.find(text) != std::string::npos;
    });
    if (found && all)
        *all = got;
    return found;
}

// Process start to exit, in ms; -1 when it failed or ran past 60 s. cpuMs,
// when given, gets the CPU time (user and system) the process used.
double run_ms(const std::vector<std::string> &args, double *cpuMs = nullptr)
{
    const double t0 = bench::now_ms();
    bench::Child c = start(args);
    int status = 0;
    for (;;) {
        rusage ru{};
        const pid_t r = wait4(c.pid, &status, WNOHANG, &ru);
        if (r == c.pid) {
            if (cpuMs)
                *cpuMs = double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 +
                         double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
            break;
        }
        if (bench::now_ms() - t0 > 60000) {
            bench::end(c);
            return -1;
        }
        usleep(100);
    }
    const double ms = bench::now_ms() - t0;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ms : -1;
}

// mbpoll polling as fast as it lets itself (a poll rate of 10 ms) for
// seconds: polls per second, from the values it printed.
double mbpoll_rate(uint16_t port, double seconds)
{
    bench::Child c = start({"mbpoll", "-m", "tcp", "-a", "1", "-r", "1", "-c", std::to_string(kRegisters),
                            "-t", "4", "-l", "10", "-p", std::to_string(port), "127.0.0.1"},
                           bench::Pipe::out);
    std::string out;
    const double t0 = bench::now_ms();
    bench::readOutput(c, out, t0 + seconds * 1e3);
    const double elapsed = bench::now_ms() - t0;
    bench::end(c);
    size_t polls = 0;
    for (size_t at = out.find("\n[1]:"); at != std::string::npos; at = out.find("\n[1]:", at + 1))
        ++polls;
    return double(polls) * 1e3 / elapsed;
}

// A libmodbus client reading back to back: reads per second; cpuMs gets
// the CPU time the loop used.
double libmodbus_rate(uint16_t port, double &cpuMs)
{
    modbus_t *ctx = bench::libmodbusClient(port);
    if (!ctx)
        return 0;
    uint16_t regs[kRegisters];
    int ok = 0;
    const double t0 = bench::now_ms(), cpu0 = bench::thread_cpu_ms();
    for (int i = 0; i < kPolls; ++i)
        ok += modbus_read_registers(ctx, 0, kRegisters, regs) == kRegisters;
    const double elapsed = bench::now_ms() - t0;
    cpuMs = bench::thread_cpu_ms() - cpu0;
    modbus_close(ctx);
    modbus_free(ctx);
    return ok == kPolls ? kPolls * 1e3 / elapsed : 0;
}

std::string fmt(double v, int decimals = 0)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

}  // namespace

int main(int argc, char **argv)
{
    int runs = 50, repeats = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--runs"))
            runs = std::max(1, std::min(200, std::atoi(argv[i + 1])));
        else if (!std::strcmp(argv[i], "--repeats"))
            repeats = std::max(1, std::min(9, std::atoi(argv[i + 1])));
    }
    signal(SIGPIPE, SIG_IGN);
    int failures = 0;

    const uint16_t port = bench::freePort();
    bench::Child server = start({kBin + "/bench_ref_server", std::to_string(port), "300"}, bench::Pipe::out);
    if (!wait_for_text(server, "ready", 5000)) {
        std::fprintf(stderr, "the reference server did not start\n");
        bench::end(server);
        return 1;
    }
    const std::string target = "127.0.0.1:" + std::to_string(port);

    // One-shot reads, taking turns.
    std::vector<double> ours, theirs;
    for (int i = 0; i < runs; ++i) {
        const double a = run_ms({kPoll, "--tcp", target, "--read", "40001:10"});
        const double b = run_ms({"mbpoll", "-1", "-m", "tcp", "-a", "1", "-r", "1", "-c", "10", "-t", "4", "-p",
                                 std::to_string(port), "127.0.0.1"});
        if (a < 0 || b < 0)
            ++failures;
        else {
            ours.push_back(a);
            theirs.push_back(b);
        }
    }
    const double oneOurs = bench::median(ours), oneTheirs = bench::median(theirs);
    std::printf("one-shot --read 40001:10, start to exit, median of %zu: quillan-poll %.2f ms, mbpoll -1 %.2f ms\n",
                ours.size(), oneOurs, oneTheirs);
    bench::row("quillan-poll", "one-shot read of 10 registers, start to exit (median of " + std::to_string(runs) + ")",
               fmt(oneOurs, 2) + " ms vs mbpoll " + fmt(oneTheirs, 2) + " ms (" + fmt(oneOurs / oneTheirs, 2) + " x)",
               "<= 1.0 x mbpoll", oneOurs <= oneTheirs ? "met" : "missed");

    // Polling as fast as each goes, taking turns; on a busy machine the
    // ratio of each pair of turns says more than rates taken apart, and the
    // CPU time per read more than either.
    std::vector<double> rate, lib, mb, ratio, cpuOurs, cpuLib;
    for (int i = 0; i < repeats; ++i) {
        double cpu = 0, libCpu = 0;
        const double ms = run_ms({kPoll, "--tcp", target, "--read", "40001:10", "--interval", "0", "--polls",
                                  std::to_string(kPolls)},
                                 &cpu);
        const double l = libmodbus_rate(port, libCpu);
        if (ms < 0 || l <= 0) {
            ++failures;
            continue;
        }
        rate.push_back(kPolls * 1e3 / ms);
        lib.push_back(l);
        ratio.push_back(rate.back() / l);
        cpuOurs.push_back(cpu * 1e3 / kPolls);
        cpuLib.push_back(libCpu * 1e3 / kPolls);
    }
    for (int i = 0; i < std::min(repeats, 3); ++i)
        mb.push_back(mbpoll_rate(port, 2.0));
    const double r = bench::median(rate), l = bench::median(lib), m = bench::median(mb), q = bench::median(ratio);
    std::printf("polling 10 registers, %d polls: quillan-poll %.0f reads/s (start to exit), libmodbus loop %.0f "
                "(ratio of the pairs %.2f); CPU per read %.1f us against %.1f us; mbpoll at -l 10 %.0f\n",
                kPolls, r, l, q, bench::median(cpuOurs), bench::median(cpuLib), m);
    bench::row("quillan-poll", "--interval 0 --polls 20000: reads/s, start to exit (median of pairs)",
               fmt(r) + " vs libmodbus loop " + fmt(l) + " (" + fmt(q, 2) + " x), mbpoll " + fmt(m) + " (" +
                   fmt(r / m, 0) + " x); CPU per read " + fmt(bench::median(cpuOurs), 1) + " us vs " +
                   fmt(bench::median(cpuLib), 1) + " us",
               ">= 1.0 x libmodbus, >= 1.2 x mbpoll", q >= 1.0 && r >= 1.2 * m ? "met" : "missed");

    // A night's polls at 10 Hz, at interval 0: resident size early and late.
    {
        const double t0 = bench::now_ms();
        bench::Child c = start({kPoll, "--tcp", target, "--read", "40001:10", "--interval", "0", "--polls",
                                "288000", "--duration", "120"});
        double early = 0, late = 0;
        int status = 0;
        while (waitpid(c.pid, &status, WNOHANG) != c.pid && bench::now_ms() - t0 < 125000) {
            const double rss = bench::rss_mib(c.pid);
            if (early == 0 && bench::now_ms() - t0 > 1000)
                early = rss;
            if (rss > 0)
                late = rss;
            usleep(100000);
        }
        c.pid = -1;
        const double s = (bench::now_ms() - t0) / 1e3;
        std::printf("288 000 polls in %.1f s: resident %.2f MiB after 1 s, %.2f MiB at the end\n", s, early, late);
        bench::row("quillan-poll", "a night at 10 Hz (288 000 polls at interval 0, " + fmt(s, 1) + " s): resident size",
                   fmt(early, 2) + " MiB after 1 s, " + fmt(late, 2) + " MiB at the end", "does not grow",
                   late <= early + 0.1 ? "met" : "missed");
    }
    bench::end(server);

    // RTU over a pty pair at 115200 against quillan-slave.
    {
        char dir[] = "/tmp/bench_poll_XXXXXX";
        if (mkdtemp(dir)) {
            const std::string a = std::string(dir) + "/ttyA", b = std::string(dir) + "/ttyB";
            bench::Child socat = start({"socat", "pty,raw,echo=0,link=" + a, "pty,raw,echo=0,link=" + b});
            struct stat st {};
            for (int i = 0; i < 250 && (stat(a.c_str(), &st) != 0 || stat(b.c_str(), &st) != 0); ++i)
                usleep(20000);
            bench::Child slave = start({kSlave, "--rtu", b, "--baud", "115200"});
            usleep(500000);
            constexpr int kSerialPolls = 500;
            std::vector<double> per, device;
            for (int i = 0; i < repeats; ++i) {
                // The counters on stderr give the device's part: from the end
                // of the request to the answer's last byte, on average.
                const double t0 = bench::now_ms();
                bench::Child c = start({kPoll, "--rtu", a, "--baud", "115200", "--read", "40001:10",
                                        "--interval", "0", "--polls", std::to_string(kSerialPolls)},
                                       bench::Pipe::err);
                std::string counters;
                const bool done = wait_for_text(c, " max ", 60000, &counters);
                const double ms = bench::now_ms() - t0;
                bench::end(c);
                const size_t avg = counters.find("avg ");
                if (!done || avg == std::string::npos) {
                    ++failures;
                    continue;
                }
                per.push_back(ms / kSerialPolls);
                device.push_back(std::atof(counters.c_str() + avg + 4));
            }
            bench::end(slave);
            bench::end(socat);
            unlink(a.c_str());
            unlink(b.c_str());
            rmdir(dir);
            // 8 bytes out, 25 back, 10 bits a character.
            const double line = (8 + 5 + 2 * kRegisters) * 10 * 1e3 / 115200.0;
            const double each = bench::median(per), answer = bench::median(device);
            // On a pty the bytes take no line time; what is not the device's
            // answer time is quillan-poll's own.
            const double own = each - answer;
            std::printf("RTU at 115200 over a pty: %.2f ms an exchange, of which quillan-slave takes %.0f ms to "
                        "answer; quillan-poll's own part %.2f ms; line time %.2f ms\n",
                        each, answer, own, line);
            bench::row("quillan-poll", "RTU read of 10 registers at 115200 over a pty, quillan-slave answering",
                       fmt(each, 2) + " ms an exchange, " + fmt(answer) + " ms of it the slave's answer time; own part " +
                           fmt(own, 2) + " ms",
                       "own part <= line time + 2 ms = " + fmt(line + 2, 2) + " ms",
                       own <= line + 2 ? "met" : "missed");
        }
    }
    return failures ? 1 : 0;
}

// The line monitor on a busy RTU line at 115 200 baud (10 bits a character):
// requests and their answers back to back, each frame followed by the
// minimum silence (1.75 ms). The traffic mixes codes 1, 2, 3, 4, 5, 6, 15 and
// 16 of three units, with random addresses, counts and values, and an
// exception answer now and then.
//
//  1. Through a pty, the way a USB adapter delivers a line: quillan-sniff
//     listens (--log to /dev/null, so it formats every line) while this
//     program writes the traffic into the other end in chunks of 1 to 64
//     bytes, each chunk when its last byte would have arrived on the line
//     (a chunk may span a silence, merging two frames). Counted: frames
//     found, noise bytes, and quillan-sniff's CPU time over the run as a
//     share of one core.
//  2. All silences removed: the same traffic fed to the monitor directly in
//     chunks of 1 to 64 bytes, every chunk at the same instant, so that
//     only lengths and CRCs can split it. Counted: frames found whole and
//     with their role, and how many frames a second the monitor splits,
//     against the line's own frame rate.
//
//   bench_line_monitor [--seconds S]   (default 10 s on the pty)
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <set>
#include <signal.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "Bench_util.h"
#include "Line_monitor.h"
#include "corvane.h"

namespace {

constexpr int kBaud = 115200;
constexpr double kCharUs = 10.0 * 1e6 / kBaud;
constexpr double kGapUs = 1750;

struct Sent {
    std::vector<uint8_t> bytes;
    bool request;
};

std::vector<uint8_t> with_crc(std::vector<uint8_t> b)
{
    uint8_t crc[2];
    CRC_check(b.data(), int32_t(b.size()), crc);
    b.push_back(crc[0]);
    b.push_back(crc[1]);
    return b;
}

void put16(std::vector<uint8_t> &b, unsigned v)
{
    b.push_back(uint8_t(v >> 8));
    b.push_back(uint8_t(v));
}

// Request and answer pairs, in line order.
std::vector<Sent> make_traffic(size_t pairs, uint32_t seed)
{
    std::mt19937 r(seed);
    static const uint8_t codes[] = {1, 2, 3, 4, 5, 6, 15, 16};
    std::vector<Sent> out;
    for (size_t i = 0; i < pairs; ++i) {
        const uint8_t unit = uint8_t(1 + r() % 3), fn = codes[r() % 8];
        const unsigned address = r() % 1000;
        std::vector<uint8_t> rq{unit, fn}, an{unit, fn};
        put16(rq, address);
        unsigned count = 1;
        switch (fn) {
        case 1: case 2:
            count = 1 + r() % 64;
            put16(rq, count);
            an.push_back(uint8_t((count + 7) / 8));
            for (unsigned k = 0; k < (count + 7) / 8; ++k)
                an.push_back(uint8_t(r()));
            break;
        case 3: case 4:
            count = 1 + r() % 20;
            put16(rq, count);
            an.push_back(uint8_t(2 * count));
            for (unsigned k = 0; k < count; ++k)
                put16(an, r() & 0xFFFF);
            break;
        case 5: case 6:
            put16(rq, fn == 5 ? (r() % 2 ? 0xFF00 : 0) : r() & 0xFFFF);
            an = rq;
            break;
        case 15: case 16:
            count = fn == 15 ? 1 + r() % 32 : 1 + r() % 10;
            put16(rq, count);
            const unsigned bytes = fn == 15 ? (count + 7) / 8 : 2 * count;
            rq.push_back(uint8_t(bytes));
            for (unsigned k = 0; k < bytes; ++k)
                rq.push_back(uint8_t(r()));
            put16(an, address);
            put16(an, count);
            break;
        }
        if (r() % 20 == 0)
            an = {unit, uint8_t(fn | 0x80), 2};
        out.push_back({with_crc(rq), true});
        out.push_back({with_crc(an), false});
    }
    return out;
}

// The line's schedule: when each byte has arrived, in microseconds from the start.
std::vector<double> arrival_times(const std::vector<Sent> &traffic, std::vector<uint8_t> &stream)
{
    std::vector<double> at;
    double t = 0;
    for (const Sent &s : traffic) {
        for (uint8_t b : s.bytes) {
            t += kCharUs;
            stream.push_back(b);
            at.push_back(t);
        }
        t += kGapUs;
    }
    return at;
}

double line_frames_per_s(const std::vector<Sent> &traffic)
{
    double us = 0;
    for (const Sent &s : traffic)
        us += double(s.bytes.size()) * kCharUs + kGapUs;
    return double(traffic.size()) / (us / 1e6);
}

void sleep_until_us(std::chrono::steady_clock::time_point start, double us)
{
    std::this_thread::sleep_until(start + std::chrono::microseconds(int64_t(us)));
}

struct PtyRun {
    size_t sent = 0;
    long frames = -1, noise = -1, requests = -1;
    double cpu_pct = 0, seconds = 0;
};

PtyRun through_pty(double seconds)
{
    PtyRun run;
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("posix_openpt");
        return run;
    }
    const std::string device = ptsname(master);
    {   // raw, so the line discipline passes every byte as it is
        const int slave = open(device.c_str(), O_RDWR | O_NOCTTY);
        termios t;
        tcgetattr(slave, &t);
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
        close(slave);
    }
    int err[2];
    if (pipe(err) != 0)
        return run;
    const std::string duration = std::to_string(seconds + 1.0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(err[1], 2);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        execl(BENCH_SNIFF_PROGRAM, "quillan-sniff", "--rtu", device.c_str(), "--baud", "115200", "--log",
              "--duration", duration.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(err[1]);
    std::string text;
    char buf[4096];
    bool closed = false;  // the program has ended: its stderr is at its end
    auto read_err = [&](int ms) {
        pollfd p{.fd = err[0], .events = POLLIN, .revents = 0};
        if (!closed && poll(&p, 1, ms) > 0) {
            const ssize_t n = read(err[0], buf, sizeof buf);
            if (n > 0)
                text.append(buf, size_t(n));
            closed = n == 0;
        }
    };
    for (int i = 0; i < 100 && !closed && text.find("listening") == std::string::npos; ++i)
        read_err(100);

    // Enough traffic for the run; the writer stops at the end of it.
    const std::vector<Sent> traffic = make_traffic(size_t(seconds * 200) + 100, 11);
    std::vector<uint8_t> stream;
    const std::vector<double> at = arrival_times(traffic, stream);
    // Whole frames only: the last one ends within the run.
    size_t end = 0;
    for (const Sent &s : traffic) {
        if (at[end + s.bytes.size() - 1] >= seconds * 1e6)
            break;
        end += s.bytes.size();
        ++run.sent;
    }
    std::mt19937 r(5);
    const auto start = std::chrono::steady_clock::now();
    size_t i = 0;
    while (i < end) {
        const size_t n = std::min<size_t>(1 + r() % 64, end - i);
        sleep_until_us(start, at[i + n - 1]);
        for (size_t done = 0; done < n;) {
            const ssize_t w = write(master, stream.data() + i + done, n - done);
            if (w > 0)
                done += size_t(w);
            else if (errno != EINTR && errno != EAGAIN)
                break;
        }
        i += n;
    }
    // It ends by itself (--duration); its stderr closes then.
    for (int k = 0; k < 150 && !closed; ++k)
        read_err(200);
    if (!closed)
        kill(pid, SIGKILL);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    close(err[0]);
    close(master);
    run.seconds = seconds + 1.0;
    const double cpu_s = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    run.cpu_pct = 100.0 * cpu_s / run.seconds;
    if (const size_t p = text.find("frames "); p != std::string::npos)
        std::sscanf(text.c_str() + p, "frames %ld, requests %ld, answers %*d, exceptions %*d, CRC errors %*d, "
                                      "unanswered %*d, noise bytes %ld",
                    &run.frames, &run.requests, &run.noise);
    std::fprintf(stderr, "%s", text.c_str());
    return run;
}

struct MergedRun {
    size_t sent = 0, whole = 0, roles = 0;
    double frames_per_s = 0;
};

MergedRun merged(size_t pairs)
{
    const std::vector<Sent> traffic = make_traffic(pairs, 23);
    std::vector<uint8_t> stream;
    std::set<std::pair<size_t, size_t>> starts;  // offset and length of each frame sent
    for (const Sent &s : traffic) {
        starts.insert({stream.size(), s.bytes.size()});
        stream.insert(stream.end(), s.bytes.begin(), s.bytes.end());
    }
    std::vector<std::pair<size_t, bool>> roles;  // offset, request
    for (size_t k = 0, off = 0; k < traffic.size(); off += traffic[k++].bytes.size())
        roles.push_back({off, traffic[k].request});
    MergedRun run;
    run.sent = traffic.size();
    size_t offset = 0, index = 0;
    Line_monitor monitor(
        {.framing = Line_framing::Rtu, .baud = kBaud, .bits_per_char = 10},
        [&](const Monitor_frame &f) {
            if (starts.count({offset, f.bytes.size()})) {
                ++run.whole;
                while (index < roles.size() && roles[index].first < offset)
                    ++index;
                if (index < roles.size() && roles[index].first == offset &&
                    roles[index].second == (f.role == Monitor_role::Request))
                    ++run.roles;
            }
            offset += f.bytes.size();
        },
        [&](const Monitor_noise &n) { offset += n.bytes.size(); });
    std::mt19937 r(9);
    const double t0 = bench::thread_cpu_ms();
    for (size_t i = 0; i < stream.size();) {
        const size_t n = std::min<size_t>(1 + r() % 64, stream.size() - i);
        monitor.feed(stream.data() + i, n, 0);
        i += n;
    }
    monitor.flush();
    const double ms = bench::thread_cpu_ms() - t0;
    run.frames_per_s = ms > 0 ? double(run.sent) / (ms / 1000) : 0;
    return run;
}

}  // namespace

int main(int argc, char **argv)
{
    double seconds = 10;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::max(1.0, std::atof(argv[++i]));
    const double line_rate = line_frames_per_s(make_traffic(20000, 11));
    std::printf("line at %d baud, minimum silences: %.0f frames/s\n", kBaud, line_rate);

    const PtyRun p = through_pty(seconds);
    std::printf("pty, chunks of 1-64 bytes: %zu frames written, %ld found, %ld noise bytes, quillan-sniff %.2f %% "
                "of a core over %.1f s\n",
                p.sent, p.frames, p.noise, p.cpu_pct, p.seconds);
    const bool allFound = p.frames == long(p.sent) && p.noise == 0;
    std::printf("ROW|Line monitor|pty at 115 200 baud, chunks 1-64: frames found / written, noise bytes|%ld / %zu, "
                "%ld|all, 0|%s\n",
                p.frames, p.sent, p.noise, allFound ? "met" : "NOT met");
    std::printf("ROW|Line monitor|quillan-sniff CPU, --log, same line (%.0f frames/s)|%.2f %% of a core|under 5 %%|%s\n",
                line_rate, p.cpu_pct, p.cpu_pct < 5 ? "met" : "NOT met");

    const MergedRun m = merged(50000);
    const double pct = 100.0 * double(m.whole) / double(m.sent);
    std::printf("no silences, chunks of 1-64 bytes: %zu frames, %zu found whole (%.3f %%), %zu with their role; "
                "%.0f frames/s split, %.0f times the line's rate\n",
                m.sent, m.whole, pct, m.roles, m.frames_per_s, m.frames_per_s / line_rate);
    std::printf("ROW|Line monitor|no silences: frames found by length and CRC|%.3f %% (%zu of %zu)|at least 99 %%|%s\n",
                pct, m.whole, m.sent, pct >= 99 ? "met" : "NOT met");
    std::printf("ROW|Line monitor|no silences: splitting rate against the line's %.0f frames/s|%.0f frames/s (%.0fx)|"
                "above the line's rate|%s\n",
                line_rate, m.frames_per_s, m.frames_per_s / line_rate, m.frames_per_s > line_rate ? "met" : "NOT met");
    return allFound && pct >= 99 ? 0 : 1;
}

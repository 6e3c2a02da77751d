// Servers, peers and the load generator as child processes, for the
// benchmarks that run other programs: start one (one of its outputs on a pipe
// when asked for), read that output for a bounded time, end it by its PID,
// find a free loopback port, wait until a port accepts, and run bench_load
// once against a server, reading its result line and the server's CPU time
// per request.
#pragma once

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "Bench_util.h"

namespace bench {

// A child process, one of its outputs on a pipe when asked for.
struct Child {
    pid_t pid = -1;
    int out = -1;
};

// Which of a child's outputs comes back on Child::out. Standard output goes
// to /dev/null when it does not.
enum class Pipe { none, out, err };
// What becomes of a child's standard error when it is not on the pipe.
enum class Errors { inherit, discard };

// Starts args: a path, or a program found on $PATH.
inline Child spawn(const std::vector<std::string> &args, Pipe onPipe, Errors errors = Errors::inherit)
{
    int fds[2] = {-1, -1};
    if (onPipe != Pipe::none && pipe(fds) != 0)
        return {};
    Child c;
    c.pid = fork();
    if (c.pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(onPipe == Pipe::out ? fds[1] : null, 1);
        if (onPipe == Pipe::err)
            dup2(fds[1], 2);
        else if (errors == Errors::discard)
            dup2(null, 2);
        if (onPipe != Pipe::none) {
            close(fds[0]);
            close(fds[1]);
        }
        std::vector<char *> argv;
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    if (onPipe != Pipe::none) {
        close(fds[1]);
        c.out = fds[0];
    }
    return c;
}

inline void end(Child &c)
{
    if (c.pid <= 0)
        return;
    kill(c.pid, SIGTERM);
    for (int i = 0; i < 300; ++i) {
        if (waitpid(c.pid, nullptr, WNOHANG) == c.pid) {
            c.pid = -1;
            break;
        }
        usleep(10000);
    }
    if (c.pid > 0) {
        kill(c.pid, SIGKILL);
        waitpid(c.pid, nullptr, 0);
        c.pid = -1;
    }
    if (c.out >= 0)
        close(c.out);
    c.out = -1;
}

// Appends what c writes on its pipe to out until it closes the pipe, the
// clock passes untilMs (of now_ms()), or done(out) holds; true when done
// held.
inline bool readOutput(const Child &c, std::string &out, double untilMs,
                       const std::function<bool(const std::string &)> &done = {})
{
    for (;;) {
        const int left = int(untilMs - now_ms());
        if (left <= 0)
            return false;
        pollfd p{c.out, POLLIN, 0};
        if (poll(&p, 1, std::min(left, 50)) <= 0)
            continue;
        char buf[65536];
        const ssize_t n = read(c.out, buf, sizeof buf);
        if (n <= 0)
            return false;
        out.append(buf, size_t(n));
        if (done && done(out))
            return true;
    }
}

// A loopback port nobody listens on now; 0 when none could be had.
inline uint16_t freePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

inline bool accepting(uint16_t port, int ms)
{
    const double end = now_ms() + ms;
    while (now_ms() < end) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
        close(fd);
        if (ok)
            return true;
        usleep(20000);
    }
    return false;
}

struct Load {
    bool ok = false;
    double rps = 0, p99us = 0;
    double cpuUsPerRequest = 0;  // the server's
};

// bench_load (in binDir) against the server on port.
inline Load runLoad(const std::string &binDir, pid_t server, uint16_t port, int clients, double seconds,
                    const char *mode)
{
    Load r;
    const double cpu0 = process_cpu_ms(server);
    Child c = spawn({binDir + "/bench_load", std::to_string(port), std::to_string(clients),
                     std::to_string(seconds), mode},
                    Pipe::out);
    if (c.pid <= 0)
        return r;
    std::string out;
    readOutput(c, out, now_ms() + (seconds + 20) * 1000);
    int status = 0;
    bool exited = false;
    for (int i = 0; i < 500 && !exited; ++i) {  // it closed its output; its end follows
        exited = waitpid(c.pid, &status, WNOHANG) == c.pid;
        if (!exited)
            usleep(10000);
    }
    if (!exited) {
        end(c);
        std::fprintf(stderr, "bench_load did not finish\n");
        return r;
    }
    close(c.out);
    long requests = 0, errors = 0, mismatches = 0;
    unsigned p99 = 0;
    const char *res = std::strstr(out.c_str(), "RESULT ");
    if (!res || std::sscanf(res, "RESULT clients=%*d mode=%*s requests=%ld seconds=%*f rps=%lf p50_us=%*u p99_us=%u "
                                 "errors=%ld mismatches=%ld",
                            &requests, &r.rps, &p99, &errors, &mismatches) != 5) {
        std::fprintf(stderr, "bench_load said: %s\n", out.c_str());
        return r;
    }
    r.p99us = p99;
    r.cpuUsPerRequest = requests > 0 ? (process_cpu_ms(server) - cpu0) * 1000.0 / double(requests) : 0;
    r.ok = errors == 0 && mismatches == 0;
    if (!r.ok)
        std::fprintf(stderr, "port %u, %s K=%d: %ld errors, %ld mismatches\n", port, mode, clients, errors, mismatches);
    return r;
}

}  // namespace bench

#include "Poll_wait.h"

#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t g_stop = 0;
int g_wake[2] = {-1, -1};  // the stop signals' pipe: read end, write end

void on_stop(int)
{
    g_stop = 1;
    if (g_wake[1] >= 0) {
        const char byte = 1;
        (void)!write(g_wake[1], &byte, 1);  // a full pipe already wakes every wait
    }
}

}  // namespace

void install_stop_signals()
{
    if (g_wake[0] < 0 && pipe2(g_wake, O_NONBLOCK | O_CLOEXEC) != 0)
        g_wake[0] = g_wake[1] = -1;  // the flag alone: a signal may then wait for the wait's end
    struct sigaction sa = {};
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a write stuck on a full pipe returns
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

bool stop_requested() { return g_stop != 0; }

Wait_result wait_for(int fd, short events, int ms)
{
    if (g_stop)
        return Wait_result::Stopped;
    pollfd p[2] = {{fd, events, 0}, {g_wake[0], POLLIN, 0}};
    const int r = poll(p, 2, ms);
    if (g_stop)
        return Wait_result::Stopped;
    return r > 0 && (p[0].revents != 0) ? Wait_result::Ready : Wait_result::TimedOut;
}

int64_t monotonic_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

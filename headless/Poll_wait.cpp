#include "Poll_wait.h"

#include <csignal>
#include <ctime>
#include <poll.h>

namespace {

volatile sig_atomic_t g_stop = 0;
sigset_t g_waitMask;  // the mask while waiting: the stop signals let in

void on_stop(int) { g_stop = 1; }

}  // namespace

void install_stop_signals()
{
    struct sigaction sa = {};
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop, &g_waitMask);
    sigdelset(&g_waitMask, SIGINT);
    sigdelset(&g_waitMask, SIGTERM);
}

bool stop_requested() { return g_stop != 0; }

Wait_result wait_for(int fd, short events, int ms)
{
    if (g_stop)
        return Wait_result::Stopped;
    pollfd p = {fd, events, 0};
    timespec ts = {ms / 1000, long(ms % 1000) * 1000000L};
    const int r = ppoll(fd >= 0 ? &p : nullptr, fd >= 0 ? 1 : 0, ms < 0 ? nullptr : &ts, &g_waitMask);
    if (g_stop)
        return Wait_result::Stopped;
    return r > 0 ? Wait_result::Ready : Wait_result::TimedOut;
}

int64_t monotonic_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

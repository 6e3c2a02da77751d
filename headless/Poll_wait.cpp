#include "Poll_wait.h"

#include <csignal>
#include <ctime>
#include <poll.h>

namespace {

volatile sig_atomic_t g_stop = 0;
sigset_t g_stopSignals;

void on_stop(int) { g_stop = 1; }

}  // namespace

void install_stop_signals()
{
    sigemptyset(&g_stopSignals);
    sigaddset(&g_stopSignals, SIGINT);
    sigaddset(&g_stopSignals, SIGTERM);
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
    sigset_t outside;
    sigprocmask(SIG_BLOCK, &g_stopSignals, &outside);
    if (g_stop) {
        sigprocmask(SIG_SETMASK, &outside, nullptr);
        return Wait_result::Stopped;
    }
    sigset_t during = outside;
    sigdelset(&during, SIGINT);
    sigdelset(&during, SIGTERM);
    pollfd p = {fd, events, 0};
    timespec ts = {ms / 1000, long(ms % 1000) * 1000000L};
    const int r = ppoll(fd >= 0 ? &p : nullptr, fd >= 0 ? 1 : 0, ms < 0 ? nullptr : &ts, &during);
    sigprocmask(SIG_SETMASK, &outside, nullptr);
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

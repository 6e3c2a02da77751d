// The waits of quillan-poll, cut short by SIGINT and SIGTERM. The two
// signals are blocked except while it waits (ppoll lets them in), so that
// none can arrive between a look at the stop flag and the wait, where it
// would be missed until the wait ends by itself.
#pragma once

#include <cstdint>

// Blocks SIGINT and SIGTERM and lets each set the stop flag.
void install_stop_signals();
bool stop_requested();

enum class Wait_result { Ready, TimedOut, Stopped };
// Waits until fd is ready for events (POLLIN, POLLOUT), ms pass (-1: no
// limit; fd -1: only the time), or a stop signal comes.
Wait_result wait_for(int fd, short events, int ms);

// Milliseconds of the monotonic clock.
int64_t monotonic_ms();

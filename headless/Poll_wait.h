// The waits of quillan-poll, cut short by SIGINT and SIGTERM. A stop signal
// sets a flag and writes a byte into a pipe that every wait watches beside
// its own descriptor, so a signal that comes between a look at the flag and
// the wait still ends the wait at once. The signals are never blocked: one
// that comes while the output is stuck (a pipe nobody reads) interrupts the
// write instead of waiting behind it.
#pragma once

#include <cstdint>

// Lets SIGINT and SIGTERM set the stop flag (interrupting, not restarting,
// a system call they arrive in).
void install_stop_signals();
bool stop_requested();

enum class Wait_result { Ready, TimedOut, Stopped };
// Waits until fd is ready for events (POLLIN, POLLOUT), ms pass (-1: no
// limit; fd -1: only the time), or a stop signal comes.
Wait_result wait_for(int fd, short events, int ms);

// Milliseconds of the monotonic clock.
int64_t monotonic_ms();

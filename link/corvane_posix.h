/*
 * The thin POSIX layer under the serial functions: device open and locking,
 * line settings, bounded waits, queue counts, modem lines and the clock.
 * Internal to the library (hidden symbols); every function reports by its
 * result and never shows anything.
 */
#ifndef CORVANE_POSIX_H
#define CORVANE_POSIX_H

#include <stdint.h>

/* Line settings as the caller asked for them. */
struct cvp_line {
    int32_t baud;      /* bits per second */
    char parity;       /* 'N', 'O' or 'E'; any other character: none */
    int32_t databits;  /* 7 or 8; any other value: 8 */
    int32_t stopbits;  /* 2; any other value: one */
    int32_t handshake; /* 1: RTS/CTS and XON/XOFF both ways; else none */
};

/* Opens an existing device for reading and writing, non-blocking, without
 * becoming its controlling terminal, and takes it for exclusive use (a second
 * open, from this or another process, fails). The descriptor or -1. */
int cvp_open_exclusive(const char *path);

/* Applies the line settings in raw mode. 0 applied, -1 refused. A
 * pseudo-terminal has no physical line: settings it cannot take (7 data
 * bits, parity) count as applied there. */
int cvp_configure(int fd, const struct cvp_line *line);

/* Puts the descriptor in the state the bounded reads and writes need
 * (non-blocking). 0 done, -1 refused. */
int cvp_prepare_waits(int fd);

/* Raises (on != 0) or drops DTR, then RTS. Results are not reported: a
 * pseudo-terminal has no modem lines. */
void cvp_modem_lines(int fd, int on);

/* Reads one byte, waiting at most wait_ms for it. The byte (0..255) or -1. */
int cvp_read_byte(int fd, int wait_ms);

/* Writes up to n bytes, waiting at most wait_ms in all for the device to take
 * them. The count written (possibly short), or -1 when the write failed
 * before anything went out. */
int32_t cvp_write_bounded(int fd, const void *buf, int32_t n, int64_t wait_ms);

/* Number of bytes in the input queue, or -1. */
int32_t cvp_queued(int fd);

/* Reads at most n bytes that are already there; never waits. Count or -1. */
int32_t cvp_read_now(int fd, void *buf, int32_t n);

/* Discards both queues. */
void cvp_flush(int fd);

/* Releases the descriptor (and with it the exclusive lock). */
void cvp_close(int fd);

/* Suspends the calling thread for ms milliseconds (none when ms <= 0). */
void cvp_sleep_ms(int64_t ms);

/* Local time broken down. 0 done, -1 failed. */
struct cvp_local_time {
    int year, month, day, hour, minute, second, msec, dayofweek;
};
int cvp_local_now(struct cvp_local_time *t);

/* Sets the system clock to a local date and time (milliseconds 0).
 * 0 accepted, -1 refused (invalid date or no permission). */
int cvp_set_local(int year, int month, int day, int hour, int minute, int second);

#endif /* CORVANE_POSIX_H */

/* Serial ports, the clock and the library's message boxes. */
#include "corvane.h"
#include "corvane_posix.h"

#include <stdio.h>
#include <stdlib.h>

/* ---- message boxes ------------------------------------------------------ */

static corvane_message_handler message_handler;
static void *message_user;

void corvane_set_message_handler(corvane_message_handler handler, void *user)
{
    message_handler = handler;
    message_user = user;
}

static void message_box(const char *text, const char *caption)
{
    if (message_handler)
        message_handler(text, caption, message_user);
    else
        fprintf(stderr, "[%s] %s\n", caption, text);
}

/* A message with the device name ("COM3:") put in for %s. */
static void port_message_box(const char *format, int32_t port, const char *caption)
{
    char device[24], text[96];
    snprintf(device, sizeof device, "COM%d:", (int)port);
    snprintf(text, sizeof text, format, device);
    message_box(text, caption);
}

#define CAPTION_PORT "RS232C SUB."
#define CAPTION_MODEM "Modem Comm."

/* ---- port handle table -------------------------------------------------- */

#define PORT_SLOTS 14

/* Descriptor of the device while port n is open, -1 while it is closed. */
static int port_fd[PORT_SLOTS] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};

static int port_in_range(int32_t port)
{
    return port >= 0 && port < PORT_SLOTS;
}

/* The descriptor of an open port, or -1 (closed, or no such port). */
static int open_fd(int32_t port)
{
    return port_in_range(port) ? port_fd[port] : -1;
}

/* Port n is the device named by $CORVANE_COMn, or /dev/ttyS<n-1>. */
static const char *device_path(int32_t port, char *buf, size_t size)
{
    char name[32];
    snprintf(name, sizeof name, "CORVANE_COM%d", (int)port);
    const char *env = getenv(name);
    if (env && *env)
        return env;
    snprintf(buf, size, "/dev/ttyS%d", (int)port - 1);
    return buf;
}

/* Read time-outs: a one-byte read waits at most 1 ms per byte plus 2 ms.
 * Write time-outs: 1 ms per byte plus 2 ms. */
enum { READ_MS_PER_BYTE = 1, READ_MS_CONSTANT = 2, WRITE_MS_PER_BYTE = 1, WRITE_MS_CONSTANT = 2 };

/* ---- opening and closing ------------------------------------------------ */

int32_t seropen(int32_t port, int32_t baud, char parity, int32_t databits, int32_t stopbits,
                int32_t handshake)
{
    /* A port number outside the table, or a port this program already holds,
     * cannot be opened (again). */
    if (!port_in_range(port) || port_fd[port] >= 0) {
        port_message_box("Unable to open port %s", port, CAPTION_PORT);
        return 0;
    }

    char path_buf[32];
    const char *path = device_path(port, path_buf, sizeof path_buf);
    int fd = cvp_open_exclusive(path);
    if (fd < 0) {
        port_message_box("Unable to open port %s", port, CAPTION_PORT);
        return 0;
    }

    struct cvp_line line = {baud, parity, databits, stopbits, handshake};
    if (cvp_configure(fd, &line) != 0) {
        cvp_close(fd);
        port_message_box("Unable to configure the serial port %s", port, CAPTION_PORT);
        return 0;
    }
    if (cvp_prepare_waits(fd) != 0) {
        cvp_close(fd);
        port_message_box("Unable to set the time-out parameters %s", port, CAPTION_MODEM);
        return 0;
    }

    cvp_modem_lines(fd, 1);
    port_fd[port] = fd;
    return 1;
}

int32_t serclose(int32_t port)
{
    if (!port_in_range(port))
        return 0;
    int fd = port_fd[port];
    if (fd < 0) {
        message_box("Port is already close", CAPTION_PORT);
        return 0;
    }
    cvp_modem_lines(fd, 0);
    cvp_sleep_ms(100);
    cvp_close(fd);
    port_fd[port] = -1;
    return 1;
}

/* ---- transfers ---------------------------------------------------------- */

int32_t serwrite(int32_t port, const void *buf, int32_t n)
{
    int fd = open_fd(port);
    if (fd < 0 || !buf || n <= 0)
        return 0;
    int32_t written = cvp_write_bounded(fd, buf, n, (int64_t)n * WRITE_MS_PER_BYTE + WRITE_MS_CONSTANT);
    return written < 0 ? 0 : written;
}

int32_t sersend(int32_t port, int32_t byte)
{
    int fd = open_fd(port);
    if (fd < 0)
        return 1;
    unsigned char b = (unsigned char)(byte & 0xFF);
    /* Like one write call: a time-out is not a failure, only an error is. */
    return cvp_write_bounded(fd, &b, 1, WRITE_MS_PER_BYTE + WRITE_MS_CONSTANT) < 0 ? 1 : 0;
}

int16_t serrecv(int32_t port)
{
    int fd = open_fd(port);
    if (fd < 0)
        return -1;
    return (int16_t)cvp_read_byte(fd, READ_MS_PER_BYTE + READ_MS_CONSTANT);
}

int32_t serread(int32_t port, void *buf, int32_t size)
{
    int fd = open_fd(port);
    if (fd < 0 || !buf || size <= 0)
        return 0;
    int32_t n = cvp_read_now(fd, buf, size);
    return n < 0 ? 0 : n;
}

void serflush(int32_t port)
{
    int fd = open_fd(port);
    if (fd >= 0)
        cvp_flush(fd);
}

int32_t serloc(int32_t port)
{
    int fd = open_fd(port);
    if (fd < 0)
        return 0;
    int32_t n = cvp_queued(fd);
    return n < 0 ? 0 : n;
}

int32_t serfd(int32_t port)
{
    return open_fd(port);
}

/* ---- time --------------------------------------------------------------- */

int32_t tsleep(int32_t ms)
{
    cvp_sleep_ms(ms);
    return 0;
}

int32_t get_date_time(int16_t *year, int16_t *month, int16_t *day, int16_t *hour, int16_t *minute,
                      int16_t *second, int16_t *msec, int16_t *dayofweek)
{
    struct cvp_local_time t = {0, 0, 0, 0, 0, 0, 0, 0};
    cvp_local_now(&t);
    int16_t *fields[8] = {year, month, day, hour, minute, second, msec, dayofweek};
    int values[8] = {t.year, t.month, t.day, t.hour, t.minute, t.second, t.msec, t.dayofweek};
    for (int i = 0; i < 8; ++i)
        if (fields[i])
            *fields[i] = (int16_t)values[i];
    return 0;
}

/* 0 when the clock was set, -1 when the system refused the date and time. */
int32_t set_date_time(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute, int32_t second)
{
    return cvp_set_local((int16_t)year, (int16_t)month, (int16_t)day, (int16_t)hour, (int16_t)minute,
                         (int16_t)second);
}

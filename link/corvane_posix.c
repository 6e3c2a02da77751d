/* POSIX side of the serial functions: termios, poll, ioctl and the clock. */
#include "corvane_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

/* ---- clock helpers ------------------------------------------------------ */

static int64_t monotonic_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

/* Milliseconds left until deadline (ns), rounded up; 0 when it has passed. */
static int ms_left(int64_t deadline_ns)
{
    int64_t left = deadline_ns - monotonic_ns();
    if (left <= 0)
        return 0;
    int64_t ms = (left + 999999) / 1000000;
    return ms > 0x7FFFFFFF ? 0x7FFFFFFF : (int)ms;
}

/* Waits until fd is ready for events or the deadline passes.
 * 1 ready, 0 timed out, -1 error or hang-up without the wanted event. */
static int wait_ready(int fd, short events, int64_t deadline_ns)
{
    for (;;) {
        int ms = ms_left(deadline_ns);
        if (ms == 0)
            return 0;
        struct pollfd p = {fd, events, 0};
        int r = poll(&p, 1, ms);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (r == 0)
            return 0;
        if (p.revents & events)
            return 1;
        return -1; /* POLLERR, POLLHUP or POLLNVAL alone */
    }
}

/* ---- opening ------------------------------------------------------------ */

int cvp_open_exclusive(const char *path)
{
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    /* The advisory lock keeps out every other open that goes through this
     * library (and root, whom TIOCEXCL does not stop). */
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR)
            continue;
        close(fd);
        return -1;
    }
    /* Other programs opening the terminal get EBUSY. Fails harmlessly on a
     * device that is not a terminal; configuring refuses that one. */
    (void)ioctl(fd, TIOCEXCL);
    return fd;
}

/* ---- line settings ------------------------------------------------------ */

static speed_t baud_constant(int32_t baud)
{
    static const struct {
        int32_t baud;
        speed_t speed;
    } table[] = {
        {50, B50},           {75, B75},           {110, B110},         {134, B134},
        {150, B150},         {200, B200},         {300, B300},         {600, B600},
        {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
        {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
        {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
        {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
        {3500000, B3500000}, {4000000, B4000000},
    };
    for (size_t i = 0; i < sizeof table / sizeof table[0]; ++i)
        if (table[i].baud == baud)
            return table[i].speed;
    return B0;
}

/* Does the descriptor refer to a pseudo-terminal? The kernel's own list of
 * terminal drivers names the major numbers of the pty drivers; without it,
 * the Unix98 pty slave majors 136..143 are taken. */
static int is_pty(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return 0;
    unsigned maj = major(st.st_rdev);
    unsigned min = minor(st.st_rdev);

    FILE *f = fopen("/proc/tty/drivers", "re");
    if (!f)
        return maj >= 136 && maj <= 143;
    int found = 0;
    char line[256];
    while (!found && fgets(line, sizeof line, f)) {
        unsigned m = 0, lo = 0, hi = 0;
        char range[64], type[64];
        if (sscanf(line, "%*s %*s %u %63s %63s", &m, range, type) != 3)
            continue;
        if (m != maj || strncmp(type, "pty:", 4) != 0)
            continue;
        int k = sscanf(range, "%u-%u", &lo, &hi);
        if (k == 1)
            hi = lo;
        if (k >= 1 && min >= lo && min <= hi)
            found = 1;
    }
    fclose(f);
    return found;
}

static int set_attr(int fd, const struct termios *t)
{
    int r;
    do
        r = tcsetattr(fd, TCSANOW, t);
    while (r != 0 && errno == EINTR);
    return r;
}

#define LINE_BITS (CSIZE | PARENB | PARODD | CSTOPB)

int cvp_configure(int fd, const struct cvp_line *line)
{
    speed_t speed = baud_constant(line->baud);
    if (speed == B0)
        return -1;

    struct termios t;
    if (tcgetattr(fd, &t) != 0)
        return -1; /* not a terminal */

    cfmakeraw(&t);
    /* Bytes with a parity error are passed on as received (no INPCK), no
     * flow control unless asked for, and the modem status lines do not stop
     * reception. */
    t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | IGNPAR | PARMRK | ISTRIP);
    t.c_cflag &= ~(LINE_BITS | CRTSCTS);
    t.c_cflag |= (line->databits == 7 ? CS7 : CS8) | CLOCAL | CREAD;
    if (line->parity == 'O')
        t.c_cflag |= PARENB | PARODD;
    else if (line->parity == 'E')
        t.c_cflag |= PARENB;
    if (line->stopbits == 2)
        t.c_cflag |= CSTOPB;
    if (line->handshake == 1) {
        t.c_cflag |= CRTSCTS;
        t.c_iflag |= IXON | IXOFF;
        t.c_cc[VSTART] = 0x11;
        t.c_cc[VSTOP] = 0x13;
    }
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);

    int pty = is_pty(fd);
    if (set_attr(fd, &t) != 0) {
        if (!pty)
            return -1;
        /* A pty keeps its own character size and parity and may refuse a
         * request that differs from them; ask again with its own values so
         * that the raw mode, speed and flow control still go through. There
         * is no line, so the rest counts as applied. */
        struct termios now;
        if (tcgetattr(fd, &now) == 0) {
            t.c_cflag = (t.c_cflag & ~(CSIZE | PARENB | PARODD)) | (now.c_cflag & (CSIZE | PARENB | PARODD));
            (void)set_attr(fd, &t);
        }
        return 0;
    }
    if (pty)
        return 0;

    /* tcsetattr succeeds when any part of the request was taken: check that
     * the device really runs with the character format and speed asked. */
    struct termios now;
    if (tcgetattr(fd, &now) != 0)
        return -1;
    if ((now.c_cflag & LINE_BITS) != (t.c_cflag & LINE_BITS) || cfgetospeed(&now) != speed ||
        cfgetispeed(&now) != speed)
        return -1;
    return 0;
}

int cvp_prepare_waits(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        return -1;
    if (!(flags & O_NONBLOCK) && fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
        return -1;
    return 0;
}

void cvp_modem_lines(int fd, int on)
{
    unsigned long request = on ? TIOCMBIS : TIOCMBIC;
    int dtr = TIOCM_DTR, rts = TIOCM_RTS;
    (void)ioctl(fd, request, &dtr);
    (void)ioctl(fd, request, &rts);
}

/* ---- transfers ---------------------------------------------------------- */

int cvp_read_byte(int fd, int wait_ms)
{
    int64_t deadline = monotonic_ns() + (int64_t)wait_ms * 1000000;
    for (;;) {
        unsigned char b;
        ssize_t r = read(fd, &b, 1);
        if (r == 1)
            return b;
        if (r < 0 && errno == EINTR)
            continue;
        if (r == 0 || errno != EAGAIN)
            return -1; /* hang-up or error */
        if (wait_ready(fd, POLLIN, deadline) != 1)
            return -1;
    }
}

int32_t cvp_write_bounded(int fd, const void *buf, int32_t n, int64_t wait_ms)
{
    const unsigned char *p = buf;
    int64_t deadline = monotonic_ns() + wait_ms * 1000000;
    int32_t done = 0;
    while (done < n) {
        ssize_t w = write(fd, p + done, (size_t)(n - done));
        if (w > 0) {
            done += (int32_t)w;
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && errno != EAGAIN)
            return done > 0 ? done : -1;
        int r = wait_ready(fd, POLLOUT, deadline);
        if (r == 0)
            break; /* time is up: a short write */
        if (r < 0)
            return done > 0 ? done : -1;
    }
    return done;
}

int32_t cvp_queued(int fd)
{
    int n = 0;
    if (ioctl(fd, FIONREAD, &n) != 0)
        return -1;
    return n;
}

int32_t cvp_read_now(int fd, void *buf, int32_t n)
{
    int32_t queued = cvp_queued(fd);
    if (queued <= 0)
        return queued;
    if (queued > n)
        queued = n;
    for (;;) {
        ssize_t r = read(fd, buf, (size_t)queued);
        if (r >= 0)
            return (int32_t)r;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN ? 0 : -1;
    }
}

void cvp_flush(int fd)
{
    (void)tcflush(fd, TCIOFLUSH);
}

void cvp_close(int fd)
{
    (void)ioctl(fd, TIOCNXCL);
    close(fd);
}

/* ---- clock -------------------------------------------------------------- */

void cvp_sleep_ms(int64_t ms)
{
    if (ms <= 0)
        return;
    struct timespec req = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L}, rem;
    while (nanosleep(&req, &rem) != 0 && errno == EINTR)
        req = rem;
}

int cvp_local_now(struct cvp_local_time *out)
{
    struct timespec ts;
    struct tm tm;
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0 || !localtime_r(&ts.tv_sec, &tm))
        return -1;
    out->year = tm.tm_year + 1900;
    out->month = tm.tm_mon + 1;
    out->day = tm.tm_mday;
    out->hour = tm.tm_hour;
    out->minute = tm.tm_min;
    out->second = tm.tm_sec;
    out->msec = (int)(ts.tv_nsec / 1000000);
    out->dayofweek = tm.tm_wday;
    return 0;
}

static int days_in_month(int year, int month)
{
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

int cvp_set_local(int year, int month, int day, int hour, int minute, int second)
{
    /* The date must name a real local time; mktime would quietly roll an
     * impossible one over into the next month or day. */
    if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) || hour < 0 || hour > 23 ||
        minute < 0 || minute > 59 || second < 0 || second > 59)
        return -1;
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    time_t t = mktime(&tm);
    if (t == (time_t)-1)
        return -1;
    struct timespec ts = {t, 0};
    return clock_settime(CLOCK_REALTIME, &ts) == 0 ? 0 : -1;
}

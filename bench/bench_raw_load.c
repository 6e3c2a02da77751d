/* Load generator for the three network framings of a Modbus server on
 * 127.0.0.1, on plain sockets (libmodbus has no RTU over TCP and no UDP):
 * K client threads, one socket each, in a closed loop for a fixed time.
 *
 *   bench_raw_load PORT CLIENTS SECONDS tcp|rtutcp|udp
 *
 * Each request reads 10 holding registers (code 3) from 100 * client, unit
 * 1: a Modbus/TCP message on a TCP connection (tcp), an RTU frame on a TCP
 * connection (rtutcp), a Modbus/TCP message in a UDP datagram (udp). The
 * answer must be the 25-byte (TCP, UDP: 29 with the header) answer to it,
 * with the right transaction id or CRC; anything else counts as an error.
 * Prints one line:
 *   RESULT clients=K mode=M requests=N seconds=S rps=R p50_us=A p99_us=B errors=E
 * Bounded: SECONDS is capped at 30, each thread at 2 million requests, and
 * every wait for an answer at 2 s. */
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define MAX_CLIENTS 16
#define MAX_REQUESTS 2000000
#define BLOCK 10

enum mode { TCP, RTUTCP, UDP };

struct client {
    int index;
    int port;
    double seconds;
    enum mode mode;
    uint32_t *lat_us;
    long n;
    long errors;
};

static double now_s(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static uint16_t crc16(const uint8_t *p, size_t n)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int b = 0; b < 8; ++b)
            crc = (crc & 1) ? (uint16_t)((crc >> 1) ^ 0xA001) : (uint16_t)(crc >> 1);
    }
    return crc;
}

static int open_socket(const struct client *c)
{
    const int fd = socket(AF_INET, c->mode == UDP ? SOCK_DGRAM : SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)c->port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    /* UDP too: a connected datagram socket sends with send() and takes
     * answers from the server only. */
    if (connect(fd, (struct sockaddr *)&a, sizeof a) != 0) {
        close(fd);
        return -1;
    }
    const int one = 1;
    if (c->mode != UDP)
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

/* Reads until n bytes came (a stream) or one datagram came; 2 s at most. */
static ssize_t receive(int fd, uint8_t *buf, size_t n, int datagram)
{
    size_t got = 0;
    while (got < n) {
        struct pollfd p = {.fd = fd, .events = POLLIN, .revents = 0};
        if (poll(&p, 1, 2000) <= 0)
            return -1;
        const ssize_t r = recv(fd, buf + got, datagram ? 512 : n - got, 0);
        if (r <= 0)
            return -1;
        if (datagram)
            return r;
        got += (size_t)r;
    }
    return (ssize_t)got;
}

static void *run(void *arg)
{
    struct client *c = arg;
    const int fd = open_socket(c);
    if (fd < 0) {
        c->errors = 1;
        return NULL;
    }
    const uint16_t start = (uint16_t)(100 * c->index);
    uint8_t req[16], ans[512];
    uint16_t tid = 0;
    const double end = now_s() + c->seconds;
    while (c->n < MAX_REQUESTS) {
        const double t0 = now_s();
        if (t0 >= end)
            break;
        size_t reqLen, ansLen;
        ++tid;
        if (c->mode == RTUTCP) {
            const uint8_t pdu[6] = {1, 3, (uint8_t)(start >> 8), (uint8_t)start, 0, BLOCK};
            memcpy(req, pdu, 6);
            const uint16_t crc = crc16(req, 6);
            req[6] = (uint8_t)crc;
            req[7] = (uint8_t)(crc >> 8);
            reqLen = 8;
            ansLen = 3 + 2 * BLOCK + 2;
        } else {
            const uint8_t msg[12] = {(uint8_t)(tid >> 8), (uint8_t)tid, 0, 0, 0, 6, 1, 3,
                                     (uint8_t)(start >> 8), (uint8_t)start, 0, BLOCK};
            memcpy(req, msg, 12);
            reqLen = 12;
            ansLen = 7 + 2 + 2 * BLOCK;
        }
        if (send(fd, req, reqLen, MSG_NOSIGNAL) != (ssize_t)reqLen) {
            ++c->errors;
            break;
        }
        const ssize_t r = receive(fd, ans, ansLen, c->mode == UDP);
        if (r != (ssize_t)ansLen) {
            ++c->errors;
            if (c->mode != UDP)
                break; /* the stream is out of step: stop this client */
            continue;
        }
        int ok;
        if (c->mode == RTUTCP) {
            const uint16_t crc = crc16(ans, ansLen - 2);
            ok = ans[1] == 3 && ans[ansLen - 2] == (uint8_t)crc && ans[ansLen - 1] == (uint8_t)(crc >> 8);
        } else {
            ok = ans[0] == (uint8_t)(tid >> 8) && ans[1] == (uint8_t)tid && ans[7] == 3;
        }
        if (!ok)
            ++c->errors;
        c->lat_us[c->n++] = (uint32_t)((now_s() - t0) * 1e6);
    }
    close(fd);
    return NULL;
}

static int cmp_u32(const void *a, const void *b)
{
    const uint32_t x = *(const uint32_t *)a, y = *(const uint32_t *)b;
    return x < y ? -1 : x > y;
}

int main(int argc, char **argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: bench_raw_load PORT CLIENTS SECONDS tcp|rtutcp|udp\n");
        return 2;
    }
    const int port = atoi(argv[1]);
    int k = atoi(argv[2]);
    double seconds = atof(argv[3]);
    const char *m = argv[4];
    enum mode mode;
    if (strcmp(m, "tcp") == 0)
        mode = TCP;
    else if (strcmp(m, "rtutcp") == 0)
        mode = RTUTCP;
    else if (strcmp(m, "udp") == 0)
        mode = UDP;
    else {
        fprintf(stderr, "mode: tcp, rtutcp or udp\n");
        return 2;
    }
    if (k < 1)
        k = 1;
    if (k > MAX_CLIENTS)
        k = MAX_CLIENTS;
    if (seconds <= 0)
        seconds = 1;
    if (seconds > 30)
        seconds = 30;
    struct client cs[MAX_CLIENTS];
    pthread_t th[MAX_CLIENTS];
    for (int i = 0; i < k; ++i) {
        cs[i] = (struct client){.index = i, .port = port, .seconds = seconds, .mode = mode};
        cs[i].lat_us = malloc(sizeof(uint32_t) * MAX_REQUESTS);
        if (!cs[i].lat_us)
            return 1;
    }
    const double t0 = now_s();
    for (int i = 0; i < k; ++i)
        pthread_create(&th[i], NULL, run, &cs[i]);
    for (int i = 0; i < k; ++i)
        pthread_join(th[i], NULL);
    const double elapsed = now_s() - t0;
    long total = 0, errors = 0;
    for (int i = 0; i < k; ++i) {
        total += cs[i].n;
        errors += cs[i].errors;
    }
    uint32_t *all = malloc(sizeof(uint32_t) * (size_t)(total ? total : 1));
    if (!all)
        return 1;
    long at = 0;
    for (int i = 0; i < k; ++i) {
        memcpy(all + at, cs[i].lat_us, sizeof(uint32_t) * (size_t)cs[i].n);
        at += cs[i].n;
        free(cs[i].lat_us);
    }
    qsort(all, (size_t)total, sizeof(uint32_t), cmp_u32);
    const uint32_t p50 = total ? all[total / 2] : 0, p99 = total ? all[(total * 99) / 100] : 0;
    printf("RESULT clients=%d mode=%s requests=%ld seconds=%.3f rps=%.0f p50_us=%u p99_us=%u errors=%ld\n", k, m,
           total, elapsed, elapsed > 0 ? (double)total / elapsed : 0.0, p50, p99, errors);
    free(all);
    return errors ? 1 : 0;
}

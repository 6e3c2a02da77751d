/* Load generator for a Modbus/TCP server on 127.0.0.1: K client threads, one
 * libmodbus connection each, in a closed loop for a fixed time.
 *
 *   bench_load PORT CLIENTS SECONDS read|mix|rw23|id43
 *
 * read: read holding registers (code 3), 10 registers from 100 * client.
 * mix:  write-heavy: three writes (code 16, 10 registers from 100 * client,
 *       values counting up) to one read of the same block, which must return
 *       what this client wrote last.
 * rw23: read/write multiple registers (code 23): 10 registers from
 *       100 * client written and read back in one request, which must return
 *       what it wrote (the write comes first).
 * id43: read device identification (code 43/14), the basic objects as a
 *       stream; any normal answer counts.
 *
 * Prints one result line:
 *   RESULT clients=K mode=M requests=N seconds=S rps=R p50_us=A p99_us=B errors=E mismatches=X
 * and in mix mode one line per client with the values it wrote last:
 *   LAST client=k start=S values=v0,...,v9
 * after reading the block back once more (a mismatch is counted).
 * Bounded: SECONDS is capped at 30, each thread at 2 million requests. */
#include <errno.h>
#include <fcntl.h>
#include <modbus.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>

#define MAX_CLIENTS 16
#define MAX_REQUESTS 2000000
#define BLOCK 10

enum mode { MODE_READ, MODE_MIX, MODE_RW23, MODE_ID43 };

struct client {
    int index;
    int port;
    double seconds;
    int mix;
    enum mode mode;
    uint32_t *lat_us; /* one latency per request */
    long n;
    long errors;
    long mismatches;
    uint16_t last[BLOCK];
    int wrote;
};

static double now_s(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static modbus_t *open_client(int port)
{
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
    if (!ctx)
        return NULL;
    modbus_set_slave(ctx, 1);
    modbus_set_response_timeout(ctx, 2, 0);
    if (modbus_connect(ctx) == -1) {
        fprintf(stderr, "connect to port %d: %s\n", port, modbus_strerror(errno));
        modbus_free(ctx);
        return NULL;
    }
    return ctx;
}

/* libmodbus keeps its sockets non-blocking: the device identification below
 * waits in recv() instead, at most 2 s. */
static void make_blocking(int fd)
{
    const struct timeval limit = {2, 0};
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

/* Exact reads and writes on the connection's socket. */
static int send_all(int fd, const uint8_t *p, size_t n)
{
    while (n > 0) {
        const ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
        if (k <= 0)
            return 0;
        p += k;
        n -= (size_t)k;
    }
    return 1;
}

static int recv_all(int fd, uint8_t *p, size_t n)
{
    while (n > 0) {
        const ssize_t k = recv(fd, p, n, 0);
        if (k <= 0)
            return 0;
        p += k;
        n -= (size_t)k;
    }
    return 1;
}

/* Code 43/14 by hand: libmodbus cannot tell the length of its answer. Unit 1,
 * read code 01 (basic, stream) from object 00; true for a normal answer. */
static int read_device_id(int fd, uint16_t tid, int *blocking_fd)
{
    const uint8_t ask[] = {(uint8_t)(tid >> 8), (uint8_t)tid, 0, 0, 0, 5, 1, 0x2B, 0x0E, 0x01, 0x00};
    uint8_t answer[260];
    if (fd >= 0 && fd != *blocking_fd) {
        make_blocking(fd);
        *blocking_fd = fd;
    }
    if (fd < 0 || !send_all(fd, ask, sizeof ask) || !recv_all(fd, answer, 7))
        return 0;
    const size_t rest = (size_t)(answer[4] << 8 | answer[5]);
    if (rest < 3 || rest > sizeof answer - 7 || !recv_all(fd, answer + 7, rest - 1))
        return 0;
    return answer[0] == ask[0] && answer[1] == ask[1] && answer[7] == 0x2B && answer[8] == 0x0E;
}

static void *run(void *arg)
{
    struct client *c = arg;
    modbus_t *ctx = open_client(c->port);
    if (!ctx) {
        c->errors++;
        return NULL;
    }
    const int start = 100 * c->index;
    int blocking_fd = -1; /* the socket made blocking for code 43 */
    uint16_t values[BLOCK], got[BLOCK];
    unsigned counter = (unsigned)c->index * 10007u;
    const double end = now_s() + c->seconds;
    while (c->n < MAX_REQUESTS) {
        const double t0 = now_s();
        if (t0 >= end)
            break;
        int rc;
        const int write = c->mix && (c->n % 4) != 3;
        if (c->mode == MODE_RW23) {
            for (int i = 0; i < BLOCK; ++i)
                values[i] = (uint16_t)(counter + (unsigned)i);
            counter += BLOCK;
            rc = modbus_write_and_read_registers(ctx, start, BLOCK, values, start, BLOCK, got);
            if (rc == BLOCK && memcmp(got, values, sizeof got) != 0)
                c->mismatches++;
        } else if (c->mode == MODE_ID43) {
            rc = read_device_id(modbus_get_socket(ctx), (uint16_t)c->n, &blocking_fd) ? BLOCK : -1;
        } else if (write) {
            for (int i = 0; i < BLOCK; ++i)
                values[i] = (uint16_t)(counter + (unsigned)i);
            counter += BLOCK;
            rc = modbus_write_registers(ctx, start, BLOCK, values);
        } else {
            rc = modbus_read_registers(ctx, start, BLOCK, got);
        }
        const double t1 = now_s();
        if (rc != BLOCK) {
            c->errors++;
            if (c->errors > 20)
                break;
            /* A lost answer leaves the connection out of step: start afresh. */
            modbus_close(ctx);
            modbus_free(ctx);
            blocking_fd = -1;
            ctx = open_client(c->port);
            if (!ctx)
                return NULL;
            continue;
        }
        if (write) {
            memcpy(c->last, values, sizeof values);
            c->wrote = 1;
        } else if (c->mix && c->wrote && memcmp(got, c->last, sizeof got) != 0) {
            c->mismatches++;
        }
        c->lat_us[c->n++] = (uint32_t)((t1 - t0) * 1e6 + 0.5);
    }
    if (c->mix && c->wrote) {
        if (modbus_read_registers(ctx, start, BLOCK, got) != BLOCK || memcmp(got, c->last, sizeof got) != 0)
            c->mismatches++;
    }
    modbus_close(ctx);
    modbus_free(ctx);
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
        fprintf(stderr, "usage: %s PORT CLIENTS SECONDS read|mix|rw23|id43\n", argv[0]);
        return 2;
    }
    const int port = atoi(argv[1]);
    int k = atoi(argv[2]);
    double seconds = atof(argv[3]);
    const int mix = strcmp(argv[4], "mix") == 0;
    const enum mode mode = mix ? MODE_MIX
                           : strcmp(argv[4], "rw23") == 0 ? MODE_RW23
                           : strcmp(argv[4], "id43") == 0 ? MODE_ID43
                                                          : MODE_READ;
    static const char *const mode_names[] = {"read", "mix", "rw23", "id43"};
    if (k < 1)
        k = 1;
    if (k > MAX_CLIENTS)
        k = MAX_CLIENTS;
    if (seconds <= 0 || seconds > 30)
        seconds = 30;

    struct client clients[MAX_CLIENTS];
    pthread_t threads[MAX_CLIENTS];
    memset(clients, 0, sizeof clients);
    for (int i = 0; i < k; ++i) {
        clients[i].index = i;
        clients[i].port = port;
        clients[i].seconds = seconds;
        clients[i].mix = mix;
        clients[i].mode = mode;
        clients[i].lat_us = malloc(sizeof(uint32_t) * MAX_REQUESTS);
        if (!clients[i].lat_us)
            return 1;
    }
    const double t0 = now_s();
    for (int i = 0; i < k; ++i)
        pthread_create(&threads[i], NULL, run, &clients[i]);
    for (int i = 0; i < k; ++i)
        pthread_join(threads[i], NULL);
    const double elapsed = now_s() - t0;

    long total = 0, errors = 0, mismatches = 0;
    for (int i = 0; i < k; ++i) {
        total += clients[i].n;
        errors += clients[i].errors;
        mismatches += clients[i].mismatches;
    }
    uint32_t *all = malloc(sizeof(uint32_t) * (size_t)(total > 0 ? total : 1));
    if (!all)
        return 1;
    long at = 0;
    for (int i = 0; i < k; ++i) {
        memcpy(all + at, clients[i].lat_us, sizeof(uint32_t) * (size_t)clients[i].n);
        at += clients[i].n;
    }
    qsort(all, (size_t)total, sizeof(uint32_t), cmp_u32);
    const uint32_t p50 = total ? all[total / 2] : 0;
    const uint32_t p99 = total ? all[(total * 99) / 100] : 0;
    printf("RESULT clients=%d mode=%s requests=%ld seconds=%.3f rps=%.0f p50_us=%u p99_us=%u errors=%ld "
           "mismatches=%ld\n",
           k, mode_names[mode], total, elapsed, elapsed > 0 ? (double)total / elapsed : 0.0, p50, p99, errors,
           mismatches);
    if (mix)
        for (int i = 0; i < k; ++i) {
            if (!clients[i].wrote)
                continue;
            printf("LAST client=%d start=%d values=", i, 100 * i);
            for (int j = 0; j < BLOCK; ++j)
                printf("%s%u", j ? "," : "", clients[i].last[j]);
            printf("\n");
        }
    for (int i = 0; i < k; ++i)
        free(clients[i].lat_us);
    free(all);
    return errors || mismatches ? 1 : 0;
}

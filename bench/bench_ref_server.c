/* Reference for the Slave TCP benchmark: a minimal single-threaded libmodbus
 * Modbus/TCP server on 127.0.0.1 with four 1024-entry tables, serving any
 * number of clients from one select() loop.
 *
 *   bench_ref_server PORT SECONDS
 *
 * Prints "ready" once listening; ends after SECONDS (capped at 600) or on
 * SIGTERM / SIGINT. */
#include <errno.h>
#include <modbus.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static volatile sig_atomic_t stop;

static void on_signal(int sig)
{
    (void)sig;
    stop = 1;
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s PORT SECONDS\n", argv[0]);
        return 2;
    }
    const int port = atoi(argv[1]);
    int seconds = atoi(argv[2]);
    if (seconds <= 0 || seconds > 600)
        seconds = 600;
    signal(SIGTERM, on_signal);
    signal(SIGINT, on_signal);

    modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
    modbus_mapping_t *map = modbus_mapping_new(1024, 1024, 1024, 1024);
    if (!ctx || !map) {
        fprintf(stderr, "libmodbus: %s\n", modbus_strerror(errno));
        return 1;
    }
    const int server = modbus_tcp_listen(ctx, 16);
    if (server < 0) {
        fprintf(stderr, "listen on %d: %s\n", port, modbus_strerror(errno));
        return 1;
    }
    printf("ready\n");
    fflush(stdout);

    fd_set all;
    FD_ZERO(&all);
    FD_SET(server, &all);
    int maxfd = server;
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    const time_t end = time(NULL) + seconds;
    while (!stop && time(NULL) < end) {
        fd_set ready = all;
        struct timeval tv = {0, 200000};
        const int n = select(maxfd + 1, &ready, NULL, NULL, &tv);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int fd = 0; fd <= maxfd && n > 0; ++fd) {
            if (!FD_ISSET(fd, &ready))
                continue;
            if (fd == server) {
                const int c = accept(server, NULL, NULL);
                if (c >= 0 && c < FD_SETSIZE) {
                    FD_SET(c, &all);
                    if (c > maxfd)
                        maxfd = c;
                } else if (c >= 0) {
                    close(c);
                }
                continue;
            }
            modbus_set_socket(ctx, fd);
            const int rc = modbus_receive(ctx, query);
            if (rc > 0) {
                modbus_reply(ctx, query, rc, map);
            } else if (rc == -1) {
                close(fd);
                FD_CLR(fd, &all);
            }
        }
    }
    for (int fd = 0; fd <= maxfd; ++fd)
        if (FD_ISSET(fd, &all))
            close(fd);
    modbus_mapping_free(map);
    modbus_free(ctx);
    return 0;
}

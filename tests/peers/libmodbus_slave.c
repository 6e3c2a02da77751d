/* A libmodbus slave for the master station tests.
 *
 *   libmodbus_slave rtu DEVICE BAUD     RTU, 8 data bits, no parity, 1 stop bit
 *   libmodbus_slave tcp PORT            Modbus/TCP on 127.0.0.1, one client at a time
 *
 * Tables (zero-based, 200 entries each): coil i is on when i % 2 == 0,
 * input relay i when i % 4 == 1, holding register i holds 2000 + i, input
 * register i holds 3000 + i. RTU answers device 1. Prints READY once it
 * serves; ends on SIGTERM or after 120 s. */
#include <errno.h>
#include <modbus.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
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
    if (argc < 3 || (strcmp(argv[1], "rtu") == 0 && argc != 4)) {
        fprintf(stderr, "usage: %s rtu DEVICE BAUD | tcp PORT\n", argv[0]);
        return 2;
    }
    signal(SIGTERM, on_signal);
    signal(SIGINT, on_signal);
    const int rtu = strcmp(argv[1], "rtu") == 0;
    modbus_t *ctx = rtu ? modbus_new_rtu(argv[2], atoi(argv[3]), 'N', 8, 1) : modbus_new_tcp("127.0.0.1", atoi(argv[2]));
    modbus_mapping_t *map = modbus_mapping_new(200, 200, 200, 200);
    if (!ctx || !map) {
        fprintf(stderr, "libmodbus: %s\n", modbus_strerror(errno));
        return 1;
    }
    for (int i = 0; i < 200; ++i) {
        map->tab_bits[i] = i % 2 == 0;
        map->tab_input_bits[i] = i % 4 == 1;
        map->tab_registers[i] = (uint16_t)(2000 + i);
        map->tab_input_registers[i] = (uint16_t)(3000 + i);
    }
    /* The receive returns now and then, so that the end is noticed. */
    modbus_set_indication_timeout(ctx, 0, 200000);

    int server = -1;
    if (rtu) {
        modbus_set_slave(ctx, 1);
        if (modbus_connect(ctx) != 0) {
            fprintf(stderr, "open %s: %s\n", argv[2], modbus_strerror(errno));
            return 1;
        }
    } else {
        server = modbus_tcp_listen(ctx, 1);
        if (server < 0) {
            fprintf(stderr, "listen: %s\n", modbus_strerror(errno));
            return 1;
        }
    }
    printf("READY\n");
    fflush(stdout);

    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    const time_t end = time(NULL) + 120;
    int connected = rtu;
    while (!stop && time(NULL) < end) {
        if (!connected) {
            if (modbus_tcp_accept(ctx, &server) < 0)
                break;
            connected = 1;
        }
        const int rc = modbus_receive(ctx, query);
        if (rc > 0) {
            modbus_reply(ctx, query, rc, map);
        } else if (rc == -1 && errno != ETIMEDOUT && !rtu) {
            modbus_close(ctx); /* the client went: wait for the next */
            connected = 0;
        } else if (rc == -1 && rtu && errno != ETIMEDOUT) {
            modbus_flush(ctx); /* a broken frame: start afresh */
        }
    }
    if (server >= 0)
        close(server);
    modbus_close(ctx);
    modbus_mapping_free(map);
    modbus_free(ctx);
    return 0;
}

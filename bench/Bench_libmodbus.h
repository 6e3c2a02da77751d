// A libmodbus client on loopback, the master that Quillan's masters are
// measured against.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <modbus.h>

namespace bench {

// Connected to 127.0.0.1:port, or null, said on stderr, when it cannot be.
// modbus_close and modbus_free end it.
inline modbus_t *libmodbusClient(uint16_t port)
{
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
    if (!ctx || modbus_connect(ctx) != 0) {
        std::fprintf(stderr, "libmodbus connect: %s\n", modbus_strerror(errno));
        if (ctx)
            modbus_free(ctx);
        return nullptr;
    }
    return ctx;
}

}  // namespace bench

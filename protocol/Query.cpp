#include "Query.h"

#include "corvane.h"

namespace {

bool supported(uint32_t function) { return function >= 1 && function <= 6; }

// The data field: the count for reads, ON/OFF for a coil, the register value.
uint16_t data_field(uint32_t function, uint16_t count, uint16_t value)
{
    switch (function) {
    case 5: return value != 0 ? 0xFF00 : 0x0000;
    case 6: return value;
    default: return count;
    }
}

}  // namespace

int32_t prepare_rtu_query(uint32_t function, uint8_t device, uint16_t address, uint16_t count,
                          uint16_t value, int32_t *length, uint8_t *buffer)
{
    if (!supported(function))
        return -1;
    const uint16_t wire = static_cast<uint16_t>(address - 1);
    const uint16_t data = data_field(function, count, value);
    buffer[0] = device;
    buffer[1] = static_cast<uint8_t>(function);
    buffer[2] = static_cast<uint8_t>(wire >> 8);
    buffer[3] = static_cast<uint8_t>(wire);
    buffer[4] = static_cast<uint8_t>(data >> 8);
    buffer[5] = static_cast<uint8_t>(data);
    CRC_check(buffer, 6, buffer + 6);
    *length = 8;
    return 0;
}

int32_t prepare_tcp_query(uint32_t function, uint8_t device, uint16_t address, uint16_t count,
                          uint16_t value, int32_t *length, uint8_t *buffer)
{
    for (int i = 0; i < 6; ++i)
        buffer[i] = 0;
    if (!supported(function))
        return -1;
    const uint16_t wire = static_cast<uint16_t>(address - 1);
    const uint16_t data = data_field(function, count, value);
    buffer[5] = 6;
    buffer[6] = device;
    buffer[7] = static_cast<uint8_t>(function);
    buffer[8] = static_cast<uint8_t>(wire >> 8);
    buffer[9] = static_cast<uint8_t>(wire);
    buffer[10] = static_cast<uint8_t>(data >> 8);
    buffer[11] = static_cast<uint8_t>(data);
    *length = 12;
    return 0;
}

int32_t prepare_ascii_query(uint32_t function, uint16_t device, uint16_t address, uint16_t count,
                            uint16_t value, int32_t *length, char *buffer)
{
    buffer[0] = ':';
    if (!supported(function) || device > 255)
        return -1;
    const uint16_t wire = static_cast<uint16_t>(address - 1);
    itascxr(device, -2, buffer + 1);
    itascxr(static_cast<uint16_t>(function & 0xFF), -2, buffer + 3);
    itascxr(wire, -4, buffer + 5);
    itascxr(data_field(function, count, value), -4, buffer + 9);
    LRC_check(buffer + 1, 12, buffer + 13);
    buffer[15] = '\r';
    buffer[16] = '\n';
    *length = 17;
    return 0;
}

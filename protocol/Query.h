// Request framing for the three transports. Pure: fills the caller's buffer
// (512 bytes, cleared) and reports the frame's length. 0 built, -1 refused.
#pragma once

#include <cstdint>

// RTU: 8 bytes with CRC-16.
int32_t prepare_rtu_query(uint32_t function, uint8_t device, uint16_t address, uint16_t count,
                          uint16_t value, int32_t *length, uint8_t *buffer);
// ASCII: 17 characters ":" .. LRC CR LF. A device address above 255 is refused.
int32_t prepare_ascii_query(uint32_t function, uint16_t device, uint16_t address, uint16_t count,
                            uint16_t value, int32_t *length, char *buffer);
// Modbus/TCP: 12 bytes, transaction 0, length 6.
int32_t prepare_tcp_query(uint32_t function, uint8_t device, uint16_t address, uint16_t count,
                          uint16_t value, int32_t *length, uint8_t *buffer);

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

// ---- block writes -----------------------------------------------------------
// Code 15 writes count output coils from bits (one byte per coil, non-zero is
// ON, the coil at address first); code 16 writes count holding registers from
// words. Same buffer as above (512 bytes, cleared); the address counts from 1
// as the operator does. -1 (length untouched) for a count of 0 or above the
// largest request of its code; ASCII also refuses a device above 255.
// The largest frames (RTU 255 bytes, ASCII 511 characters, TCP 259 bytes)
// fit the buffer.
constexpr uint16_t kMaxWriteCoils = 1968;
constexpr uint16_t kMaxWriteRegisters = 123;

int32_t prepare_rtu_write_coils(uint8_t device, uint16_t address, uint16_t count, const uint8_t *bits,
                                int32_t *length, uint8_t *buffer);
int32_t prepare_rtu_write_registers(uint8_t device, uint16_t address, uint16_t count, const uint16_t *words,
                                    int32_t *length, uint8_t *buffer);
int32_t prepare_ascii_write_coils(uint16_t device, uint16_t address, uint16_t count, const uint8_t *bits,
                                  int32_t *length, char *buffer);
int32_t prepare_ascii_write_registers(uint16_t device, uint16_t address, uint16_t count, const uint16_t *words,
                                      int32_t *length, char *buffer);
// TCP: transaction 0 like the reads, length field = the bytes after it.
int32_t prepare_tcp_write_coils(uint8_t device, uint16_t address, uint16_t count, const uint8_t *bits,
                                int32_t *length, uint8_t *buffer);
int32_t prepare_tcp_write_registers(uint8_t device, uint16_t address, uint16_t count, const uint16_t *words,
                                    int32_t *length, uint8_t *buffer);

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

// ---- any request ------------------------------------------------------------
// A request's PDU (the function code and its data) in each transport's
// frame, with the same buffer as above. -1 (length untouched) for an empty
// PDU or one longer than the transport's frame holds: 253 bytes on RTU and
// TCP, 252 on ASCII, whose frame of hexadecimal text must fit the 512-byte
// buffer. ASCII also refuses a device above 255.
constexpr int32_t kMaxPdu = 253;
constexpr int32_t kMaxAsciiPdu = 252;

int32_t prepare_rtu_frame(uint8_t device, const uint8_t *pdu, int32_t n, int32_t *length, uint8_t *buffer);
int32_t prepare_ascii_frame(uint16_t device, const uint8_t *pdu, int32_t n, int32_t *length, char *buffer);
int32_t prepare_tcp_frame(uint8_t device, const uint8_t *pdu, int32_t n, int32_t *length, uint8_t *buffer);

// PDUs of the requests beyond reads and writes, into pdu (kMaxPdu bytes);
// each returns the PDU's length, or -1 when a count is out of range.
// Addresses count from 1, as the operator does.
// Code 22: the register becomes (value AND andMask) OR (orMask AND NOT andMask).
int32_t mask_write_pdu(uint16_t address, uint16_t andMask, uint16_t orMask, uint8_t *pdu);
// Code 23: writes writeCount registers from words, then reads readCount.
constexpr uint16_t kMaxReadWriteRead = 125;
constexpr uint16_t kMaxReadWriteWrite = 121;
int32_t read_write_pdu(uint16_t readAddress, uint16_t readCount, uint16_t writeAddress, uint16_t writeCount,
                       const uint16_t *words, uint8_t *pdu);
// Code 43 with MEI type 14, read device identification: code 1 asks for the
// basic objects as a stream, from object on.
int32_t identify_pdu(uint8_t code, uint8_t object, uint8_t *pdu);
// Code 17, report server id: the code alone.
int32_t report_id_pdu(uint8_t *pdu);

// The function code of a received answer, for counting exception answers
// and for telling a block-write echo from a read: the byte after the device
// address, whatever the transport wraps around it.
#pragma once

#include <cstdint>

// -1 when the frame is too short to hold one.
int rtu_answer_code(const uint8_t *frame, int32_t length);
// ":" then hexadecimal pairs; -1 when the pair is missing or not hexadecimal.
int ascii_answer_code(const char *frame, int32_t length);
// After the 6 bytes of transaction, protocol and length and the unit byte.
int tcp_answer_code(const uint8_t *frame, int32_t length);

// A code with its top bit set answers with an exception.
inline bool is_exception_code(int code) { return code >= 0x80; }

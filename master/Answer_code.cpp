#include "Answer_code.h"

#include "Hex_digit.h"

int rtu_answer_code(const uint8_t *frame, int32_t length) { return length >= 2 ? frame[1] : -1; }

int ascii_answer_code(const char *frame, int32_t length)
{
    if (length < 5)
        return -1;
    const int hi = hex_digit(frame[3]);
    const int lo = hex_digit(frame[4]);
    return hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
}

int tcp_answer_code(const uint8_t *frame, int32_t length) { return length >= 8 ? frame[7] : -1; }

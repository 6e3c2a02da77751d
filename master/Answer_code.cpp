#include "Answer_code.h"

namespace {

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

}  // namespace

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

/* Checksums, hexadecimal text codecs and bit fields. Pure and reentrant. */
#include "corvane.h"

void CRC_calc(uint8_t data, uint16_t *crc)
{
    for (int i = 0; i < 8; ++i) {
        int differ = (data & 1) != (*crc & 1);
        data >>= 1;
        *crc >>= 1;
        if (differ)
            *crc ^= 0xA001;
    }
}

void CRC_check(const uint8_t *buf, int32_t n, uint8_t *out)
{
    uint16_t crc = 0xFFFF;
    for (int32_t i = 0; i < n; ++i)
        CRC_calc(buf[i], &crc);
    out[0] = (uint8_t)(crc & 0xFF);
    out[1] = (uint8_t)(crc >> 8);
}

static const char hex_digits[] = "0123456789ABCDEF";

/* An odd count never reads past it: the last, single character is taken as a
 * pair with "0" in front. A pair that is not hexadecimal adds nothing. */
void LRC_check(char *text, int32_t n, char *out)
{
    uint8_t sum = 0;
    for (int32_t i = 0; i < n; i += 2) {
        uint16_t v = 0;
        int16_t take = (n - i) >= 2 ? 2 : 1;
        if (ascxti(text + i, take, &v) == 0)
            sum = (uint8_t)(sum + (v & 0xFF));
    }
    uint8_t lrc = (uint8_t)(-sum);
    out[0] = hex_digits[lrc >> 4];
    out[1] = hex_digits[lrc & 0x0F];
}

int32_t itascxr(uint16_t value, int16_t width, char *out)
{
    int n = width < 0 ? -(int)width : width;
    char pad = width < 0 ? '0' : ' ';
    if (n == 0)
        return -1;
    for (int pos = n - 1; pos >= 0; --pos) {
        out[pos] = hex_digits[value & 0x0F];
        value = (uint16_t)(value >> 4);
        if (value == 0) {
            for (int k = 0; k < pos; ++k)
                out[k] = pad;
            return 0;
        }
    }
    for (int k = 0; k < n; ++k)
        out[k] = '*';
    return -1;
}

static int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

int16_t ascxti(char *text, int16_t limit, uint16_t *result)
{
    int end = 0;
    while (end < limit && text[end] != '\0')
        ++end;
    int first = 0;
    while (first < end && text[first] == ' ')
        ++first;
    while (end > first && text[end - 1] == ' ')
        --end;
    if (end == first)
        return -1;
    if (end - first > 4)
        return -2;
    uint16_t value = 0;
    for (int i = first; i < end; ++i) {
        int d = hex_value(text[i]);
        if (d < 0)
            return -1;
        text[i] = hex_digits[d];
        value = (uint16_t)(value * 16 + d);
    }
    *result = value;
    return 0;
}

/* Bit numbers outside 0..31 or a reversed field are clamped to a valid field,
 * so no shift is ever undefined. */
static uint32_t field_mask(int16_t *lo, int16_t *hi)
{
    if (*lo < 0)
        *lo = 0;
    if (*hi > 31)
        *hi = 31;
    if (*lo > 31)
        *lo = 31;
    if (*hi < *lo)
        *hi = *lo;
    int width = *hi - *lo + 1;
    uint32_t ones = width >= 32 ? 0xFFFFFFFFu : ((1u << width) - 1u);
    return ones << *lo;
}

uint16_t bitrd(uint32_t *word, int16_t lo, int16_t hi)
{
    uint32_t mask = field_mask(&lo, &hi);
    return (uint16_t)((*word & mask) >> lo);
}

int32_t bitwt(uint32_t *word, int16_t lo, int16_t hi, int16_t value)
{
    uint32_t mask = field_mask(&lo, &hi);
    uint32_t v = (uint32_t)(int32_t)value; /* sign-extended from 16 bits */
    *word = (*word & ~mask) | ((v << lo) & mask);
    return 0;
}

// The value of one hexadecimal character of a Modbus ASCII frame, in either
// case; -1 for any other character, so a caller can tell a bad pair.
#pragma once

inline int hex_digit(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

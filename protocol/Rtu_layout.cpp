#include "Rtu_layout.h"

#include "corvane.h"

namespace {

// Unit and function code come before every field; the CRC after them.
constexpr int32_t kHead = 2;
constexpr int32_t kCrc = 2;

Rtu_length known(int32_t bytes)
{
    if (bytes > kRtuMaxFrame)
        return {.kind = Rtu_length::None, .bytes = 0};
    return {.kind = Rtu_length::Known, .bytes = bytes};
}

Rtu_length need(int32_t bytes) { return {.kind = Rtu_length::Need_more, .bytes = bytes}; }

constexpr Rtu_length kUnknown{.kind = Rtu_length::Unknown, .bytes = 0};
constexpr Rtu_length kNone{.kind = Rtu_length::None, .bytes = 0};

// A frame whose length is given by a byte count at offset `at`: the bytes
// up to and including the count, the counted bytes, the CRC. Registers come
// in pairs, so their count is even.
Rtu_length counted(const uint8_t *f, size_t n, int32_t at, bool words)
{
    if (n <= size_t(at))
        return need(at + 1);
    const int32_t count = f[at];
    if (words && count % 2 != 0)
        return kNone;
    return known(at + 1 + count + kCrc);
}

// Read device identification answer: unit, 2B, 0E, read code, conformity,
// more follows, next object, number of objects, then each object as id,
// length and value.
Rtu_length device_identification(const uint8_t *f, size_t n)
{
    constexpr int32_t kObjects = 8;
    if (n <= size_t(kObjects - 1))
        return need(kObjects);
    int32_t at = kObjects;
    for (int32_t i = 0, objects = f[kObjects - 1]; i < objects; ++i) {
        if (n < size_t(at + 2))
            return at + 2 + kCrc > kRtuMaxFrame ? kNone : need(at + 2);
        at += 2 + f[at + 1];
        if (at + kCrc > kRtuMaxFrame)
            return kNone;
    }
    return known(at + kCrc);
}

}  // namespace

Rtu_length rtu_length_as_request(const uint8_t *f, size_t n)
{
    if (n < size_t(kHead))
        return need(kHead);
    switch (f[1]) {
    case 1: case 2: case 3: case 4: case 5: case 6: case 8:
        return known(kHead + 4 + kCrc);  // address or sub-function, count or value
    case 7: case 11: case 17:
        return known(kHead + kCrc);  // the function code alone
    case 15: case 16:
        return counted(f, n, kHead + 4, false);  // address, count, byte count
    case 22:
        return known(kHead + 6 + kCrc);  // address, AND mask, OR mask
    case 23:
        return counted(f, n, kHead + 8, true);  // read and write address and count
    case 43:
        if (n < 3)
            return need(3);
        return f[2] == 14 ? known(kHead + 3 + kCrc) : kUnknown;  // MEI type, read code, object
    default:
        return f[1] & 0x80 ? kNone : kUnknown;
    }
}

Rtu_length rtu_length_as_answer(const uint8_t *f, size_t n)
{
    if (n < size_t(kHead))
        return need(kHead);
    if (f[1] & 0x80)
        return known(kHead + 1 + kCrc);  // the exception code
    switch (f[1]) {
    case 1: case 2: case 17:
        return counted(f, n, kHead, false);
    case 3: case 4: case 23:
        return counted(f, n, kHead, true);
    case 5: case 6: case 8: case 11: case 15: case 16:
        return known(kHead + 4 + kCrc);  // an echo, or address and count, or status and counter
    case 7:
        return known(kHead + 1 + kCrc);  // the exception status byte
    case 22:
        return known(kHead + 6 + kCrc);
    case 43:
        if (n < 3)
            return need(3);
        return f[2] == 14 ? device_identification(f, n) : kUnknown;
    default:
        return kUnknown;
    }
}

bool rtu_crc_holds(const uint8_t *f, size_t n)
{
    if (n < 4)
        return false;
    uint8_t crc[2];
    CRC_check(f, int32_t(n - 2), crc);
    return crc[0] == f[n - 2] && crc[1] == f[n - 1];
}

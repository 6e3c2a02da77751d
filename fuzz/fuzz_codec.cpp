// ascxti, LRC_check, CRC_check, itascxr, bitrd/bitwt on any bytes: never read
// or write outside what they are given.
#include <cstdint>
#include <cstring>
#include <vector>

#include "corvane.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const int16_t limit = int16_t(data[0] % 8);  // ascxti looks at 0..7 characters
    std::vector<char> text(data + 1, data + size);  // exactly the input, no terminator
    if (!text.empty()) {
        uint16_t result = 0xBEEF;
        const int16_t take = int16_t(std::min<size_t>(size_t(limit), text.size()));
        const int16_t r = ascxti(text.data(), take, &result);
        if (r != 0 && result != 0xBEEF)
            __builtin_trap();  // the result is written only on success
    }

    std::vector<char> lrcText(data, data + size);
    char lrc[2];
    LRC_check(lrcText.data(), int32_t(lrcText.size()), lrc);

    uint8_t crc[2];
    CRC_check(data, int32_t(size), crc);

    char out[16];
    const int16_t width = int16_t(int8_t(data[0]) % 17);
    const uint16_t value = size >= 3 ? uint16_t(data[1] << 8 | data[2]) : 0;
    itascxr(value, width, out);

    uint32_t word = 0;
    std::memcpy(&word, data, std::min<size_t>(size, 4));
    const int16_t lo = size > 4 ? int16_t(int8_t(data[4])) : 0;
    const int16_t hi = size > 5 ? int16_t(int8_t(data[5])) : 0;
    const uint32_t before = word;
    bitwt(&word, lo, hi, int16_t(value));
    (void)bitrd(&word, lo, hi);
    if (lo >= 0 && hi <= 31 && lo <= hi) {
        const uint16_t readBack = bitrd(&word, lo, hi);
        const int width2 = hi - lo + 1;
        const uint32_t m = width2 >= 16 ? 0xFFFFu : ((1u << width2) - 1u);
        if ((readBack & m) != (uint32_t(int32_t(int16_t(value))) & m))
            __builtin_trap();
        const uint32_t field = (width2 >= 32 ? 0xFFFFFFFFu : ((1u << width2) - 1u)) << lo;
        if ((word & ~field) != (before & ~field))
            __builtin_trap();  // bits outside the field keep their values
    }
    return 0;
}

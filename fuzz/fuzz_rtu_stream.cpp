// The RTU-over-TCP stream receiver on any byte stream, in any chunking and at
// any pace: every request it hands out is a whole frame of the bytes held
// with a right CRC, it never holds more than its bound, every call that does
// not wait consumes something, and it never waits past its time limit.
#include <cstdint>

#include "Rtu_stream.h"
#include "corvane.h"

namespace {

bool crc_holds(const uint8_t *f, size_t n)
{
    if (n < 4)
        return false;
    uint8_t crc[2];
    CRC_check(f, int32_t(n - 2), crc);
    return crc[0] == f[n - 2] && crc[1] == f[n - 1];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    // The first byte sets the chunk size, the second the time between chunks.
    const size_t chunk = 1 + data[0] % 64;
    const int64_t step = int64_t(data[1] % 8) * 200;
    RtuStream rx;
    int64_t now = 0;
    for (size_t i = 2; i < size;) {
        const size_t before = rx.buffered();
        const size_t taken = rx.append(data + i, size - i < chunk ? size - i : chunk, now);
        if (rx.buffered() != before + taken || rx.buffered() > RtuStream::kCapacity)
            __builtin_trap();
        i += taken;
        for (;;) {
            const size_t held = rx.buffered();
            const RtuStream::Outcome o = rx.next(now);
            if (o.kind == RtuStream::Kind::Need_more) {
                if (rx.buffered() != held || (held && now >= rx.deadlineMs()))
                    __builtin_trap();
                break;
            }
            if (o.dropped == 0 || o.dropped > held || rx.buffered() != held - o.dropped)
                __builtin_trap();
            if (o.kind == RtuStream::Kind::Request && (o.n != o.dropped || o.n > 256 || !crc_holds(o.data, o.n)))
                __builtin_trap();
            if (o.kind == RtuStream::Kind::Crc_error && (o.n > held || crc_holds(o.data, o.n)))
                __builtin_trap();
            // Touches every byte handed out: the sanitizer sees a read outside.
            volatile uint8_t sum = 0;
            for (size_t k = 0; k < o.n; ++k)
                sum = uint8_t(sum + o.data[k]);
        }
        now += step;
    }
    return 0;
}

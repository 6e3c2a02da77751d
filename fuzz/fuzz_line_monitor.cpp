// The line monitor's frame splitter on any bytes, in any chunking, with any
// silences between the chunks. The first byte picks RTU or ASCII and the
// baud rate, the second seeds the chunk sizes and gaps. Whatever the input:
// the frames and the noise reported are the input, in order, each byte once;
// frames that pass their checksum do pass it; the counters agree with the
// frames; memory stays within its bound; and the mirror of every pair is
// within the address space.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "Line_mirror.h"
#include "Line_monitor.h"
#include "Rtu_layout.h"

namespace {

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const bool ascii = data[0] & 1;
    static const int32_t bauds[] = {1200, 9600, 19200, 115200};
    const Line_settings settings{.framing = ascii ? Line_framing::Ascii : Line_framing::Rtu,
                                 .baud = bauds[data[0] >> 1 & 3],
                                 .bits_per_char = 10};
    uint32_t state = 0x9E3779B9u ^ data[1];
    auto next = [&] {  // xorshift: the same input gives the same run
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    data += 2;
    size -= 2;

    std::vector<uint8_t> out;
    uint64_t framed = 0, last_number = 0;
    Line_monitor monitor(
        settings,
        [&](const Monitor_frame &f) {
            out.insert(out.end(), f.bytes.begin(), f.bytes.end());
            check(f.number == ++last_number);
            check(f.end_us >= f.time_us);
            if (!ascii && f.checksum_ok)
                check(rtu_crc_holds(f.bytes.data(), f.bytes.size()));
            if (ascii)
                check(f.bytes.front() == ':' && f.bytes.back() == '\n' && f.bytes.size() <= kAsciiMaxFrame);
            else
                check(f.bytes.size() >= 4 && f.bytes.size() <= size_t(kRtuMaxFrame));
            check(f.checksum_ok == (f.role != Monitor_role::Unknown));
            if (f.request_number) {
                check(f.role == Monitor_role::Answer && f.request_number < f.number && f.response_us >= 0);
                for (const Mirror_write &w : mirror_writes(f.request, f.fields))
                    check(!w.values.empty() && w.address + w.values.size() <= 65536);
            }
            ++framed;
        },
        [&](const Monitor_noise &n) {
            check(!n.bytes.empty());
            out.insert(out.end(), n.bytes.begin(), n.bytes.end());
        });

    int64_t now = 0;
    const int64_t silence = monitor.silence_us();
    for (size_t i = 0; i < size;) {
        const size_t n = std::min<size_t>(1 + next() % 64, size - i);
        // Mostly bursts, sometimes a silence, sometimes a long quiet.
        const uint32_t r = next() % 8;
        now += r < 5 ? int64_t(next() % 200) : r < 7 ? silence + int64_t(next() % 1000) : kRtuHoldUs + 1;
        monitor.feed(data + i, n, now);
        i += n;
        check(monitor.buffered() <= (ascii ? kAsciiMaxFrame : 2 * size_t(kRtuMaxFrame)));
        if (next() % 4 == 0)
            monitor.idle(now + int64_t(next() % (2 * silence + 1)));
    }
    monitor.flush();
    check(monitor.buffered() == 0);
    check(out.size() == size && std::equal(out.begin(), out.end(), data));
    const Monitor_counters &c = monitor.counters();
    check(c.frames == framed && c.frames == c.req + c.ans + c.err && c.exc <= c.ans && c.unans <= c.req);
    return 0;
}

// The Modbus/TCP framer on any byte stream in any chunking: every message it
// hands out is whole and consistent with its own length field.
#include <cstdint>
#include <vector>

#include "Tcp_framer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const size_t chunk = 1 + data[0] % 64;
    TcpFramer framer;
    std::vector<uint8_t> msg;
    for (size_t i = 1; i < size; i += chunk) {
        const size_t n = std::min(chunk, size - i);
        framer.append(data + i, n);
        for (;;) {
            unsigned bad = 0;
            const auto st = framer.next(msg, &bad);
            if (st == TcpFramer::Status::Frame) {
                const unsigned len = unsigned(msg[4]) << 8 | msg[5];
                if (msg.size() != 6 + len || len < TcpFramer::kMinLength || len > TcpFramer::kMaxLength)
                    __builtin_trap();
                continue;
            }
            if (st == TcpFramer::Status::Bad && framer.buffered() != 0)
                __builtin_trap();
            break;
        }
        if (framer.buffered() > 6 + TcpFramer::kMaxLength + 64)
            __builtin_trap();  // never more than one partial message plus a chunk
    }
    return 0;
}

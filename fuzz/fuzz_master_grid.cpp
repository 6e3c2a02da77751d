// The master answer decoders on any bytes and length, against a grid laid out
// for any request: no read or write outside the frame, work buffer or grid.
#include <cstdint>
#include <cstring>
#include <vector>

#include "Master_grid.h"
#include "Memory_grid.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 6)
        return 0;
    const int transport = data[0] % 3;
    const uint16_t kind = data[1] % 4;
    const uint16_t count = uint16_t((data[2] << 8 | data[3]) % 2048);
    const int32_t row = int8_t(data[4]);
    const int32_t col = int8_t(data[5]);
    const uint8_t *frame = data + 6;
    const int32_t length = int32_t(size - 6);

    MemoryGrid grid;
    layout_master_grid(grid, kind, 1, count);
    // The frame lives in a buffer of exactly its own size, so ASan sees any over-read.
    std::vector<uint8_t> copy(frame, frame + length);
    const uint8_t *p = copy.empty() ? nullptr : copy.data();
    if (!p)
        return 0;
    switch (transport) {
    case 0: show_rtu_response(grid, p, length, count, row, col, 0x1234); break;
    case 1: show_ascii_response(grid, reinterpret_cast<const char *>(p), length, count, row, col, 0x1234); break;
    default: show_tcp_response(grid, p, length, count, row, col, 0x1234); break;
    }
    // The layout is kept: a decoder never changes the grid's size.
    const int rows = kind < 2 ? 1 + count / 8 + (count % 8 ? 1 : 0) : 1 + count;
    if (grid.rowCount() != rows || grid.colCount() != (kind < 2 ? 9 : 3))
        __builtin_trap();
    return 0;
}

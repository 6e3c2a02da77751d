#include "Master_grid.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "Strformat.h"
#include "corvane.h"

namespace {

constexpr int kWorkSize = 512;     // the zero-filled work buffer every decoder fills
constexpr int kFirstData = 3;      // device address, function code, byte count, then data

// "%6d" of the signed value, without the cost of a printf per cell: a grid
// polled thousands of times a second is filled this way.
std::string word_decimal(uint16_t value)
{
    char digits[8];
    const auto end = std::to_chars(digits, digits + sizeof digits, int(int16_t(value))).ptr;
    const size_t n = size_t(end - digits);
    std::string text(n < 6 ? 6 - n : 0, ' ');
    text.append(digits, n);
    return text;
}

std::string word_hex(uint16_t value)
{
    char digits[5] = {0};
    itascxr(value, -4, digits);
    return std::string("0x") + digits;
}

// Clamps a received length to what the work buffer can hold.
int work_length(int64_t length)
{
    if (length <= 0)
        return 0;
    return length > kWorkSize ? kWorkSize : int(length);
}

}  // namespace

void layout_master_grid(TextGrid &grid, uint16_t kind, uint16_t start, uint16_t count)
{
    grid.setColWidth(0, 100);
    for (int r = 0; r < grid.rowCount(); ++r)
        for (int c = 0; c < grid.colCount(); ++c)
            grid.setCell(c, r, "");

    if (kind == 0 || kind == 1) {
        const int offset = kind == 1 ? 10000 : 0;
        const int whole = count / 8;
        const int rest = count % 8;
        grid.setColCount(9);
        grid.setRowCount(1 + whole + (rest ? 1 : 0));
        grid.setCell(0, 0, "address");
        for (int k = 1; k <= 8; ++k)
            grid.setCell(k, 0, strformat("bits-%d", 8 - k));
        for (int r = 1; r <= whole; ++r) {
            const int lowest = start + 8 * (r - 1) + offset;
            grid.setCell(0, r, strformat("%05d - %05d", lowest + 7, lowest));
        }
        if (rest) {
            const int lowest = start + 8 * whole + offset;
            grid.setCell(0, whole + 1, strformat("%05d - %05d", lowest + rest - 1, lowest));
        }
    } else {
        const int offset = kind == 2 ? 40000 : 30000;
        grid.setColCount(3);
        grid.setRowCount(1 + count);
        grid.setCell(0, 0, "address");
        grid.setCell(1, 0, "Decimal");
        grid.setCell(2, 0, "Hex.");
        for (int i = 1; i <= count; ++i)
            grid.setCell(0, i, strformat("%5d", start + (i - 1) + offset));
    }
    // The column exists only once the column count is set.
    grid.setColWidth(0, 100);
}

namespace {

// response: the 512-byte work buffer (device address, function, byte count, data).
void fill_master_grid(TextGrid &grid, const uint8_t *response, uint16_t count, int32_t row,
                      int32_t col, uint16_t value)
{
    const int rows = grid.rowCount();
    switch (response[1]) {
    case 1:
    case 2: {
        const int whole = count / 8;
        const int rest = count % 8;
        // Never beyond the work buffer nor below the grid's last row.
        const int lastRow = std::min({whole + (rest ? 1 : 0), rows - 1, kWorkSize - kFirstData});
        for (int i = 0; i < lastRow; ++i) {
            uint32_t byte = response[kFirstData + i];
            const int bits = i < whole ? 8 : rest;
            for (int j = 0; j < bits; ++j)
                grid.setCell(8 - j, i + 1, bitrd(&byte, int16_t(j), int16_t(j)) ? "On" : "Off");
        }
        break;
    }
    case 3:
    case 4: {
        const int last = std::min({int(count), rows - 1, (kWorkSize - kFirstData) / 2});
        for (int i = 0; i < last; ++i) {
            const uint16_t v = uint16_t(response[kFirstData + 2 * i] << 8 | response[kFirstData + 1 + 2 * i]);
            grid.setCell(1, i + 1, word_decimal(v));
            grid.setCell(2, i + 1, word_hex(v));
        }
        break;
    }
    case 5:
        grid.setCell(col, row, value ? "On" : "Off");
        break;
    case 6:
        grid.setCell(1, row, word_decimal(value));
        grid.setCell(2, row, word_hex(value));
        break;
    default:  // other codes and exception answers leave the grid alone
        break;
    }
}

}  // namespace

void show_rtu_response(TextGrid &grid, const uint8_t *frame, int32_t length, uint16_t count,
                       int32_t row, int32_t col, uint16_t value)
{
    uint8_t work[kWorkSize] = {0};
    const int n = work_length(int64_t(length) - 2);  // the CRC is not data
    if (n > 0)
        std::memcpy(work, frame, size_t(n));
    fill_master_grid(grid, work, count, row, col, value);
}

void show_ascii_response(TextGrid &grid, const char *frame, int32_t length, uint16_t count,
                         int32_t row, int32_t col, uint16_t value)
{
    uint8_t work[kWorkSize] = {0};
    // Pairs from character 1 up to the LRC; a pair that is not hexadecimal
    // leaves its byte at 0.
    int k = 0;
    for (int64_t i = 1; i < int64_t(length) - 5 && k < kWorkSize; i += 2, ++k) {
        char pair[3] = {frame[i], frame[i + 1], 0};
        uint16_t byte = 0;
        if (ascxti(pair, 2, &byte) == 0)
            work[k] = uint8_t(byte & 0xFF);
    }
    fill_master_grid(grid, work, count, row, col, value);
}

void show_tcp_response(TextGrid &grid, const uint8_t *frame, int32_t length, uint16_t count,
                       int32_t row, int32_t col, uint16_t value)
{
    uint8_t work[kWorkSize] = {0};
    const int n = work_length(int64_t(length) - 6);  // transaction, protocol and length fields
    if (n > 0)
        std::memcpy(work, frame + 6, size_t(n));
    fill_master_grid(grid, work, count, row, col, value);
}

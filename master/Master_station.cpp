#include "Master_station.h"

#include <cstdlib>

#include "Master_grid.h"
#include "Notices.h"
#include "corvane.h"

bool master_request_ok(long device, long start, long count, int kind, CountLimits limits)
{
    const uint16_t limit = (kind == 0 || kind == 1) ? limits.bits : limits.words;
    return device_address_ok(uint16_t(device)) && register_address_ok(uint16_t(start)) &&
           comm_count_ok(uint16_t(count), limit);
}

int validate_master_request(long device, long start, long count, int kind, CountLimits limits,
                            MasterRequest &request, const std::function<void()> &beforeBoxes)
{
    const uint16_t dev = uint16_t(device);
    const uint16_t first = uint16_t(start);
    const uint16_t n = uint16_t(count);
    const uint16_t limit = (kind == 0 || kind == 1) ? limits.bits : limits.words;
    if (!master_request_ok(device, start, count, kind, limits)) {
        if (beforeBoxes)
            beforeBoxes();
        // Every check runs, so the operator sees each field that is wrong.
        check_device_address(dev);
        check_register_address(first);
        check_comm_count(n, limit);
        return -1;
    }
    request = MasterRequest{dev, first, n, uint16_t(kind)};
    return 0;
}

int check_master_request(long device, long start, long count, int kind, CountLimits limits,
                         MasterRequest &request, TextGrid &grid)
{
    if (validate_master_request(device, start, count, kind, limits, request) != 0)
        return -1;
    layout_master_grid(grid, request.kind, request.start, request.count);
    return 0;
}

namespace {

// Leading blanks, then decimal digits up to the first other character.
long leading_number(const std::string &text, size_t from = 0)
{
    size_t i = from;
    while (i < text.size() && text[i] == ' ')
        ++i;
    long v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && v < 1000000; ++i)
        v = v * 10 + (text[i] - '0');
    return v;
}

}  // namespace

bool pick_master_write(const TextGrid &grid, int row, int col, const MasterRequest &request,
                       MasterWrite &write, uint16_t &mode)
{
    if (row <= 0 || col <= 0)
        return false;
    if (request.kind == 0) {
        // The row label reads "highest - lowest"; column 8 holds the lowest.
        const std::string label = grid.cell(0, row);
        const size_t dash = label.find('-');
        if (dash == std::string::npos)
            return false;
        const uint16_t address = uint16_t(leading_number(label, dash + 1) + 8 - col);
        if (long(address) >= long(request.start) + long(request.count))
            return false;  // outside the range read
        write = MasterWrite{5, address, uint16_t(grid.cell(col, row).rfind("On", 0) == 0 ? 1 : 0), row, col};
        mode = 0;
        return true;
    }
    if (request.kind == 2) {
        mode = col == 1 ? 0 : 1;
        // Column 2 holds "0x" and four digits; nothing valid there starts the
        // dialog from 0.
        std::string hex = grid.cell(2, row);
        hex = hex.size() > 2 ? hex.substr(2, 4) : std::string();
        uint16_t current = 0;
        if (ascxti(hex.data(), int16_t(hex.size()), &current) != 0)
            current = 0;
        const uint16_t address = uint16_t(leading_number(grid.cell(0, row)) - 40000);
        write = MasterWrite{6, address, current, row, col};
        return true;
    }
    return false;
}

std::string hex_line(const char *caption, const uint8_t *bytes, int32_t n)
{
    std::string line = caption;
    line.reserve(line.size() + 3 * size_t(n > 0 ? n : 0));
    for (int32_t i = 0; i < n; ++i) {
        char two[3] = {0};
        itascxr(bytes[i], -2, two);
        line += two;
        line += ' ';
    }
    return line;
}

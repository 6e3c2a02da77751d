// What the three master stations do alike, free of widgets: checking the
// request fields, choosing what "Set data value" writes, and logging a frame
// in hexadecimal.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "Text_grid.h"

// The validated request fields. kind: 0 output coil, 1 input relay,
// 2 holding register, 3 input register.
struct MasterRequest {
    uint16_t device = 0;
    uint16_t start = 0;
    uint16_t count = 0;
    uint16_t kind = 0;
    // The same grid layout: kind, start and count alike.
    bool sameLayout(const MasterRequest &o) const { return kind == o.kind && start == o.start && count == o.count; }
};

// The last write: function 5 or 6, the operator's address, the value sent and
// the grid cell it came from.
struct MasterWrite {
    uint16_t function = 0;
    uint16_t address = 0;
    uint16_t value = 0;
    int32_t row = 0;
    int32_t col = 0;
};

// Largest count for the bit kinds (0, 1) and the word kinds (2, 3).
struct CountLimits {
    uint16_t bits;
    uint16_t words;
};
inline constexpr CountLimits kRtuLimits{1920, 120};
inline constexpr CountLimits kAsciiLimits{960, 60};
inline constexpr CountLimits kTcpLimits{1920, 120};

// True when the three range checks pass (no box either way).
bool master_request_ok(long device, long start, long count, int kind, CountLimits limits);
// The three range checks alone: on success stores the fields in request and
// returns 0, the grid untouched (a polled read keeps the values on show until
// its answer replaces them); otherwise -1 and nothing changes. beforeBoxes
// runs once before the first box of a failed check.
int validate_master_request(long device, long start, long count, int kind, CountLimits limits,
                            MasterRequest &request, const std::function<void()> &beforeBoxes = {});
// Runs the three range checks (each shows its own box, all three run), each
// field taken in 16 bits. On success stores the fields in request, lays the
// grid out and returns 0; otherwise -1 and nothing changes.
int check_master_request(long device, long start, long count, int kind, CountLimits limits,
                         MasterRequest &request, TextGrid &grid);

// "Set data value" on the grid cell (col, row): fills write (function,
// address, current value, row, col) and mode (0 decimal, 1 hexadecimal) and
// returns true, or returns false when the cell offers nothing to write (header
// row, address column, a coil outside the range read, a read-only kind).
bool pick_master_write(const TextGrid &grid, int row, int col, const MasterRequest &request,
                       MasterWrite &write, uint16_t &mode);

// caption followed by two upper-case hexadecimal digits and a blank per byte.
std::string hex_line(const char *caption, const uint8_t *bytes, int32_t n);

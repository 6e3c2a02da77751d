// One write the operator asked for, kept until it goes out: a single coil or
// register (codes 5 and 6, from the grid), or a block of coils or registers
// (codes 15 and 16, from the block dialog or a 32/64-bit row of the grid).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct WriteJob {
    uint16_t function = 0;  // 5, 6, 15 or 16
    uint16_t device = 0;    // the device address the operator asked it for
    uint16_t address = 0;   // as the operator counts it (coil 1, register 40001 is 1)
    uint16_t value = 0;     // codes 5 and 6
    int32_t row = 0;        // the grid cell the single write came from
    int32_t col = 0;
    std::vector<uint8_t> bits{};    // code 15: one entry per coil, 0 or 1
    std::vector<uint16_t> words{};  // code 16: the registers, first register first
    // The map entry a write from the Watch page sets; empty for the grid's
    // and the block dialog's writes. Its answer leaves the grid alone.
    std::string watchEntry{};
};

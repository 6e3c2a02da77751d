// The values of a block write as the operator types them: one value per line
// or several separated by commas, in the station's value format for
// registers, 0 or 1 for coils. Blank lines and empty items are skipped.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Value_format.h"

struct BlockValues {
    std::vector<uint8_t> bits;    // coils: 0 or 1 each, the first coil first
    std::vector<uint16_t> words;  // registers: the first register first
};

// Fills out (emptied first) and returns "" when every value reads and the
// request stays within one frame (kMaxWriteCoils coils, kMaxWriteRegisters
// registers; a 32/64-bit format takes 2/4 registers per value). Otherwise
// returns a text naming the line, e.g. line 3: "12x": not a number; out is
// then left empty.
std::string parse_block_values(std::string_view text, bool coils, ValueFormat format, BlockValues &out);

// The value column of the slave stations' register grids in a value format
// chosen by the operator. In Signed, the grids' own display, every row shows
// its register exactly as show_register_row does; in a 32- or 64-bit format
// a value stands on the row of its first register and its other rows show
// kFollowText. The address and "Hex." columns never change.
//
// Groups start at the table's first register (40001, 30001), so a request
// writing one register changes the value of the group that holds it.
#pragma once

#include <cstdint>

#include "Value_format.h"

class TextGrid;

// The value column's heading and every row of it, with the "Hex." column.
void show_register_values(TextGrid &grid, int kind, ValueFormat format, const uint16_t *table);
// A text as wide as the widest value the format shows, to size the value
// column by.
const char *widest_register_text(ValueFormat format);
// After register n changed: the value column of its group and its "Hex." cell.
void show_register_group(TextGrid &grid, int kind, ValueFormat format, const uint16_t *table, uint16_t n);

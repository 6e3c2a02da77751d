// The master grid's register values in the station's value format: the value
// column redrawn from the Hex. column (which always shows each register as it
// came), the group a 32/64-bit value takes for "Set data value", and the
// cells a block write changes once its answer is in.
#pragma once

#include <cstdint>
#include <string>

#include "Master_station.h"
#include "Text_grid.h"
#include "Value_format.h"
#include "Write_job.h"

// The value column's header: "Decimal" for the default display, else the
// format's pick-list text.
std::string value_column_header(ValueFormat format);

// Rewrites the header and value column (1) of a register grid (3 columns)
// from its Hex. cells: a value on the first row of its group, "-" on the
// group's other rows, "?" on the first row of a group cut short by the end
// of the registers read. A group with a register that holds no value yet
// (no answer, an exception) stays empty. Grids of another shape are left
// alone.
void show_value_column(TextGrid &grid, ValueFormat format);

// "Set data value" in the value column of a holding-register row while a
// 32/64-bit format is shown: the value's group, from its first row.
struct FormattedTarget {
    int firstRow = 0;       // grid row of the group's first register
    uint16_t address = 0;   // that register's address as the operator counts it
    int count = 0;          // registers in the group
    std::string current;    // the value as shown, blanks trimmed ("" when none)
};
// false when the cell offers no such write: another kind, another column,
// a 16-bit format, or a group cut short by the end of the registers read.
bool pick_formatted_write(const TextGrid &grid, int row, int col, const MasterRequest &request,
                          ValueFormat format, FormattedTarget &target);

// A block write's answer came in: the coils or registers of job that the
// grid shows (kind 0 or 2 of request) take the values written, as a single
// write changes its cell. The value column gets the default display; the
// caller redraws it for another format.
void show_block_write(TextGrid &grid, const MasterRequest &request, const WriteJob &job);

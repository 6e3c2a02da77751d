#include "Register_view.h"

#include <algorithm>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "Slave_tables.h"
#include "Text_grid.h"

namespace {

void show_hex(TextGrid &grid, uint16_t value, uint16_t n)
{
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%04X", unsigned(value));
    grid.setCell(2, n + 1, hex);
}

}  // namespace

void show_register_values(TextGrid &grid, int kind, ValueFormat format, const uint16_t *table)
{
    if (format == ValueFormat::Signed) {
        grid.setCell(1, 0, "Decimal");
        for (int n = 0; n < kSlaveEntries; ++n)
            show_register_row(grid, kind, table[n], uint16_t(n));
        return;
    }
    grid.setCell(1, 0, value_format_text(format));
    const std::vector<std::string> texts =
        value_column_texts(format, std::span<const uint16_t>(table, size_t(kSlaveEntries)));
    for (int n = 0; n < kSlaveEntries; ++n) {
        grid.setCell(1, n + 1, texts[size_t(n)]);
        show_hex(grid, table[n], uint16_t(n));
    }
}

void show_register_group(TextGrid &grid, int kind, ValueFormat format, const uint16_t *table, uint16_t n)
{
    if (n >= kSlaveEntries)
        return;
    if (format == ValueFormat::Signed) {
        show_register_row(grid, kind, table[n], n);
        return;
    }
    const int start = value_group_start(format, n);
    const int count = std::min(value_format_width(format), kSlaveEntries - start);
    const std::vector<std::string> texts =
        value_column_texts(format, std::span<const uint16_t>(table + start, size_t(count)));
    for (int i = 0; i < count; ++i)
        grid.setCell(1, start + i + 1, texts[size_t(i)]);
    show_hex(grid, table[n], n);
}

const char *widest_register_text(ValueFormat format)
{
    switch (format) {
    case ValueFormat::Signed: return "-32768";
    case ValueFormat::Unsigned: return "65535";
    case ValueFormat::Hex: return "0xFFFF";
    case ValueFormat::Binary: return "0000000000000000";
    case ValueFormat::LongABCD:
    case ValueFormat::LongCDAB:
    case ValueFormat::LongBADC:
    case ValueFormat::LongDCBA: return "-2147483648";
    case ValueFormat::UnsignedLongABCD:
    case ValueFormat::UnsignedLongCDAB:
    case ValueFormat::UnsignedLongBADC:
    case ValueFormat::UnsignedLongDCBA: return "4294967295";
    case ValueFormat::FloatABCD:
    case ValueFormat::FloatCDAB:
    case ValueFormat::FloatBADC:
    case ValueFormat::FloatDCBA: return "-1.1754942e-38";
    case ValueFormat::DoubleABCDEFGH:
    case ValueFormat::DoubleHGFEDCBA: return "-2.2250738585072014e-308";
    }
    return "-32768";
}

#include "Slave_tables.h"

#include <cstdio>

#include "Text_grid.h"
#include "corvane.h"

uint16_t read_table_bit(const uint8_t *table, uint16_t n)
{
    if (n >= kSlaveEntries)
        return 0;
    uint32_t work = table[n / 8];
    const int16_t k = int16_t(n % 8);
    return bitrd(&work, k, k);
}

void write_table_bit(uint8_t *table, uint16_t n, uint16_t v)
{
    if (n >= kSlaveEntries)
        return;
    uint32_t work = table[n / 8];
    const int16_t k = int16_t(n % 8);
    bitwt(&work, k, k, int16_t(v & 1));
    table[n / 8] = uint8_t(work & 0xFF);
}

uint16_t SlaveTables::ReadInputRelay(uint16_t n) const { return read_table_bit(inputRelays, n); }
uint16_t SlaveTables::ReadCoil(uint16_t n) const { return read_table_bit(coils, n); }
void SlaveTables::WriteCoil(uint16_t n, uint16_t v) { write_table_bit(coils, n, v); }
void SlaveTables::WriteInputRelay(uint16_t n, uint16_t v) { write_table_bit(inputRelays, n, v); }

uint8_t SlaveTables::bitByte(int kind, uint16_t n) const
{
    if (n >= kSlaveEntries)
        return 0;
    return kind == KindInputRelay ? inputRelays[n / 8] : coils[n / 8];
}

uint16_t SlaveTables::reg(int kind, uint16_t n) const
{
    if (n >= kSlaveEntries)
        return 0;
    return kind == KindInputRegister ? inputRegisters[n] : holdingRegisters[n];
}

// ---- grids -----------------------------------------------------------------

void setup_bit_grid(TextGrid &grid, int kind, const uint8_t *table)
{
    grid.setColWidth(0, 80);
    grid.setRowCount(kSlaveEntries + 1);
    for (int r = 0; r < grid.rowCount(); ++r)
        for (int c = 0; c < grid.colCount(); ++c)
            grid.setCell(c, r, std::string());
    grid.setRowCount(kSlaveBitBytes + 1);
    grid.setColCount(9);

    grid.setCell(0, 0, kind == KindInputRelay ? "Input Relay" : "Output Coil");
    char text[32];
    for (int col = 1; col <= 8; ++col) {
        std::snprintf(text, sizeof text, "bits-%d", 8 - col);
        grid.setCell(col, 0, text);
    }
    const int base = kind == KindInputRelay ? 10000 : 0;
    for (int r = 1; r <= kSlaveBitBytes; ++r) {
        const int lo = 8 * (r - 1) + 1 + base;
        const int hi = lo + 7;
        std::snprintf(text, sizeof text, "%05d - %05d", hi, lo);
        grid.setCell(0, r, text);
        for (int col = 1; col <= 8; ++col)
            grid.setCell(col, r, std::string());
    }
    for (int n = 0; n < kSlaveEntries; ++n)
        show_bit_cell(grid, kind, table[n / 8], uint16_t(n));
}

void show_bit_cell(TextGrid &grid, int, uint8_t byte, uint16_t n)
{
    const int k = n % 8;
    grid.setCell(8 - k, n / 8 + 1, ((byte >> k) & 1) ? "On" : "Off");
}

void setup_register_grid(TextGrid &grid, int kind, const uint16_t *table)
{
    grid.setColWidth(0, 100);
    grid.setRowCount(kSlaveEntries + 1);
    for (int r = 0; r < grid.rowCount(); ++r)
        for (int c = 0; c < grid.colCount(); ++c)
            grid.setCell(c, r, std::string());

    grid.setCell(0, 0, kind == KindInputRegister ? "Input Register" : "Holding Register");
    grid.setCell(1, 0, "Decimal");
    grid.setCell(2, 0, "Hex.");
    const int base = kind == KindInputRegister ? 30001 : 40001;
    char text[16];
    for (int n = 0; n < kSlaveEntries; ++n) {
        std::snprintf(text, sizeof text, "%05d", base + n);
        grid.setCell(0, n + 1, text);
        show_register_row(grid, kind, table[n], uint16_t(n));
    }
}

void show_register_row(TextGrid &grid, int, uint16_t value, uint16_t n)
{
    char text[16];
    std::snprintf(text, sizeof text, "%6d", int(int16_t(value)));
    grid.setCell(1, n + 1, text);
    char hex[8] = "0x";
    itascxr(value, -4, hex + 2);
    hex[6] = '\0';
    grid.setCell(2, n + 1, hex);
}

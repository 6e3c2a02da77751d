// The four data tables of a slave station, their bit accessors, and the grid
// operations that lay them out and refresh one cell or row.
//
// Entries are numbered 0 to 1023 in every table. Bit entry n is bit (n mod 8)
// of byte (n div 8), bit 0 the least significant, which is the order Modbus
// bit data travel in. Registers are plain 16-bit words, shown signed.
#pragma once

#include <cstdint>

class TextGrid;

// Table kinds as the grids and the slave value dialog number them.
enum SlaveTableKind : int16_t {
    KindCoil = 1,             // output coils, 00001..01024, StringGrid1
    KindInputRelay = 2,       // input relays, 10001..11024, StringGrid2
    KindHoldingRegister = 3,  // holding registers, 40001..41024, StringGrid3
    KindInputRegister = 4,    // input registers, 30001..31024, StringGrid4
};

constexpr int kSlaveEntries = 1024;
constexpr int kSlaveBitBytes = kSlaveEntries / 8;

struct SlaveTables {
    uint8_t inputRelays[kSlaveBitBytes] = {};
    uint8_t coils[kSlaveBitBytes] = {};
    uint16_t inputRegisters[kSlaveEntries] = {};
    uint16_t holdingRegisters[kSlaveEntries] = {};

    // 0 or 1; entries beyond 1023 read as 0.
    uint16_t ReadInputRelay(uint16_t n) const;
    uint16_t ReadCoil(uint16_t n) const;
    // The entry takes the lowest bit of v; entries beyond 1023 are ignored.
    void WriteCoil(uint16_t n, uint16_t v);
    void WriteInputRelay(uint16_t n, uint16_t v);

    // The byte that holds bit entry n of a bit table (kind 1 or 2).
    uint8_t bitByte(int kind, uint16_t n) const;
    // Register n of a register table (kind 3 or 4).
    uint16_t reg(int kind, uint16_t n) const;
};

// One bit of a packed table, through a 32-bit work word with bitrd/bitwt.
uint16_t read_table_bit(const uint8_t *table, uint16_t n);
void write_table_bit(uint8_t *table, uint16_t n, uint16_t v);

// ---- grid operations -------------------------------------------------------
// Bit grids: 129 rows (a heading row, then 8 entries per row), 9 columns.
// Column 0 holds the row's address range, highest first; columns 1..8 hold
// bits 7..0 of the row's byte as "On" / "Off".
void setup_bit_grid(TextGrid &grid, int kind, const uint8_t *table);
void show_bit_cell(TextGrid &grid, int kind, uint8_t byte, uint16_t n);
// Register grids: 1025 rows, 3 columns: address, "%6d" decimal, "0x%04X".
void setup_register_grid(TextGrid &grid, int kind, const uint16_t *table);
void show_register_row(TextGrid &grid, int kind, uint16_t value, uint16_t n);

// What the serving engine reads and writes: the four tables of a slave,
// entries() entries each (numbered from 0), whatever holds them. The stations
// keep their fixed 1 024-entry SlaveTables; quillan-slave tables of any size
// up to 65 536 whose memory grows with the entries used (Paged_tables.h).
#pragma once

#include <cstdint>

#include "Slave_tables.h"

class SlaveMemory {
public:
    virtual uint32_t entries() const = 0;
    // Bit entry n of a bit table (KindCoil, KindInputRelay): 0 or 1.
    virtual uint16_t bit(int kind, uint32_t n) const = 0;
    // Takes the lowest bit of v.
    virtual void setBit(int kind, uint32_t n, uint16_t v) = 0;
    // Register n of a register table (KindHoldingRegister, KindInputRegister).
    virtual uint16_t reg(int kind, uint32_t n) const = 0;
    virtual void setReg(int kind, uint32_t n, uint16_t v) = 0;
    // Registers start to start + count - 1 of a register table, each high
    // byte first, into out (2 * count bytes), or written from data: a whole
    // request's registers in one call rather than one call per register.
    virtual void readRegs(int kind, uint32_t start, uint32_t count, uint8_t *out) const
    {
        for (uint32_t j = 0; j < count; ++j) {
            const uint16_t v = reg(kind, start + j);
            out[2 * j] = uint8_t(v >> 8);
            out[2 * j + 1] = uint8_t(v & 0xFF);
        }
    }
    virtual void writeRegs(int kind, uint32_t start, uint32_t count, const uint8_t *data)
    {
        for (uint32_t j = 0; j < count; ++j)
            setReg(kind, start + j, uint16_t(data[2 * j] << 8 | data[2 * j + 1]));
    }

protected:
    ~SlaveMemory() = default;
};

// A station's fixed tables seen as SlaveMemory.
class FixedTablesMemory final : public SlaveMemory {
public:
    explicit FixedTablesMemory(SlaveTables &t) : t_(t) {}
    uint32_t entries() const override { return kSlaveEntries; }
    uint16_t bit(int kind, uint32_t n) const override
    {
        if (n >= kSlaveEntries)
            return 0;
        return kind == KindInputRelay ? t_.ReadInputRelay(uint16_t(n)) : t_.ReadCoil(uint16_t(n));
    }
    void setBit(int kind, uint32_t n, uint16_t v) override
    {
        if (n >= kSlaveEntries)
            return;
        if (kind == KindInputRelay)
            t_.WriteInputRelay(uint16_t(n), v);
        else
            t_.WriteCoil(uint16_t(n), v);
    }
    uint16_t reg(int kind, uint32_t n) const override { return n < kSlaveEntries ? t_.reg(kind, uint16_t(n)) : 0; }
    void setReg(int kind, uint32_t n, uint16_t v) override
    {
        if (n < kSlaveEntries)
            (kind == KindInputRegister ? t_.inputRegisters : t_.holdingRegisters)[n] = v;
    }
    void readRegs(int kind, uint32_t start, uint32_t count, uint8_t *out) const override
    {
        const uint16_t *table = kind == KindInputRegister ? t_.inputRegisters : t_.holdingRegisters;
        for (uint32_t n = start; n < start + count; ++n) {
            const uint16_t v = n < kSlaveEntries ? table[n] : 0;
            *out++ = uint8_t(v >> 8);
            *out++ = uint8_t(v & 0xFF);
        }
    }
    void writeRegs(int kind, uint32_t start, uint32_t count, const uint8_t *data) override
    {
        uint16_t *table = kind == KindInputRegister ? t_.inputRegisters : t_.holdingRegisters;
        for (uint32_t n = start; n < start + count && n < kSlaveEntries; ++n, data += 2)
            table[n] = uint16_t(data[0] << 8 | data[1]);
    }

private:
    SlaveTables &t_;
};

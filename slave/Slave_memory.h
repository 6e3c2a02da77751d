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

private:
    SlaveTables &t_;
};

// The four tables of quillan-slave, of 1 024 to 65 536 entries each, whose
// memory grows with the entries used: each table is cut into pages of
// kPageEntries entries, and a page is made at the first write of a non-zero
// value into it. An entry of a page never made reads 0. So 247 devices of
// 65 536 entries cost a few kilobytes each until masters write to them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "Slave_memory.h"

class PagedTables final : public SlaveMemory {
public:
    static constexpr uint32_t kPageEntries = 1024;
    static constexpr uint32_t kMinEntries = 1024;
    static constexpr uint32_t kMaxEntries = 65536;

    // entries is brought into kMinEntries..kMaxEntries.
    explicit PagedTables(uint32_t entries = kMinEntries);
    PagedTables(const PagedTables &other);
    PagedTables &operator=(const PagedTables &other);
    PagedTables(PagedTables &&) noexcept = default;
    PagedTables &operator=(PagedTables &&) noexcept = default;
    ~PagedTables() = default;

    uint32_t entries() const override { return entries_; }
    uint16_t bit(int kind, uint32_t n) const override;
    void setBit(int kind, uint32_t n, uint16_t v) override;
    uint16_t reg(int kind, uint32_t n) const override;
    void setReg(int kind, uint32_t n, uint16_t v) override;
    void readRegs(int kind, uint32_t start, uint32_t count, uint8_t *out) const override;
    void writeRegs(int kind, uint32_t start, uint32_t count, const uint8_t *data) override;

    // Pages made, in all four tables.
    size_t pages() const;

private:
    using BitPage = std::unique_ptr<uint8_t[]>;    // kPageEntries / 8 bytes
    using RegPage = std::unique_ptr<uint16_t[]>;   // kPageEntries words
    uint32_t entries_;
    std::array<std::vector<BitPage>, 2> bits_;  // coils, input relays
    std::array<std::vector<RegPage>, 2> regs_;  // holding registers, input registers
};

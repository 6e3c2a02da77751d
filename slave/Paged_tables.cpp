#include "Paged_tables.h"

#include <algorithm>

namespace {

constexpr uint32_t kPage = PagedTables::kPageEntries;

size_t bit_table(int kind) { return kind == KindInputRelay ? 1 : 0; }
size_t reg_table(int kind) { return kind == KindInputRegister ? 1 : 0; }

}  // namespace

PagedTables::PagedTables(uint32_t entries) : entries_(std::clamp(entries, kMinEntries, kMaxEntries))
{
    const size_t pages = (entries_ + kPage - 1) / kPage;
    for (auto &t : bits_)
        t.resize(pages);
    for (auto &t : regs_)
        t.resize(pages);
}

PagedTables::PagedTables(const PagedTables &other) : PagedTables(other.entries_) { *this = other; }

PagedTables &PagedTables::operator=(const PagedTables &other)
{
    if (this == &other)
        return *this;
    entries_ = other.entries_;
    for (size_t k = 0; k < 2; ++k) {
        bits_[k].clear();
        regs_[k].clear();
        for (const BitPage &p : other.bits_[k]) {
            BitPage copy;
            if (p) {
                copy = std::make_unique<uint8_t[]>(kPage / 8);
                std::copy_n(p.get(), kPage / 8, copy.get());
            }
            bits_[k].push_back(std::move(copy));
        }
        for (const RegPage &p : other.regs_[k]) {
            RegPage copy;
            if (p) {
                copy = std::make_unique<uint16_t[]>(kPage);
                std::copy_n(p.get(), kPage, copy.get());
            }
            regs_[k].push_back(std::move(copy));
        }
    }
    return *this;
}

uint16_t PagedTables::bit(int kind, uint32_t n) const
{
    if (n >= entries_)
        return 0;
    const BitPage &p = bits_[bit_table(kind)][n / kPage];
    const uint32_t i = n % kPage;
    return p ? uint16_t(p[i / 8] >> (i % 8) & 1) : 0;
}

void PagedTables::setBit(int kind, uint32_t n, uint16_t v)
{
    if (n >= entries_)
        return;
    BitPage &p = bits_[bit_table(kind)][n / kPage];
    if (!p) {
        if ((v & 1) == 0)
            return;  // it reads 0 already
        p = std::make_unique<uint8_t[]>(kPage / 8);
    }
    const uint32_t i = n % kPage;
    const uint8_t mask = uint8_t(1u << (i % 8));
    p[i / 8] = uint8_t((v & 1) ? p[i / 8] | mask : p[i / 8] & ~mask);
}

uint16_t PagedTables::reg(int kind, uint32_t n) const
{
    if (n >= entries_)
        return 0;
    const RegPage &p = regs_[reg_table(kind)][n / kPage];
    return p ? p[n % kPage] : 0;
}

void PagedTables::setReg(int kind, uint32_t n, uint16_t v)
{
    if (n >= entries_)
        return;
    RegPage &p = regs_[reg_table(kind)][n / kPage];
    if (!p) {
        if (v == 0)
            return;
        p = std::make_unique<uint16_t[]>(kPage);
    }
    p[n % kPage] = v;
}

void PagedTables::readRegs(int kind, uint32_t start, uint32_t count, uint8_t *out) const
{
    const std::vector<RegPage> &table = regs_[reg_table(kind)];
    const uint32_t end = start + count;
    const uint32_t inside = std::min(end, entries_);
    uint32_t n = start;
    // Page by page; a page never made and what lies beyond the tables read
    // 0, as reg() has it.
    while (n < inside) {
        const uint32_t i = n % kPage;
        const uint32_t run = std::min(inside - n, kPage - i);
        if (const uint16_t *p = table[n / kPage].get()) {
            for (uint32_t j = 0; j < run; ++j) {
                out[2 * j] = uint8_t(p[i + j] >> 8);
                out[2 * j + 1] = uint8_t(p[i + j] & 0xFF);
            }
        } else {
            std::fill_n(out, 2 * size_t(run), uint8_t(0));
        }
        out += 2 * size_t(run);
        n += run;
    }
    if (n < end)
        std::fill_n(out, 2 * size_t(end - n), uint8_t(0));
}

void PagedTables::writeRegs(int kind, uint32_t start, uint32_t count, const uint8_t *data)
{
    std::vector<RegPage> &table = regs_[reg_table(kind)];
    for (uint32_t n = start, end = std::min(start + count, entries_); n < end;) {
        const uint32_t i = n % kPage;
        const uint32_t run = std::min(end - n, kPage - i);
        const uint8_t *from = data + 2 * size_t(n - start);
        RegPage &p = table[n / kPage];
        // A page is made only for a non-zero value, as setReg() makes it.
        if (!p && std::any_of(from, from + 2 * size_t(run), [](uint8_t b) { return b != 0; }))
            p = std::make_unique<uint16_t[]>(kPage);
        if (p)
            for (uint32_t j = 0; j < run; ++j)
                p[i + j] = uint16_t(from[2 * j] << 8 | from[2 * j + 1]);
        n += run;
    }
}

size_t PagedTables::pages() const
{
    size_t made = 0;
    for (const auto &t : bits_)
        made += size_t(std::count_if(t.begin(), t.end(), [](const BitPage &p) { return p != nullptr; }));
    for (const auto &t : regs_)
        made += size_t(std::count_if(t.begin(), t.end(), [](const RegPage &p) { return p != nullptr; }));
    return made;
}

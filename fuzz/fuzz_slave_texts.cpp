// The texts a slave reads from people and files: a unit list and a tables
// CSV. Any input is refused with a message or read; what is read is written
// back in a form that reads again to the same thing.
//
// Input: byte 0 bit 0 chooses the reader; the rest is the text. For a tables
// CSV, bit 1 reads it into tables of 1 024 x (1 + byte 0 >> 2) entries, as
// quillan-slave's --size gives them, instead of the stations' fixed ones.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "Table_csv.h"
#include "Unit_filter.h"

namespace {

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

bool same(const SlaveTables &a, const SlaveTables &b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const std::string_view text(reinterpret_cast<const char *>(data + 1), size - 1);
    std::string error;
    if (data[0] & 1) {
        UnitFilter f;
        if (!UnitFilter::parse(text, f, error)) {
            check(!error.empty() && f.all());
            return 0;
        }
        UnitFilter again;
        check(UnitFilter::parse(f.text(), again, error));
        check(again.text() == f.text() && again.all() == f.all());
        for (unsigned u = 0; u <= 256; ++u)
            check(again.allows(u) == f.allows(u));
        return 0;
    }
    if (data[0] & 2) {
        PagedTables t(1024u * (1u + (data[0] >> 2)));
        t.setReg(KindHoldingRegister, 5, 77);
        error = tables_from_csv(text, t, "--size");
        if (!error.empty()) {
            check(t.reg(KindHoldingRegister, 5) == 77 && t.pages() == 1);
            return 0;
        }
        const std::string saved = tables_to_csv(t);
        PagedTables back(t.entries());
        check(tables_from_csv(saved, back, "--size").empty());
        check(tables_to_csv(back) == saved);
        return 0;
    }
    SlaveTables t;
    t.holdingRegisters[5] = 77;
    const SlaveTables before = t;
    error = tables_from_csv(text, t);
    if (!error.empty()) {
        check(same(t, before));
        return 0;
    }
    const std::string saved = tables_to_csv(t);
    SlaveTables back;
    check(tables_from_csv(saved, back).empty());
    check(same(back, t) && tables_to_csv(back) == saved);
    return 0;
}

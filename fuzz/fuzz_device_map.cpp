// The device map reader on any text. Refused with a message naming the file
// and the map left as it was, or read; what was read writes back to a text
// that reads to the same, and the read plan carries every entry once within
// its request's limits.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Device_map.h"
#include "Read_plan.h"

namespace {

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

void check_plan(const Device_map &map, Plan_limits limits)
{
    const std::vector<Read_block> blocks = plan_reads(map.entries(), limits);
    std::vector<int> seen(map.size(), 0);
    for (const Read_block &b : blocks) {
        const int max = is_bit_table(b.table) ? limits.max_bits : limits.max_registers;
        check(b.count <= max || b.entries.size() == 1);
        check(uint32_t(b.start) + b.count <= 65536);
        for (const int i : b.entries) {
            const Map_entry &e = map.entries()[size_t(i)];
            check(e.device == b.device && e.table == b.table);
            check(e.index >= b.start && e.index + e.count() <= b.start + b.count);
            ++seen[size_t(i)];
        }
    }
    for (const int n : seen)
        check(n == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    Device_map map;
    check(map.read("name,address\nkeep,40001\n", "seed.csv").empty());
    const std::string before = map.text();
    const std::string error = map.read(text, "pump.csv");
    if (!error.empty()) {
        check(error.starts_with("pump.csv: ") && map.text() == before);
        return 0;
    }
    const std::string saved = map.text();
    Device_map back;
    check(back.read(saved, "pump.csv").empty());
    check(back.size() == map.size() && back.text() == saved);
    check_plan(map, kPlanLimits);
    check_plan(map, kAsciiPlanLimits);
    return 0;
}

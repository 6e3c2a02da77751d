#include "Line_mirror.h"

namespace {

// Entries past the last address do not exist; a write never wraps to 0.
Mirror_write write_of(uint8_t unit, Mirror_table table, int32_t address, std::vector<uint16_t> values)
{
    const size_t room = size_t(65536 - address);
    if (values.size() > room)
        values.resize(room);
    return {.unit = unit, .table = table, .address = uint16_t(address), .values = std::move(values)};
}

bool same_write(const Pdu_fields &a, const Pdu_fields &b)
{
    return a.address == b.address && a.values == b.values && !a.values.empty();
}

}  // namespace

std::vector<Mirror_write> mirror_writes(const Pdu_fields &rq, const Pdu_fields &an)
{
    std::vector<Mirror_write> out;
    if (!rq.valid || !an.valid || an.exception || rq.exception || rq.unit != an.unit || rq.function != an.function ||
        rq.address < 0)
        return out;
    const uint8_t unit = rq.unit;
    const size_t count = size_t(rq.count > 0 ? rq.count : 0);
    switch (rq.function) {
    case 1: case 2: {
        // Bits come in whole bytes: the answer holds exactly the bytes for count bits.
        if (count == 0 || an.values.size() != (count + 7) / 8 * 8)
            return out;
        std::vector<uint16_t> bits(an.values.begin(), an.values.begin() + ptrdiff_t(count));
        out.push_back(write_of(unit, rq.function == 1 ? Mirror_table::Coils : Mirror_table::Discrete_inputs,
                               rq.address, std::move(bits)));
        return out;
    }
    case 3: case 4:
        if (count == 0 || an.values.size() != count)
            return out;
        out.push_back(write_of(unit, rq.function == 3 ? Mirror_table::Holding_registers : Mirror_table::Input_registers,
                               rq.address, an.values));
        return out;
    case 5: case 6:
        if (same_write(rq, an))
            out.push_back(write_of(unit, rq.function == 5 ? Mirror_table::Coils : Mirror_table::Holding_registers,
                                   rq.address, an.values));
        return out;
    case 15: case 16:
        if (count == 0 || rq.values.size() != count || an.address != rq.address || an.count != rq.count)
            return out;
        out.push_back(write_of(unit, rq.function == 15 ? Mirror_table::Coils : Mirror_table::Holding_registers,
                               rq.address, rq.values));
        return out;
    case 23: {
        const size_t writes = size_t(rq.write_count > 0 ? rq.write_count : 0);
        if (count == 0 || an.values.size() != count || writes == 0 || rq.write_values.size() != writes ||
            rq.write_address < 0)
            return out;
        out.push_back(write_of(unit, Mirror_table::Holding_registers, rq.write_address, rq.write_values));
        out.push_back(write_of(unit, Mirror_table::Holding_registers, rq.address, an.values));
        return out;
    }
    default:
        return out;
    }
}

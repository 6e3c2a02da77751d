#include "Poll_plan.h"

#include "Engineering_value.h"
#include "Query.h"

namespace {

// The entry a --read block shows one value as: its address for a name.
Map_entry value_entry(Map_table table, uint32_t index, bool sixDigits, uint8_t unit, ValueFormat format)
{
    Map_entry e;
    e.table = table;
    e.index = uint16_t(index);
    e.six_digits = sixDigits || index > 9998;
    e.device = unit;
    e.format = format;
    e.writable = false;
    e.name = e.address();
    return e;
}

void set_read(Poll_job &job, Map_table table, uint8_t unit, uint16_t start, uint16_t count)
{
    job.reads = true;
    job.block.device = unit;
    job.block.table = table;
    job.block.start = start;
    job.block.count = count;
    job.request.unit = unit;
    job.request.function = uint8_t(read_function(table));
    job.request.address = uint16_t(start + 1);
    job.request.count = count;
}

// A write of coils (bits) or holding registers (words) from index on: one
// value of one coil or register as code 5 or 6, anything more as 15 or 16.
void set_write(Poll_job &job, bool coils, uint16_t index, const std::vector<uint8_t> &bits,
               const std::vector<uint16_t> &words)
{
    job.request.address = uint16_t(index + 1);
    if (coils && bits.size() == 1) {
        job.request.function = 5;
        job.request.value = bits[0];
    } else if (coils) {
        job.request.function = 15;
        job.request.bits = bits;
    } else if (words.size() == 1) {
        job.request.function = 6;
        job.request.value = words[0];
    } else {
        job.request.function = 16;
        job.request.words = words;
    }
}

std::string map_write(const Poll_step &s, const Device_map &map, Poll_job &job)
{
    const Map_entry *e = map.find(s.name);
    if (!e)
        return "no entry " + s.name + " in the map";
    if (!is_writable_table(e->table))
        return s.name + " is not a coil or holding register";
    const EncodedValue v = encode_engineering_text(*e, s.values);
    if (!v.ok())
        return v.error;
    parse_decimal(s.values, job.value);
    job.entry = e;
    job.request.unit = e->device;
    job.address = e->address();
    job.number = std::strtol(job.address.c_str(), nullptr, 10);
    const std::vector<uint16_t> words(v.words.begin(), v.words.begin() + v.count);
    const std::vector<uint8_t> bits(words.begin(), words.end());
    set_write(job, e->table == Map_table::Coils, e->index, bits, words);
    return {};
}

}  // namespace

Poll_job read_job(const Grid_address &at, uint16_t count, uint8_t unit, ValueFormat format, Poll_plan &plan)
{
    Poll_job job;
    const Map_table table = Map_table(at.kind);
    set_read(job, table, unit, at.index, count);
    const int width = at.bits() ? 1 : value_format_width(format);
    for (int k = 0; k + width <= count; k += width) {
        job.block.entries.push_back(int(plan.entries.size()));
        plan.entries.push_back(value_entry(table, uint32_t(at.index) + uint32_t(k), at.sixDigits, unit, format));
        plan.mapped.push_back(false);
    }
    return job;
}

std::string make_poll_plan(const Poll_options &o, const Device_map *map, Poll_plan &plan)
{
    plan = {};
    const uint8_t unit = uint8_t(o.unit);
    // The --only names first: a typing error there is found before all else.
    std::vector<Map_entry> picked;
    if (map) {
        if (o.only.empty()) {
            picked = map->entries();
        } else {
            for (const std::string &name : o.only) {
                const Map_entry *e = map->find(name);
                if (!e)
                    return "--only " + name + ": no such entry in the map";
                picked.push_back(*e);
            }
        }
    }
    for (const Poll_step &s : o.steps) {
        Poll_job job;
        job.kind = s.kind;
        job.given = s.given;
        job.request.unit = unit;
        switch (s.kind) {
        case Poll_step::Read:
            job = read_job(s.at, s.count, unit, o.format, plan);
            job.given = s.given;
            break;
        case Poll_step::Write:
            job.valueText = s.values;
            if (!s.name.empty()) {
                if (const std::string err = map_write(s, *map, job); !err.empty())
                    return s.given + ": " + err;
            } else {
                job.address = s.at.text();
                job.number = s.at.number();
                set_write(job, s.at.kind == 0, s.at.index, s.bits, s.words);
            }
            break;
        case Poll_step::MaskWrite:
            job.address = s.at.text();
            job.number = s.at.number();
            job.andMask = s.andMask;
            job.orMask = s.orMask;
            job.request.function = 22;
            job.request.pdu.resize(kMaxPdu);
            job.request.pdu.resize(size_t(mask_write_pdu(uint16_t(s.at.index + 1), s.andMask, s.orMask, job.request.pdu.data())));
            break;
        case Poll_step::ReadWrite: {
            job = read_job(s.at, s.count, unit, o.format, plan);
            job.kind = s.kind;
            job.given = s.given;
            job.address = s.writeAt.text();
            job.number = s.writeAt.number();
            job.valueText = s.values;
            job.request.function = 23;
            job.request.words = s.words;  // framed from the PDU; kept for the output
            job.request.pdu.resize(kMaxPdu);
            const int32_t n = read_write_pdu(uint16_t(s.at.index + 1), s.count, uint16_t(s.writeAt.index + 1),
                                             uint16_t(s.words.size()), s.words.data(), job.request.pdu.data());
            if (n < 0)
                return s.given + ": too many registers for one request";
            job.request.pdu.resize(size_t(n));
            break;
        }
        case Poll_step::Identify:
            job.request.function = 43;
            job.request.pdu.resize(kMaxPdu);
            job.request.pdu.resize(size_t(identify_pdu(1, 0, job.request.pdu.data())));
            break;
        case Poll_step::ReportId:
            job.request.function = 17;
            job.request.pdu.resize(kMaxPdu);
            job.request.pdu.resize(size_t(report_id_pdu(job.request.pdu.data())));
            break;
        case Poll_step::Map: {
            // The map's blocks, as the Watch page groups them.
            const size_t first = plan.entries.size();
            for (const Map_entry &e : picked) {
                plan.entries.push_back(e);
                plan.mapped.push_back(true);
            }
            const Plan_limits limits = o.transport == Poll_transport::Ascii ? kAsciiPlanLimits : kPlanLimits;
            for (Read_block &b : plan_reads(picked, limits)) {
                Poll_job blockJob;
                blockJob.kind = Poll_step::Map;
                blockJob.given = s.given;
                set_read(blockJob, b.table, b.device, b.start, b.count);
                for (int i : b.entries)
                    blockJob.block.entries.push_back(int(first) + i);
                plan.jobs.push_back(std::move(blockJob));
            }
            continue;
        }
        }
        plan.jobs.push_back(std::move(job));
    }
    return {};
}

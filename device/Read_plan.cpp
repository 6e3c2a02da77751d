#include "Read_plan.h"

#include <algorithm>
#include <cstdio>
#include <numeric>

#include "Engineering_value.h"

int read_function(Map_table t)
{
    switch (t) {
    case Map_table::Coils:
        return 1;
    case Map_table::InputRelays:
        return 2;
    case Map_table::HoldingRegisters:
        return 3;
    case Map_table::InputRegisters:
        break;
    }
    return 4;
}

std::vector<Read_block> plan_reads(std::span<const Map_entry> entries, Plan_limits limits)
{
    std::vector<int> order(entries.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](int a, int b) {
        const Map_entry &x = entries[size_t(a)], &y = entries[size_t(b)];
        if (x.device != y.device)
            return x.device < y.device;
        if (x.table != y.table)
            return x.table < y.table;
        return x.index < y.index;
    });
    // Taking each entry into the current block while it fits gives the
    // fewest blocks: a block that stopped earlier could only leave more
    // entries to the blocks after it.
    std::vector<Read_block> blocks;
    for (const int i : order) {
        const Map_entry &e = entries[size_t(i)];
        const bool bits = e.is_bit();
        const int64_t maxCount = bits ? limits.max_bits : limits.max_registers;
        const int64_t gap = bits ? limits.bit_gap : limits.register_gap;
        const int64_t end = int64_t(e.index) + e.count();
        if (!blocks.empty()) {
            Read_block &b = blocks.back();
            const int64_t blockEnd = int64_t(b.start) + b.count;
            if (b.device == e.device && b.table == e.table && int64_t(e.index) - blockEnd <= gap &&
                end - b.start <= maxCount) {
                b.count = uint16_t(std::max(blockEnd, end) - b.start);
                b.entries.push_back(i);
                continue;
            }
        }
        blocks.push_back({.device = e.device,
                          .table = e.table,
                          .start = e.index,
                          .count = uint16_t(e.count()),
                          .entries = {i}});
    }
    return blocks;
}

std::vector<uint16_t> unpack_read_answer(Map_table t, uint16_t count, std::span<const uint8_t> data)
{
    std::vector<uint16_t> values;
    if (is_bit_table(t)) {
        if (data.size() != (size_t(count) + 7) / 8)
            return values;
        values.resize(count);
        for (size_t i = 0; i < count; ++i)
            values[i] = (data[i / 8] >> (i % 8)) & 1;
    } else {
        if (data.size() != 2 * size_t(count))
            return values;
        values.resize(count);
        for (size_t i = 0; i < count; ++i)
            values[i] = uint16_t(data[2 * i] << 8 | data[2 * i + 1]);
    }
    return values;
}

std::string read_status_text(const Entry_reading &r)
{
    switch (r.status) {
    case Read_status::NotRead:
        return "-";
    case Read_status::Ok:
        return "ok";
    case Read_status::Exception: {
        char text[16];
        std::snprintf(text, sizeof text, "exception %02X", unsigned(r.exception));
        return text;
    }
    case Read_status::Timeout:
        return "time-out";
    case Read_status::CrcError:
        break;
    }
    return "CRC error";
}

std::string raw_text(const Map_entry &entry, const Entry_reading &r)
{
    if (r.raw_count == 0)
        return {};
    if (entry.is_bit())
        return r.raw[0] ? "On" : "Off";
    std::string text;
    for (int i = 0; i < r.raw_count && i < int(r.raw.size()); ++i) {
        char word[8];
        std::snprintf(word, sizeof word, "0x%04X", unsigned(r.raw[size_t(i)]));
        if (i)
            text += ' ';
        text += word;
    }
    return text;
}

void begin_cycle(std::span<Entry_reading> readings)
{
    for (Entry_reading &r : readings)
        r.fresh = false;
}

bool take_block_answer(const Read_block &block, std::span<const Map_entry> entries,
                       std::span<const uint16_t> values, int64_t now_ms, std::span<Entry_reading> readings)
{
    if (values.size() != block.count)
        return false;
    for (const int i : block.entries) {
        if (size_t(i) >= entries.size() || size_t(i) >= readings.size())
            return false;
        const Map_entry &e = entries[size_t(i)];
        if (e.index < block.start || size_t(e.index - block.start) + size_t(e.count()) > values.size())
            return false;
    }
    for (const int i : block.entries) {
        const Map_entry &e = entries[size_t(i)];
        const auto words = values.subspan(size_t(e.index - block.start), size_t(e.count()));
        Entry_reading &r = readings[size_t(i)];
        r.status = Read_status::Ok;
        r.exception = 0;
        r.fresh = true;
        r.value = engineering_value(e, words);
        r.raw = {};
        std::copy(words.begin(), words.end(), r.raw.begin());
        r.raw_count = int(words.size());
        r.updated_ms = now_ms;
    }
    return true;
}

void take_block_failure(const Read_block &block, Read_status status, uint8_t exception,
                        std::span<Entry_reading> readings)
{
    for (const int i : block.entries) {
        if (size_t(i) >= readings.size())
            continue;
        Entry_reading &r = readings[size_t(i)];
        r.status = status;
        r.exception = status == Read_status::Exception ? exception : 0;
        r.fresh = false;
    }
}

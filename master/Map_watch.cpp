#include "Map_watch.h"

void Map_watch::set_map(Device_map map, Plan_limits limits)
{
    map_ = std::move(map);
    blocks_ = plan_reads(map_.entries(), limits);
    readings_.assign(map_.size(), Entry_reading{});
}

Map_watch::Outcome Map_watch::take_answer(int block, std::span<const uint8_t> answer, int64_t now_ms)
{
    if (block < 0 || size_t(block) >= blocks_.size())
        return Outcome::Misfit;
    const Read_block &b = blocks_[size_t(block)];
    const int code = read_function(b.table);
    if (answer.size() >= 3 && answer[0] == b.device && answer[1] == (code | 0x80)) {
        take_block_failure(b, Read_status::Exception, answer[2], readings_);
        return Outcome::Exception;
    }
    if (answer.size() >= 3 && answer[0] == b.device && answer[1] == code && answer[2] == answer.size() - 3) {
        const std::vector<uint16_t> values = unpack_read_answer(b.table, b.count, answer.subspan(3));
        if (take_block_answer(b, map_.entries(), values, now_ms, readings_))
            return Outcome::Values;
    }
    take_block_failure(b, Read_status::CrcError, 0, readings_);
    return Outcome::Misfit;
}

void Map_watch::take_failure(int block, Read_status status)
{
    if (block >= 0 && size_t(block) < blocks_.size())
        take_block_failure(blocks_[size_t(block)], status, 0, readings_);
}

WriteJob watch_write_job(const Map_entry &entry, const EncodedValue &value)
{
    // The address as the operator counts it; 65536 wraps to 0, which the
    // request builders take back to register index 65535.
    WriteJob job{.device = entry.device, .address = uint16_t(entry.index + 1u)};
    if (entry.is_bit()) {
        job.function = 5;
        job.value = value.words[0] ? 1 : 0;  // the request builder sends 1 as 0xFF00
    } else if (value.count == 1) {
        job.function = 6;
        job.value = value.words[0];
    } else {
        job.function = 16;
        job.words.assign(value.words.begin(), value.words.begin() + value.count);
    }
    job.watchEntry = entry.name;
    return job;
}

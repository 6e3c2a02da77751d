// A master station watching a device map: the map, the requests that read
// it within the station's limits, what each answer makes of the entries, and
// the writes an entry's value in engineering units takes. Free of widgets
// and of the transport: the station hands over each block's answer as the
// device address, the function code and what follows, checksum and TCP
// header taken off.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "Device_map.h"
#include "Engineering_value.h"
#include "Read_plan.h"
#include "Write_job.h"

class Map_watch {
public:
    // Takes map as the one watched: its blocks planned within limits, every
    // entry not read yet.
    void set_map(Device_map map, Plan_limits limits);
    const Device_map &map() const { return map_; }
    bool loaded() const { return !map_.empty(); }
    std::span<const Map_entry> entries() const { return map_.entries(); }
    const std::vector<Read_block> &blocks() const { return blocks_; }
    std::span<const Entry_reading> readings() const { return readings_; }

    // A cycle begins: no reading is fresh.
    void begin_cycle() { ::begin_cycle(readings_); }

    enum class Outcome {
        Values,     // the block's entries took their values
        Exception,  // the device answered with an exception: its entries show it
        Misfit,     // not an answer to this block (another device or code, a wrong length): "CRC error"
    };
    // The answer to block (unit address, function code, data); now_ms is the
    // wall clock its values are stamped with.
    Outcome take_answer(int block, std::span<const uint8_t> answer, int64_t now_ms);
    // Block got no answer, or one that failed its checksum.
    void take_failure(int block, Read_status status);

private:
    Device_map map_;
    std::vector<Read_block> blocks_;
    std::vector<Entry_reading> readings_;
};

// The write that sets entry to the encoded value: code 5 for a coil, 6 for one register, 16 for more, to the entry's device.
WriteJob watch_write_job(const Map_entry &entry, const EncodedValue &value);

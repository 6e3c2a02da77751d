// What one poll of quillan-poll sends, worked out once before anything goes
// out: the requests in command-line order, each with what its answer
// carries. Every value read is an entry of a device map: the map's own
// entries, and for each --read block one entry per value, named by its
// address, in the --format given and unscaled. So the values of a poll are
// held, logged and printed alike however they were asked for.
#pragma once

#include <string>
#include <vector>

#include "Device_map.h"
#include "Poll_link.h"
#include "Poll_options.h"
#include "Read_plan.h"

struct Poll_job {
    Poll_step::Kind kind = Poll_step::Read;
    std::string given;  // the option as given
    Poll_request request;
    // Reads (Read, ReadWrite and the map's blocks): the entries the answer
    // carries, as indexes into Poll_plan::entries.
    bool reads = false;
    Read_block block;
    // Writes: where and what, for the output.
    std::string address;               // "40001"
    long number = 0;                   // 40001
    const Map_entry *entry = nullptr;  // a write by a map entry's name
    double value = 0;                  // its value in engineering units
    std::string valueText;             // the values as typed
    uint16_t andMask = 0, orMask = 0;  // MaskWrite
};

struct Poll_plan {
    std::vector<Map_entry> entries;  // every value read, in the order read
    std::vector<bool> mapped;        // entries[i] is the map's (shown in engineering units)
    std::vector<Poll_job> jobs;
};

// The plan, or why there is none: one line naming the option (status 2).
// map: the map read for --map, or nullptr without one.
std::string make_poll_plan(const Poll_options &o, const Device_map *map, Poll_plan &plan);

// A read of count registers or bits from `at` for unit, its values as new
// entries of plan (the scan's probe uses it too).
Poll_job read_job(const Grid_address &at, uint16_t count, uint8_t unit, ValueFormat format, Poll_plan &plan);

// Reading a map's entries: which requests read them (as few as the
// station's limits allow), and what each request's answer, or its failure,
// makes of the entries' readings.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "Device_map.h"

// How large a request may be, and how many unused registers or bits may lie
// between two entries that one request reads. An entry wider than the
// largest request still gets a request of its own.
struct Plan_limits {
    uint16_t max_registers = 120;
    uint16_t max_bits = 1920;
    uint16_t register_gap = 8;
    uint16_t bit_gap = 16;
};
inline constexpr Plan_limits kPlanLimits{};  // RTU and TCP
inline constexpr Plan_limits kAsciiPlanLimits{.max_registers = 60, .max_bits = 960};

// One request: count registers or bits from start (an index from 0) of one
// device's table, and the entries (indexes into the planned entries, in
// address order) its answer carries.
struct Read_block {
    uint8_t device = 1;
    Map_table table = Map_table::HoldingRegisters;
    uint16_t start = 0;
    uint16_t count = 0;
    std::vector<int> entries;
};

// The read function of a table: 1 coils, 2 input relays, 3 holding
// registers, 4 input registers.
int read_function(Map_table t);

// The fewest requests that read every entry: per device (ascending) and
// table (in Map_table order), entries taken in address order and joined
// while the unused gap and the request size allow. Entries must not
// overlap (a map that reads never has such).
std::vector<Read_block> plan_reads(std::span<const Map_entry> entries, Plan_limits limits);

// The values of a read answer's data bytes (those after the byte count):
// one word per register, high byte first, or one 0/1 per bit, the lowest
// bit of the first byte first. Empty when the bytes do not hold exactly
// count registers or count bits.
std::vector<uint16_t> unpack_read_answer(Map_table t, uint16_t count, std::span<const uint8_t> data);

// ---- readings ---------------------------------------------------------------
enum class Read_status : uint8_t { NotRead, Ok, Exception, Timeout, CrcError };

// What is known of one entry: the outcome of its last read, and the value,
// raw words and time of its last good read (kept when a read fails).
struct Entry_reading {
    Read_status status = Read_status::NotRead;
    uint8_t exception = 0;  // the exception code, for Read_status::Exception
    bool fresh = false;     // read well in the current cycle
    double value = std::numeric_limits<double>::quiet_NaN();  // engineering units
    std::array<uint16_t, 4> raw{};  // registers first first; a bit: one word 0 or 1
    int raw_count = 0;              // 0 until the first good read
    int64_t updated_ms = 0;         // wall clock of the last good read
};

// "ok", "exception 02", "time-out", "CRC error", or "-" when not read yet.
std::string read_status_text(const Entry_reading &r);
// The raw words in hexadecimal ("0x41C8 0x0000"), or "On"/"Off" for a bit;
// "" before the first good read.
std::string raw_text(const Map_entry &entry, const Entry_reading &r);

// Starts a cycle: no reading is fresh.
void begin_cycle(std::span<Entry_reading> readings);
// A block's answer: values holds one word per register or one 0/1 per bit
// of the block (as unpack_read_answer gives). Each entry it carries takes
// its value, raw words, now_ms and status ok. false, and nothing changes,
// when values does not hold exactly block.count values.
bool take_block_answer(const Read_block &block, std::span<const Map_entry> entries,
                       std::span<const uint16_t> values, int64_t now_ms, std::span<Entry_reading> readings);
// A block that failed: its entries take the status (and exception code)
// and keep their last value.
void take_block_failure(const Read_block &block, Read_status status, uint8_t exception,
                        std::span<Entry_reading> readings);

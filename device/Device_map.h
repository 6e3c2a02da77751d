// A device map: named values of one or more Modbus devices, each with the
// table and address it stands at, its value format, its scaling into
// engineering units and its unit. Read from and written to a CSV file that
// people keep beside their projects; the master stations, the slave side and
// the command-line master share it.
//
// The file: a header line naming the columns, in any order, then one line
// per entry.
//
//   name         unique, 1 to 64 of A-Z a-z 0-9 _ . -          required
//   address      as the grids show it: 5 digits (00001 coils,   required
//                10001 input relays, 30001 input registers,
//                40001 holding registers, numbers 1-9999) or
//                6 digits (000001 ... 465536, numbers 1-65536)
//   device       1 to 247                                       1
//   format       a value format's pick-list text exactly, or    Signed, or Bit
//                Bit for coils and input relays
//   scale        value = raw x scale + offset; scale not 0;     1
//   offset       bits take neither                              0
//   unit         at most 16 characters                          empty
//   writable     yes or no; only coils and holding registers    yes for those,
//                can be yes                                     else no
//   description  at most 256 characters                         empty
//   initial      kept as text for the slave side                 empty
//   simulate     kept as text for the slave side                 empty
//
// Column names are matched without regard to case; values are taken as
// written (format texts and yes/no exactly). Blanks around a field are
// dropped. Reading is all or nothing: the first bad line is named, as in
// "pump.csv: line 7: 40002: overlaps flow_rate (40001-40002)", and the map
// stays as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "Value_format.h"

inline constexpr size_t kMapMaxBytes = 1 << 20;
inline constexpr size_t kMapMaxEntries = 10000;
inline constexpr size_t kMapMaxName = 64;
inline constexpr size_t kMapMaxUnit = 16;          // characters, not bytes
inline constexpr size_t kMapMaxDescription = 256;  // characters, not bytes
inline constexpr const char *kBitFormatText = "Bit";

// The four tables, numbered as the master stations number their kinds.
enum class Map_table : uint8_t { Coils = 0, InputRelays = 1, HoldingRegisters = 2, InputRegisters = 3 };

// Coils and input relays hold bits; the other two registers.
inline bool is_bit_table(Map_table t) { return t == Map_table::Coils || t == Map_table::InputRelays; }
// Only coils and holding registers can be written.
inline bool is_writable_table(Map_table t) { return t == Map_table::Coils || t == Map_table::HoldingRegisters; }

// The address text of index (from 0) in table t: "40001" for holding
// register index 0, or "400001" with six digits. Five digits reach index
// 9998 only; a larger index gets six digits whatever six_digits says.
std::string map_address_text(Map_table t, uint32_t index, bool six_digits);
// Reads an address text of 5 or 6 digits; false when it is none.
bool parse_map_address(std::string_view text, Map_table &t, uint16_t &index, bool &six_digits);

struct Map_entry {
    std::string name;
    Map_table table = Map_table::HoldingRegisters;
    uint16_t index = 0;       // in its table, from 0 (address 40001 is index 0)
    bool six_digits = false;  // the address was written with six digits
    uint8_t device = 1;
    ValueFormat format = ValueFormat::Signed;  // registers only; bits have none
    double scale = 1;
    double offset = 0;
    std::string unit;
    bool writable = true;
    std::string description;
    std::string initial;
    std::string simulate;
    size_t line = 0;  // the file's line it came from (0 when not read from a file)

    bool is_bit() const { return is_bit_table(table); }
    // Registers (or bits) it covers: 1, 2 or 4.
    int count() const { return is_bit() ? 1 : value_format_width(format); }
    // Its address as written back ("40001").
    std::string address() const { return map_address_text(table, index, six_digits); }
    // "Bit" or the format's pick-list text.
    std::string format_text() const { return is_bit() ? kBitFormatText : value_format_text(format); }
};

class Device_map {
public:
    const std::vector<Map_entry> &entries() const { return entries_; }
    size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    // The entry of that name, or nullptr.
    const Map_entry *find(std::string_view name) const;

    // Replaces the map with what text holds and returns "", or leaves it as
    // it was and returns why not, as "LABEL: line 7: REASON" (label: the
    // file's name as the operator knows it, "pump.csv").
    std::string read(std::string_view text, std::string_view label);
    // The map as a CSV text that reads back to the same map: every column,
    // in the order of the table above, LF line ends.
    std::string text() const;

    // read() and text() through a file. Loading names the file by its last
    // path component; it takes regular files of at most kMapMaxBytes only.
    // Saving replaces the file only once the new one is whole. Both return
    // "" or the reason.
    std::string load(const std::string &path);
    std::string save(const std::string &path) const;

private:
    std::vector<Map_entry> entries_;
    std::unordered_map<std::string, size_t> by_name_;  // index into entries_
};

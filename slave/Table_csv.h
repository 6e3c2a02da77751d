// The four slave tables to and from a CSV text: one line "address,value" per
// entry, the address as the grids show it.
//
//   00001-01024 coils              10001-11024 input relays
//   30001-31024 input registers    40001-41024 holding registers
//
// Tables larger than 1 024 entries (quillan-slave's) take five-digit
// addresses up to number 9999 (41025 is holding register 1025) and six-digit
// ones for all: 000001-065536, 100001-165536, 300001-365536, 400001-465536.
// Saving writes entries above number 9999 with six digits. The stations'
// tables take a six-digit address too, within their 1 024 entries.
//
// Bits take 0 or 1, registers -32768 to 65535 (a negative value is the 16-bit
// word the grids show signed). Saving writes every non-zero entry in the
// order above, registers signed as the grids show them, one LF-ended line
// each, and no header.
//
// Loading is strict and all or nothing; the first bad line is named
// ("line 17: 40001,70000: value out of range") and the tables stay as they
// were. It accepts what spreadsheets and scripts write around the data:
// CR LF or LF line ends, a UTF-8 byte-order mark, blanks around the fields,
// blank lines, lines starting with '#', and a first line "address,value"
// (any case) as a header. An address given twice is an error. A text longer
// than kTableCsvMaxBytes or a line longer than kTableCsvMaxLine is refused
// without being read further, so a file of any size or content costs bounded
// time and memory.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "Paged_tables.h"
#include "Slave_memory.h"
#include "Slave_tables.h"

constexpr size_t kTableCsvMaxBytes = 1 << 20;
constexpr size_t kTableCsvMaxLine = 256;

std::string tables_to_csv(const SlaveTables &tables);
std::string tables_to_csv(const SlaveMemory &tables);

// Replaces all four tables with what text holds, or leaves them untouched
// and returns the line that says why not; empty on success.
std::string tables_from_csv(std::string_view text, SlaveTables &tables);
// The same for tables of any size; an entry beyond them is refused with
// sizeHint (such as "--size") saying how to make room.
std::string tables_from_csv(std::string_view text, PagedTables &tables, std::string_view sizeHint);

// The same through a file. Reading refuses anything but a regular file (a
// pipe or device could block or never end). Writing goes to a temporary file
// beside path that then replaces it, so a failed or interrupted save leaves
// the old file whole. Both return empty on success, else a line naming the
// file and the system's reason.
std::string load_tables_csv_file(const std::string &path, SlaveTables &tables);
std::string save_tables_csv_file(const std::string &path, const SlaveTables &tables);
std::string load_tables_csv_file(const std::string &path, PagedTables &tables, std::string_view sizeHint);
std::string save_tables_csv_file(const std::string &path, const SlaveMemory &tables);

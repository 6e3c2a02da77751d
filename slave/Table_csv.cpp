#include "Table_csv.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <vector>

#include "Device_map.h"
#include "Replaced_file.h"
#include "Slave_map.h"
#include "Trim_blanks.h"

namespace {

struct TableRange {
    int base;  // address of entry 0 as the grid shows it
    int kind;
};

// Five-digit addresses reach number 9999 of each table.
constexpr uint32_t kFiveDigitEntries = 9999;

constexpr TableRange kRanges[] = {
    {.base = 1, .kind = KindCoil},
    {.base = 10001, .kind = KindInputRelay},
    {.base = 30001, .kind = KindInputRegister},
    {.base = 40001, .kind = KindHoldingRegister},
};

// Decimal with an optional sign; a long run of digits saturates instead of
// overflowing, which lands it out of every range.
bool read_int(std::string_view s, long &v)
{
    bool negative = false;
    if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (s.empty())
        return false;
    long r = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        if (r < 1000000)
            r = r * 10 + (c - '0');
    }
    v = negative ? -r : r;
    return true;
}

// A line echoed in a message; bytes that cannot be shown become '?'.
std::string shown(std::string_view s)
{
    std::string out(s);
    for (char &c : out)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E)
            c = '?';
    return out;
}

std::string line_error(size_t number, std::string_view line, const std::string &what)
{
    return "line " + std::to_string(number) + ": " + shown(line) + ": " + what;
}

bool is_header(std::string_view line)
{
    static constexpr std::string_view header = "address,value";
    if (line.size() != header.size())
        return false;
    for (size_t i = 0; i < header.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(line[i])) != header[i])
            return false;
    return true;
}

std::string system_error(const char *what, const std::string &path)
{
    return std::string(what) + " " + path + ": " + std::strerror(errno);
}


// The text of tables of entries entries, get(kind, n) giving entry n.
template <class Get> std::string csv_text(uint32_t entries, Get get)
{
    std::string out;
    char line[32];
    for (const TableRange &r : kRanges) {
        const bool bits = r.kind == KindCoil || r.kind == KindInputRelay;
        for (uint32_t n = 0; n < entries; ++n) {
            const uint16_t v = get(r.kind, n);
            if (v == 0)
                continue;
            const int value = bits ? int(v) : int(int16_t(v));
            if (n < kFiveDigitEntries)
                std::snprintf(line, sizeof line, "%05d,%d\n", r.base + int(n), value);
            else
                std::snprintf(line, sizeof line, "%d%05u,%d\n", r.base / 10000, unsigned(n + 1), value);
            out += line;
        }
    }
    return out;
}

struct CsvValue {
    int kind;
    uint32_t n;
    uint16_t word;
};

// The entries of text for tables of entries entries, each given once, or the
// line that says why not. An entry beyond them is refused as beyond the
// tables, with sizeHint saying how to make room; without a hint a five-digit
// one is "no such address", as it always was for the stations' tables.
std::string read_csv(std::string_view text, uint32_t entries, std::string_view sizeHint, std::vector<CsvValue> &out)
{
    if (text.size() > kTableCsvMaxBytes)
        return "file too large (more than " + std::to_string(kTableCsvMaxBytes) + " bytes)";
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);

    // seen[] remembers on which line each entry was given.
    auto seen = std::make_unique<uint32_t[]>(std::size(kRanges) * entries);
    bool firstContent = true;
    size_t number = 0;
    while (!text.empty()) {
        ++number;
        const size_t lf = text.find('\n');
        std::string_view line = text.substr(0, lf);
        text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.size() > kTableCsvMaxLine)
            return "line " + std::to_string(number) + ": longer than " + std::to_string(kTableCsvMaxLine) +
                   " characters";
        line = trim_blanks(line);
        if (line.empty() || line.front() == '#')
            continue;
        const bool first = firstContent;
        firstContent = false;
        if (first && is_header(line))
            continue;

        const size_t comma = line.find(',');
        if (comma == std::string_view::npos || line.find(',', comma + 1) != std::string_view::npos)
            return line_error(number, line, "expected address,value");
        long address = 0, value = 0;
        const std::string_view addressText = trim_blanks(line.substr(0, comma));
        if (addressText.empty() || addressText.front() < '0' || addressText.front() > '9' ||
            !read_int(addressText, address))
            return line_error(number, line, "address is not a number");
        const TableRange *range = nullptr;
        size_t which = 0;
        uint32_t n = 0;
        bool sixDigits = false;
        if (addressText.size() == 6) {
            // Six digits: the table's digit, then the number from 1 to 65536.
            Map_table table{};
            uint16_t index = 0;
            if (parse_map_address(addressText, table, index, sixDigits))
                for (size_t i = 0; i < std::size(kRanges); ++i)
                    if (kRanges[i].kind == slave_table_kind(table)) {
                        range = &kRanges[i];
                        which = i;
                        n = index;
                    }
        } else {
            for (size_t i = 0; i < std::size(kRanges); ++i)
                if (address >= kRanges[i].base && address < kRanges[i].base + long(kFiveDigitEntries)) {
                    range = &kRanges[i];
                    which = i;
                    n = uint32_t(address - kRanges[i].base);
                }
        }
        if (!range || (n >= entries && !sixDigits && sizeHint.empty()))
            return line_error(number, line, "no such address");
        if (n >= entries) {
            std::string why = "beyond the tables' " + std::to_string(entries) + " entries";
            if (!sizeHint.empty())
                why += "; " + std::string(sizeHint) + " " + std::to_string(n + 1) + " or more makes room for it";
            return line_error(number, line, why);
        }
        if (!read_int(trim_blanks(line.substr(comma + 1)), value))
            return line_error(number, line, "value is not a number");
        const bool bits = range->kind == KindCoil || range->kind == KindInputRelay;
        if (bits ? (value < 0 || value > 1) : (value < -32768 || value > 65535))
            return line_error(number, line, "value out of range");
        uint32_t &given = seen[which * entries + n];
        if (given != 0)
            return line_error(number, line, "address given twice (line " + std::to_string(given) + ")");
        given = uint32_t(number);
        out.push_back({.kind = range->kind, .n = n, .word = uint16_t(value)});
    }
    return {};
}

}  // namespace

std::string tables_to_csv(const SlaveTables &tables)
{
    return csv_text(kSlaveEntries, [&](int kind, uint32_t n) -> uint16_t {
        if (kind == KindCoil)
            return tables.ReadCoil(uint16_t(n));
        if (kind == KindInputRelay)
            return tables.ReadInputRelay(uint16_t(n));
        return tables.reg(kind, uint16_t(n));
    });
}

std::string tables_to_csv(const SlaveMemory &tables)
{
    return csv_text(tables.entries(), [&](int kind, uint32_t n) -> uint16_t {
        return kind == KindCoil || kind == KindInputRelay ? tables.bit(kind, n) : tables.reg(kind, n);
    });
}

std::string tables_from_csv(std::string_view text, SlaveTables &tables)
{
    std::vector<CsvValue> values;
    if (std::string problem = read_csv(text, kSlaveEntries, {}, values); !problem.empty())
        return problem;
    // Filled into a fresh set so that the caller's changes all at once.
    auto fresh = std::make_unique<SlaveTables>();
    FixedTablesMemory memory(*fresh);
    for (const CsvValue &v : values) {
        if (v.kind == KindCoil || v.kind == KindInputRelay)
            memory.setBit(v.kind, v.n, v.word);
        else
            memory.setReg(v.kind, v.n, v.word);
    }
    tables = *fresh;
    return {};
}

std::string tables_from_csv(std::string_view text, PagedTables &tables, std::string_view sizeHint)
{
    std::vector<CsvValue> values;
    if (std::string problem = read_csv(text, tables.entries(), sizeHint, values); !problem.empty())
        return problem;
    PagedTables fresh(tables.entries());
    for (const CsvValue &v : values) {
        if (v.kind == KindCoil || v.kind == KindInputRelay)
            fresh.setBit(v.kind, v.n, v.word);
        else
            fresh.setReg(v.kind, v.n, v.word);
    }
    tables = std::move(fresh);
    return {};
}

namespace {

// The file's text, or why it cannot be read; a file of any size or kind
// costs bounded time and memory.
std::string read_table_file(const std::string &path, std::string &text)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return system_error("cannot open", path);
    if (!S_ISREG(st.st_mode))
        return "cannot load " + path + ": not a regular file";
    if (size_t(st.st_size) > kTableCsvMaxBytes)
        return "cannot load " + path + ": file too large (more than " + std::to_string(kTableCsvMaxBytes) +
               " bytes)";
    std::unique_ptr<FILE, int (*)(FILE *)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!f)
        return system_error("cannot open", path);
    // One byte more than accepted tells a file that grew since stat().
    text.assign(kTableCsvMaxBytes + 1, '\0');
    const size_t got = std::fread(text.data(), 1, text.size(), f.get());
    if (std::ferror(f.get()))
        return system_error("cannot read", path);
    text.resize(got);
    return {};
}

std::string write_table_file(const std::string &path, const std::string &text)
{
    Replaced_file file(path);
    file.write(text);
    if (const int error = file.commit(); error != 0) {
        errno = error;
        return system_error("cannot write", path);
    }
    return {};
}

}  // namespace

std::string load_tables_csv_file(const std::string &path, SlaveTables &tables)
{
    std::string text;
    if (std::string problem = read_table_file(path, text); !problem.empty())
        return problem;
    const std::string problem = tables_from_csv(text, tables);
    return problem.empty() ? problem : path + ": " + problem;
}

std::string load_tables_csv_file(const std::string &path, PagedTables &tables, std::string_view sizeHint)
{
    std::string text;
    if (std::string problem = read_table_file(path, text); !problem.empty())
        return problem;
    const std::string problem = tables_from_csv(text, tables, sizeHint);
    return problem.empty() ? problem : path + ": " + problem;
}

std::string save_tables_csv_file(const std::string &path, const SlaveTables &tables)
{
    return write_table_file(path, tables_to_csv(tables));
}

std::string save_tables_csv_file(const std::string &path, const SlaveMemory &tables)
{
    return write_table_file(path, tables_to_csv(tables));
}

#include "Table_csv.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/stat.h>

#include "Replaced_file.h"
#include "Trim_blanks.h"

namespace {

struct TableRange {
    int base;  // address of entry 0 as the grid shows it
    int kind;
};

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

std::string line_error(size_t number, std::string_view line, const char *what)
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

void set_entry(SlaveTables &t, int kind, uint16_t n, long value)
{
    switch (kind) {
    case KindCoil: t.WriteCoil(n, uint16_t(value)); break;
    case KindInputRelay: t.WriteInputRelay(n, uint16_t(value)); break;
    case KindInputRegister: t.inputRegisters[n] = uint16_t(value); break;
    case KindHoldingRegister: t.holdingRegisters[n] = uint16_t(value); break;
    default: break;
    }
}

uint16_t entry(const SlaveTables &t, int kind, uint16_t n)
{
    switch (kind) {
    case KindCoil: return t.ReadCoil(n);
    case KindInputRelay: return t.ReadInputRelay(n);
    default: return t.reg(kind, n);
    }
}

std::string system_error(const char *what, const std::string &path)
{
    return std::string(what) + " " + path + ": " + std::strerror(errno);
}

}  // namespace

std::string tables_to_csv(const SlaveTables &tables)
{
    std::string out;
    char line[32];
    for (const TableRange &r : kRanges) {
        const bool bits = r.kind == KindCoil || r.kind == KindInputRelay;
        for (int n = 0; n < kSlaveEntries; ++n) {
            const uint16_t v = entry(tables, r.kind, uint16_t(n));
            if (v == 0)
                continue;
            std::snprintf(line, sizeof line, "%05d,%d\n", r.base + n, bits ? int(v) : int(int16_t(v)));
            out += line;
        }
    }
    return out;
}

std::string tables_from_csv(std::string_view text, SlaveTables &tables)
{
    if (text.size() > kTableCsvMaxBytes)
        return "file too large (more than " + std::to_string(kTableCsvMaxBytes) + " bytes)";
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);

    // Parsed into a fresh set so that a bad line leaves the caller's alone;
    // seen[] remembers on which line each entry was given.
    auto fresh = std::make_unique<SlaveTables>();
    auto seen = std::make_unique<uint32_t[]>(std::size(kRanges) * kSlaveEntries);
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
        for (size_t i = 0; i < std::size(kRanges); ++i)
            if (address >= kRanges[i].base && address < kRanges[i].base + kSlaveEntries) {
                range = &kRanges[i];
                which = i;
            }
        if (!range)
            return line_error(number, line, "no such address");
        if (!read_int(trim_blanks(line.substr(comma + 1)), value))
            return line_error(number, line, "value is not a number");
        const bool bits = range->kind == KindCoil || range->kind == KindInputRelay;
        if (bits ? (value < 0 || value > 1) : (value < -32768 || value > 65535))
            return line_error(number, line, "value out of range");
        const uint16_t n = uint16_t(address - range->base);
        uint32_t &given = seen[which * kSlaveEntries + n];
        if (given != 0)
            return line_error(number, line, ("address given twice (line " + std::to_string(given) + ")").c_str());
        given = uint32_t(number);
        set_entry(*fresh, range->kind, n, value);
    }
    tables = *fresh;
    return {};
}

std::string load_tables_csv_file(const std::string &path, SlaveTables &tables)
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
    std::string text(kTableCsvMaxBytes + 1, '\0');
    const size_t got = std::fread(text.data(), 1, text.size(), f.get());
    if (std::ferror(f.get()))
        return system_error("cannot read", path);
    text.resize(got);
    const std::string problem = tables_from_csv(text, tables);
    return problem.empty() ? problem : path + ": " + problem;
}

std::string save_tables_csv_file(const std::string &path, const SlaveTables &tables)
{
    Replaced_file file(path);
    file.write(tables_to_csv(tables));
    if (const int error = file.commit(); error != 0) {
        errno = error;
        return system_error("cannot write", path);
    }
    return {};
}

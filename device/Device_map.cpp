#include "Device_map.h"

#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>

#include "Csv_text.h"
#include "Engineering_value.h"
#include "Replaced_file.h"
#include "Small_file.h"

namespace {

enum Column { Name, Address, Device, Format, Scale, Offset, Unit, Writable, Description, Initial, Simulate };
constexpr int kColumnCount = 11;
constexpr std::array<const char *, kColumnCount> kColumnNames = {
    "name", "address", "device", "format", "scale", "offset", "unit", "writable", "description", "initial", "simulate"};

// Address prefix digit of each table, in Map_table order.
constexpr char kPrefix[4] = {'0', '1', '4', '3'};

const char *table_plural(Map_table t)
{
    switch (t) {
    case Map_table::Coils:
        return "coils";
    case Map_table::InputRelays:
        return "input relays";
    case Map_table::HoldingRegisters:
        return "holding registers";
    case Map_table::InputRegisters:
        break;
    }
    return "input registers";
}

bool same_nocase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = char(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = char(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

// Code points of s, or -1 when s is not UTF-8.
long utf8_chars(std::string_view s)
{
    long chars = 0;
    for (size_t i = 0; i < s.size(); ++chars) {
        const auto c = static_cast<unsigned char>(s[i]);
        size_t more;
        uint32_t cp;
        if (c < 0x80) {
            more = 0;
            cp = c;
        } else if (c >= 0xC2 && c < 0xE0) {
            more = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c < 0xF0) {
            more = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c < 0xF5) {
            more = 3;
            cp = c & 0x07;
        } else {
            return -1;
        }
        if (i + more >= s.size())
            return -1;
        for (size_t k = 1; k <= more; ++k) {
            const auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80)
                return -1;
            cp = cp << 6 | (d & 0x3F);
        }
        // Overlong forms, surrogates and code points past U+10FFFF.
        if ((more == 2 && cp < 0x800) || (more == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return -1;
        i += more + 1;
    }
    return chars;
}

// A field echoed in a message: control bytes become '?', and a long one is
// cut (at a character's start) so that a message stays one short line.
std::string shown(std::string_view s)
{
    constexpr size_t kMax = 40;
    std::string out;
    size_t end = s.size();
    if (end > kMax) {
        end = kMax;
        while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80)
            --end;
    }
    for (size_t i = 0; i < end; ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        out += c < 0x20 || c == 0x7F ? '?' : char(c);
    }
    if (end < s.size())
        out += "...";
    return out;
}

bool valid_name(std::string_view s)
{
    if (s.empty() || s.size() > kMapMaxName)
        return false;
    for (char c : s)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
              c == '-'))
            return false;
    return true;
}

std::string number_text(double v)
{
    char text[40];
    const auto r = std::to_chars(text, text + sizeof text, v);
    return std::string(text, r.ptr);
}

// Where each register of each device's table is taken: device, table and
// index in one key.
uint32_t cell_key(const Map_entry &e, int k)
{
    return uint32_t(e.device) << 18 | uint32_t(e.table) << 16 | (uint32_t(e.index) + uint32_t(k));
}

std::string range_text(const Map_entry &e)
{
    const std::string first = e.address();
    if (e.count() == 1)
        return first;
    return first + "-" + map_address_text(e.table, uint32_t(e.index) + uint32_t(e.count()) - 1, e.six_digits);
}

// One entry's fields, checked in the table's order; "" or "SUBJECT: REASON".
std::string read_entry(const std::array<const std::string *, kColumnCount> &field, Map_entry &e)
{
    static const std::string kNone;
    auto get = [&](Column c) -> const std::string & { return field[c] ? *field[c] : kNone; };

    const std::string &name = get(Name);
    if (name.empty())
        return "name: missing";
    if (!valid_name(name))
        return shown(name) + ": not a name (1 to 64 of A-Z a-z 0-9 _ . -)";
    e.name = name;

    const std::string &address = get(Address);
    if (address.empty())
        return "address: missing";
    if (!parse_map_address(address, e.table, e.index, e.six_digits))
        return shown(address) + ": not an address (5 or 6 digits, as 40001 or 400001)";

    if (const std::string &device = get(Device); !device.empty()) {
        unsigned v = 0;
        const auto r = std::from_chars(device.data(), device.data() + device.size(), v);
        if (r.ec != std::errc() || r.ptr != device.data() + device.size() || v < 1 || v > 247)
            return shown(device) + ": device is 1 to 247";
        e.device = uint8_t(v);
    }

    const std::string &format = get(Format);
    if (e.is_bit()) {
        if (!format.empty() && format != kBitFormatText)
            return shown(format) + ": " + table_plural(e.table) + " take the format Bit";
    } else if (!format.empty()) {
        if (format == kBitFormatText)
            return shown(format) + ": only coils and input relays take the format Bit";
        bool found = false;
        for (int i = 0; i < kValueFormatCount && !found; ++i) {
            ValueFormat f{};
            value_format_from_index(i, f);
            if (format == value_format_text(f)) {
                e.format = f;
                found = true;
            }
        }
        if (!found)
            return shown(format) + ": not a format";
    }
    if (uint32_t(e.index) + uint32_t(e.count()) > 65536)
        return shown(address) + ": " + e.format_text() + " takes " + std::to_string(e.count()) +
               " registers, past the last one";

    const std::pair<Column, double *> numbers[] = {{Scale, &e.scale}, {Offset, &e.offset}};
    for (const auto &[column, target] : numbers) {
        const std::string &text = get(column);
        if (text.empty())
            continue;
        if (!parse_decimal(text, *target))
            return shown(text) + ": " + kColumnNames[column] + " is not a number";
        if (column == Scale && *target == 0)
            return shown(text) + ": scale must not be 0";
        if (e.is_bit() && *target != (column == Scale ? 1 : 0))
            return shown(text) + ": bits take no " + kColumnNames[column];
    }

    e.unit = get(Unit);
    const long unitChars = utf8_chars(e.unit);
    if (unitChars < 0)
        return "unit: not UTF-8";
    if (size_t(unitChars) > kMapMaxUnit)
        return shown(e.unit) + ": unit longer than 16 characters";
    for (char c : e.unit)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return shown(e.unit) + ": unit holds a control character";

    e.writable = is_writable_table(e.table);
    if (const std::string &writable = get(Writable); !writable.empty()) {
        if (writable != "yes" && writable != "no")
            return shown(writable) + ": writable is yes or no";
        e.writable = writable == "yes";
        if (e.writable && !is_writable_table(e.table))
            return shown(writable) + ": " + table_plural(e.table) + " cannot be written";
    }

    e.description = get(Description);
    const long descriptionChars = utf8_chars(e.description);
    if (descriptionChars < 0)
        return "description: not UTF-8";
    if (size_t(descriptionChars) > kMapMaxDescription)
        return "description: longer than 256 characters";

    e.initial = get(Initial);
    e.simulate = get(Simulate);
    if (utf8_chars(e.initial) < 0)
        return "initial: not UTF-8";
    if (utf8_chars(e.simulate) < 0)
        return "simulate: not UTF-8";
    return {};
}

}  // namespace

std::string map_address_text(Map_table t, uint32_t index, bool six_digits)
{
    const uint32_t number = index + 1;
    char text[16];
    if (!six_digits && number <= 9999)
        std::snprintf(text, sizeof text, "%c%04u", kPrefix[int(t) & 3], unsigned(number));
    else
        std::snprintf(text, sizeof text, "%c%05u", kPrefix[int(t) & 3], unsigned(number));
    return text;
}

bool parse_map_address(std::string_view text, Map_table &t, uint16_t &index, bool &six_digits)
{
    if (text.size() != 5 && text.size() != 6)
        return false;
    uint32_t number = 0;
    for (char c : text.substr(1)) {
        if (c < '0' || c > '9')
            return false;
        number = number * 10 + uint32_t(c - '0');
    }
    Map_table table;
    switch (text[0]) {
    case '0':
        table = Map_table::Coils;
        break;
    case '1':
        table = Map_table::InputRelays;
        break;
    case '3':
        table = Map_table::InputRegisters;
        break;
    case '4':
        table = Map_table::HoldingRegisters;
        break;
    default:
        return false;
    }
    const bool six = text.size() == 6;
    if (number < 1 || number > (six ? 65536u : 9999u))
        return false;
    t = table;
    index = uint16_t(number - 1);
    six_digits = six;
    return true;
}

const Map_entry *Device_map::find(std::string_view name) const
{
    const auto it = by_name_.find(std::string(name));
    return it == by_name_.end() ? nullptr : &entries_[it->second];
}

std::string Device_map::read(std::string_view text, std::string_view label)
{
    const std::string prefix = std::string(label) + ": ";
    auto at = [&](size_t line, const std::string &what) {
        return prefix + "line " + std::to_string(line) + ": " + what;
    };
    if (text.size() > kMapMaxBytes)
        return prefix + "larger than " + std::to_string(kMapMaxBytes) + " bytes";

    Csv_reader reader(text);
    std::vector<std::string> fields;
    Csv_reader::Step step = reader.next(fields);
    if (step == Csv_reader::Step::Error)
        return at(reader.line(), reader.error());
    if (step == Csv_reader::Step::End)
        return prefix + "no header line";

    // The header: which column each field is.
    const size_t headerLine = reader.line();
    std::vector<int> columnOf(fields.size(), -1);
    std::array<bool, kColumnCount> present{};
    std::string unknown;
    int unknownCount = 0;
    for (size_t i = 0; i < fields.size(); ++i) {
        for (int c = 0; c < kColumnCount; ++c)
            if (same_nocase(fields[i], kColumnNames[size_t(c)]))
                columnOf[i] = c;
        if (columnOf[i] < 0) {
            if (fields[i].empty())
                return at(headerLine, "column " + std::to_string(i + 1) + " has no name");
            unknown += (unknownCount++ ? ", " : "") + shown(fields[i]);
            continue;
        }
        if (present[size_t(columnOf[i])])
            return at(headerLine, std::string(kColumnNames[size_t(columnOf[i])]) + ": column given twice");
        present[size_t(columnOf[i])] = true;
    }
    if (unknownCount > 0)
        return at(headerLine, unknown + (unknownCount > 1 ? ": unknown columns" : ": unknown column"));
    for (Column required : {Name, Address})
        if (!present[required])
            return at(headerLine, std::string(kColumnNames[required]) + ": column missing");
    const size_t columns = columnOf.size();

    std::vector<Map_entry> entries;
    std::unordered_map<std::string, size_t> byName;
    std::unordered_map<uint32_t, uint32_t> taken;  // cell_key -> entry
    std::array<const std::string *, kColumnCount> field{};
    while ((step = reader.next(fields)) == Csv_reader::Step::Record) {
        const size_t line = reader.line();
        if (fields.size() != columns)
            return at(line, std::to_string(fields.size()) + (fields.size() == 1 ? " field" : " fields") +
                                " where the header has " + std::to_string(columns));
        if (entries.size() == kMapMaxEntries)
            return at(line, "more than " + std::to_string(kMapMaxEntries) + " entries");
        field.fill(nullptr);
        for (size_t i = 0; i < columns; ++i)
            field[size_t(columnOf[i])] = &fields[i];
        Map_entry e;
        e.line = line;
        if (std::string why = read_entry(field, e); !why.empty())
            return at(line, why);
        if (const auto it = byName.find(e.name); it != byName.end())
            return at(line, e.name + ": name already used on line " + std::to_string(entries[it->second].line));
        for (int k = 0; k < e.count(); ++k)
            if (const auto it = taken.find(cell_key(e, k)); it != taken.end()) {
                const Map_entry &other = entries[it->second];
                return at(line, e.address() + ": overlaps " + other.name + " (" + range_text(other) + ")" +
                                    (e.device != 1 ? " of device " + std::to_string(e.device) : std::string()));
            }
        for (int k = 0; k < e.count(); ++k)
            taken.emplace(cell_key(e, k), uint32_t(entries.size()));
        byName.emplace(e.name, entries.size());
        entries.push_back(std::move(e));
    }
    if (step == Csv_reader::Step::Error)
        return at(reader.line(), reader.error());
    entries_ = std::move(entries);
    by_name_ = std::move(byName);
    return {};
}

std::string Device_map::text() const
{
    std::string out;
    out.reserve(64 * (entries_.size() + 1));
    for (int c = 0; c < kColumnCount; ++c) {
        out += c ? "," : "";
        out += kColumnNames[size_t(c)];
    }
    out += '\n';
    for (const Map_entry &e : entries_) {
        out += e.name;
        out += ',';
        out += e.address();
        out += ',';
        out += std::to_string(e.device);
        out += ',';
        out += e.format_text();
        out += ',';
        out += number_text(e.scale);
        out += ',';
        out += number_text(e.offset);
        out += ',';
        out += csv_field(e.unit);
        out += ',';
        out += e.writable ? "yes" : "no";
        out += ',';
        out += csv_field(e.description);
        out += ',';
        out += csv_field(e.initial);
        out += ',';
        out += csv_field(e.simulate);
        out += '\n';
    }
    return out;
}

std::string Device_map::load(const std::string &path)
{
    const std::string label = std::filesystem::path(path).filename().string();
    std::string bytes;
    if (std::string problem = read_small_file(path, kMapMaxBytes, bytes); !problem.empty())
        return label + ": " + problem;
    return read(bytes, label);
}

std::string Device_map::save(const std::string &path) const
{
    Replaced_file file(path);
    file.write(text());
    if (const int error = file.commit(); error != 0)
        return std::filesystem::path(path).filename().string() + ": " + std::strerror(error);
    return {};
}

#include "Engineering_value.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace {

constexpr const char *kReadOnly = "read-only";

std::string g_text(double v, int digits)
{
    if (v == 0)
        v = 0;  // no "-0"
    char text[48];
    std::snprintf(text, sizeof text, "%.*g", digits, v);
    return text;
}

bool identity(const Map_entry &e) { return e.scale == 1 && e.offset == 0; }

// The raw values the entry's registers hold.
NumberRange raw_range(const Map_entry &e)
{
    if (e.is_bit())
        return {.low = 0, .high = 1, .integer = true, .single = false};
    return value_format_range(e.format);
}

EncodedValue refused(std::string why)
{
    EncodedValue out;
    out.error = std::move(why);
    return out;
}

}  // namespace

bool parse_decimal(std::string_view s, double &value)
{
    if (!s.empty() && s.front() == '+')
        s.remove_prefix(1);
    if (s.empty() || s.front() == '+')
        return false;
    double v = 0;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), v, std::chars_format::general);
    if (r.ec != std::errc() || r.ptr != s.data() + s.size() || !std::isfinite(v))
        return false;
    value = v;
    return true;
}

double engineering_value(const Map_entry &entry, std::span<const uint16_t> raw)
{
    if (raw.size() < size_t(entry.count()))
        return std::numeric_limits<double>::quiet_NaN();
    const double r = entry.is_bit() ? (raw[0] != 0 ? 1.0 : 0.0) : decode_number(entry.format, raw);
    return r * entry.scale + entry.offset;
}

std::string engineering_text(const Map_entry &entry, double value)
{
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value < 0 ? "-Inf" : "Inf";
    const NumberRange raw = raw_range(entry);
    char text[48];
    if (raw.single && std::fabs(value) <= double(std::numeric_limits<float>::max())) {
        // Shortest text that reads back to the same float.
        const auto r = std::to_chars(text, text + sizeof text, float(value) == 0 ? 0.0f : float(value));
        return std::string(text, r.ptr);
    }
    if (!raw.integer && !raw.single && identity(entry)) {
        const auto r = std::to_chars(text, text + sizeof text, value == 0 ? 0.0 : value);
        return std::string(text, r.ptr);
    }
    return g_text(value, 15);
}

Engineering_range engineering_range(const Map_entry &entry)
{
    const NumberRange raw = raw_range(entry);
    const double a = raw.low * entry.scale + entry.offset;
    const double b = raw.high * entry.scale + entry.offset;
    return a <= b ? Engineering_range{.low = a, .high = b} : Engineering_range{.low = b, .high = a};
}

EncodedValue encode_engineering(const Map_entry &entry, double value)
{
    if (!entry.writable)
        return refused(kReadOnly);
    if (!std::isfinite(value))
        return refused(kNotANumber);
    const NumberRange range = raw_range(entry);
    double raw = (value - entry.offset) / entry.scale;
    if (range.integer)
        raw = std::round(raw);
    if (!(raw >= range.low && raw <= range.high)) {
        const Engineering_range e = engineering_range(entry);
        const int digits = range.integer ? 15 : 7;
        return refused("out of range: " + g_text(e.low, digits) + " to " + g_text(e.high, digits) +
                       (entry.unit.empty() ? "" : " " + entry.unit));
    }
    if (entry.is_bit()) {
        EncodedValue out;
        out.words[0] = raw != 0 ? 1 : 0;
        out.count = 1;
        return out;
    }
    return encode_number(entry.format, raw);
}

EncodedValue encode_engineering_text(const Map_entry &entry, std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    if (!entry.writable)
        return refused(kReadOnly);
    double value = 0;
    if (!parse_decimal(text, value))
        return refused(kNotANumber);
    return encode_engineering(entry, value);
}

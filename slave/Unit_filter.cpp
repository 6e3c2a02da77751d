#include "Unit_filter.h"

#include <string>

#include "Trim_blanks.h"

namespace {

// A decimal address 0..kMaxUnit. Digits beyond the range stop counting early,
// so a run of any length cannot overflow.
enum class Number { Ok, NotNumber, TooLarge };

Number read_unit(std::string_view s, unsigned &value)
{
    if (s.empty())
        return Number::NotNumber;
    unsigned v = 0;
    bool large = false;
    for (char c : s) {
        if (c < '0' || c > '9')
            return Number::NotNumber;
        if (!large) {
            v = v * 10 + unsigned(c - '0');
            large = v > UnitFilter::kMaxUnit;
        }
    }
    if (large)
        return Number::TooLarge;
    value = v;
    return Number::Ok;
}

// Echoes an entry in an error line; unprintable bytes are shown as '?'.
std::string shown(std::string_view s)
{
    std::string out(s.substr(0, 40));
    for (char &c : out)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E)
            c = '?';
    if (s.size() > 40)
        out += "...";
    return out;
}

bool unit_of(std::string_view part, std::string_view entry, unsigned &value, std::string &error)
{
    switch (read_unit(part, value)) {
    case Number::Ok: return true;
    case Number::TooLarge:
        error = shown(entry) + ": unit address out of range (0 to 255)";
        return false;
    case Number::NotNumber: break;
    }
    error = shown(entry) + ": not a unit address";
    return false;
}

}  // namespace

bool UnitFilter::parse(std::string_view text, UnitFilter &out, std::string &error)
{
    if (text.size() > kMaxText) {
        error = "unit list too long (more than " + std::to_string(kMaxText) + " characters)";
        return false;
    }
    UnitFilter f;
    if (trim_blanks(text).empty()) {
        out = f;
        return true;
    }
    f.all_ = false;
    size_t index = 0;
    while (true) {
        ++index;
        const size_t comma = text.find(',');
        const std::string_view entry = trim_blanks(text.substr(0, comma));
        if (entry.empty()) {
            error = "entry " + std::to_string(index) + " is empty";
            return false;
        }
        const size_t dash = entry.find('-');
        unsigned lo = 0, hi = 0;
        if (dash == std::string_view::npos) {
            if (!unit_of(entry, entry, lo, error))
                return false;
            hi = lo;
        } else {
            const std::string_view first = trim_blanks(entry.substr(0, dash));
            const std::string_view last = trim_blanks(entry.substr(dash + 1));
            if (first.empty()) {
                error = shown(entry) + ": range without a start";
                return false;
            }
            if (last.empty()) {
                error = shown(entry) + ": range without an end";
                return false;
            }
            if (!unit_of(first, entry, lo, error) || !unit_of(last, entry, hi, error))
                return false;
            if (lo > hi) {
                error = shown(entry) + ": range runs backwards";
                return false;
            }
        }
        for (unsigned u = lo; u <= hi; ++u)
            f.units_.set(u);
        if (comma == std::string_view::npos)
            break;
        text.remove_prefix(comma + 1);
    }
    out = f;
    return true;
}

std::string UnitFilter::text() const
{
    std::string s;
    if (all_)
        return s;
    unsigned u = 0;
    while (u <= kMaxUnit) {
        if (!units_.test(u)) {
            ++u;
            continue;
        }
        unsigned end = u;
        while (end < kMaxUnit && units_.test(end + 1))
            ++end;
        if (!s.empty())
            s += ", ";
        s += std::to_string(u);
        if (end > u)
            s += "-" + std::to_string(end);
        u = end + 1;
    }
    return s;
}

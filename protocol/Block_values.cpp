#include "Block_values.h"

#include "Query.h"

namespace {

std::string_view trimmed(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

// The item as the error quotes it; a pasted run of text is cut short so the
// box stays readable.
std::string quoted(std::string_view item)
{
    constexpr size_t kShown = 24;
    if (item.size() <= kShown)
        return "\"" + std::string(item) + "\"";
    return "\"" + std::string(item.substr(0, kShown)) + "...\"";
}

std::string at_line(int line, const std::string &what) { return "line " + std::to_string(line) + ": " + what; }

}  // namespace

std::string parse_block_values(std::string_view text, bool coils, ValueFormat format, BlockValues &out)
{
    out = {};
    BlockValues got;
    const size_t width = size_t(value_format_width(format));
    int line = 1;
    size_t pos = 0;
    while (pos <= text.size()) {
        // One item: up to the next comma or line end.
        size_t end = pos;
        while (end < text.size() && text[end] != ',' && text[end] != '\n')
            ++end;
        const std::string_view item = trimmed(text.substr(pos, end - pos));
        if (!item.empty()) {
            if (coils) {
                if (item != "0" && item != "1")
                    return at_line(line, quoted(item) + ": a coil takes 0 or 1");
                if (got.bits.size() >= kMaxWriteCoils)
                    return at_line(line, "too many values: at most " + std::to_string(kMaxWriteCoils) +
                                             " coils in one request");
                got.bits.push_back(item == "1" ? 1 : 0);
            } else {
                const EncodedValue v = encode_value(format, item);
                if (!v.ok())
                    return at_line(line, quoted(item) + ": " + v.error);
                if (got.words.size() + width > kMaxWriteRegisters)
                    return at_line(line, "too many values: at most " + std::to_string(kMaxWriteRegisters) +
                                             " registers in one request");
                got.words.insert(got.words.end(), v.words.begin(), v.words.begin() + v.count);
            }
        }
        if (end < text.size() && text[end] == '\n')
            ++line;
        pos = end + 1;
    }
    if (got.bits.empty() && got.words.empty())
        return "no values";
    out = std::move(got);
    return {};
}

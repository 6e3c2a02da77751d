#include "Value_format.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace {

enum class Kind : uint8_t { Signed16, Unsigned16, Hex16, Binary16, Signed32, Unsigned32, Float32, Float64 };

// Where the value's bytes stand in the wire stream of its registers: entry k
// is the stream position of the value's k-th byte, most significant first.
using ByteOrder = std::array<uint8_t, 8>;
constexpr ByteOrder kABCD{0, 1, 2, 3};
constexpr ByteOrder kCDAB{2, 3, 0, 1};
constexpr ByteOrder kBADC{1, 0, 3, 2};
constexpr ByteOrder kDCBA{3, 2, 1, 0};
constexpr ByteOrder kABCDEFGH{0, 1, 2, 3, 4, 5, 6, 7};
constexpr ByteOrder kHGFEDCBA{7, 6, 5, 4, 3, 2, 1, 0};
constexpr ByteOrder kWord{0, 1};

struct FormatInfo {
    ValueFormat format;
    const char *text;
    Kind kind;
    int width;  // registers
    ByteOrder order;
};

// In ValueFormat order: the pick-list index is the format.
constexpr FormatInfo kFormats[kValueFormatCount] = {
    {.format = ValueFormat::Signed, .text = "Signed", .kind = Kind::Signed16, .width = 1, .order = kWord},
    {.format = ValueFormat::Unsigned, .text = "Unsigned", .kind = Kind::Unsigned16, .width = 1, .order = kWord},
    {.format = ValueFormat::Hex, .text = "Hex", .kind = Kind::Hex16, .width = 1, .order = kWord},
    {.format = ValueFormat::Binary, .text = "Binary", .kind = Kind::Binary16, .width = 1, .order = kWord},
    {.format = ValueFormat::LongABCD, .text = "Long ABCD", .kind = Kind::Signed32, .width = 2, .order = kABCD},
    {.format = ValueFormat::LongCDAB, .text = "Long CDAB", .kind = Kind::Signed32, .width = 2, .order = kCDAB},
    {.format = ValueFormat::LongBADC, .text = "Long BADC", .kind = Kind::Signed32, .width = 2, .order = kBADC},
    {.format = ValueFormat::LongDCBA, .text = "Long DCBA", .kind = Kind::Signed32, .width = 2, .order = kDCBA},
    {.format = ValueFormat::UnsignedLongABCD,
     .text = "Unsigned long ABCD",
     .kind = Kind::Unsigned32,
     .width = 2,
     .order = kABCD},
    {.format = ValueFormat::UnsignedLongCDAB,
     .text = "Unsigned long CDAB",
     .kind = Kind::Unsigned32,
     .width = 2,
     .order = kCDAB},
    {.format = ValueFormat::UnsignedLongBADC,
     .text = "Unsigned long BADC",
     .kind = Kind::Unsigned32,
     .width = 2,
     .order = kBADC},
    {.format = ValueFormat::UnsignedLongDCBA,
     .text = "Unsigned long DCBA",
     .kind = Kind::Unsigned32,
     .width = 2,
     .order = kDCBA},
    {.format = ValueFormat::FloatABCD, .text = "Float ABCD", .kind = Kind::Float32, .width = 2, .order = kABCD},
    {.format = ValueFormat::FloatCDAB, .text = "Float CDAB", .kind = Kind::Float32, .width = 2, .order = kCDAB},
    {.format = ValueFormat::FloatBADC, .text = "Float BADC", .kind = Kind::Float32, .width = 2, .order = kBADC},
    {.format = ValueFormat::FloatDCBA, .text = "Float DCBA", .kind = Kind::Float32, .width = 2, .order = kDCBA},
    {.format = ValueFormat::DoubleABCDEFGH,
     .text = "Double ABCDEFGH",
     .kind = Kind::Float64,
     .width = 4,
     .order = kABCDEFGH},
    {.format = ValueFormat::DoubleHGFEDCBA,
     .text = "Double HGFEDCBA",
     .kind = Kind::Float64,
     .width = 4,
     .order = kHGFEDCBA},
};

// The table is indexed by format: every entry must stand at its own index.
constexpr bool table_in_order()
{
    for (int i = 0; i < kValueFormatCount; ++i)
        if (static_cast<int>(kFormats[i].format) != i || kFormats[i].text == nullptr)
            return false;
    return true;
}
static_assert(table_in_order());

const FormatInfo &info(ValueFormat format) { return kFormats[static_cast<int>(format)]; }

// The value's bits from its registers' wire bytes.
uint64_t gather(const FormatInfo &f, std::span<const uint16_t> words)
{
    const int bytes = 2 * f.width;
    uint8_t wire[8] = {};
    for (int i = 0; i < f.width; ++i) {
        wire[2 * i] = uint8_t(words[size_t(i)] >> 8);
        wire[2 * i + 1] = uint8_t(words[size_t(i)]);
    }
    uint64_t v = 0;
    for (int k = 0; k < bytes; ++k)
        v = v << 8 | wire[f.order[size_t(k)]];
    return v;
}

// The registers carrying value v, the reverse of gather().
void scatter(const FormatInfo &f, uint64_t v, EncodedValue &out)
{
    const int bytes = 2 * f.width;
    uint8_t wire[8] = {};
    for (int k = bytes - 1; k >= 0; --k, v >>= 8)
        wire[f.order[size_t(k)]] = uint8_t(v);
    for (int i = 0; i < f.width; ++i)
        out.words[size_t(i)] = uint16_t(wire[2 * i] << 8 | wire[2 * i + 1]);
    out.count = f.width;
}

template <typename F>
std::string float_text(F x)
{
    if (std::isnan(x))
        return "NaN";
    if (std::isinf(x))
        return x < 0 ? "-Inf" : "Inf";
    char text[40];
    // Shortest digits that read back to the same value.
    const auto r = std::to_chars(text, text + sizeof text, x);
    return std::string(text, r.ptr);
}

std::string_view trimmed(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

bool starts_with_nocase(std::string_view s, std::string_view prefix)
{
    if (s.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if ((s[i] | 0x20) != prefix[i])
            return false;
    return true;
}

EncodedValue failed(const char *why)
{
    EncodedValue e;
    e.error = why;
    return e;
}

// Digits in the given base (2, 10 or 16), nothing else, into a value that
// must not pass limit. Stops at the first digit that would pass it.
EncodedValue read_digits(std::string_view digits, unsigned base, uint64_t limit, uint64_t &value)
{
    if (digits.empty())
        return failed(kNotANumber);
    value = 0;
    bool tooBig = false;
    for (char c : digits) {
        unsigned d;
        if (c >= '0' && c <= '9')
            d = unsigned(c - '0');
        else if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f')
            d = unsigned((c | 0x20) - 'a' + 10);
        else
            return failed(kNotANumber);
        if (d >= base)
            return failed(kNotANumber);
        if (!tooBig) {
            value = value * base + d;
            tooBig = value > limit;
        }
    }
    if (tooBig)
        return failed(kOutOfRange);
    return {};
}

// An optional sign and decimal digits, within [low, high].
EncodedValue read_integer(std::string_view s, int64_t low, int64_t high, int64_t &value)
{
    bool negative = false;
    if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    uint64_t magnitude = 0;
    const uint64_t bound = negative ? uint64_t(-low) : uint64_t(high);
    EncodedValue r = read_digits(s, 10, bound, magnitude);
    if (!r.ok())
        return r;
    value = negative ? -int64_t(magnitude) : int64_t(magnitude);
    return {};
}

template <typename F>
EncodedValue read_float(std::string_view s, F &value)
{
    // from_chars takes no '+' sign; a second sign after it stays an error.
    if (!s.empty() && s.front() == '+') {
        s.remove_prefix(1);
        if (!s.empty() && (s.front() == '+' || s.front() == '-'))
            return failed(kNotANumber);
    }
    if (s.empty())
        return failed(kNotANumber);
    const auto r = std::from_chars(s.data(), s.data() + s.size(), value);
    if (r.ptr != s.data() + s.size() || r.ec == std::errc::invalid_argument)
        return failed(kNotANumber);
    if (r.ec == std::errc::result_out_of_range)
        return failed(kOutOfRange);
    return {};
}

}  // namespace

std::vector<std::string> value_format_texts()
{
    std::vector<std::string> texts;
    for (const FormatInfo &f : kFormats)
        texts.emplace_back(f.text);
    return texts;
}

const char *value_format_text(ValueFormat format) { return info(format).text; }

int value_format_width(ValueFormat format) { return info(format).width; }

bool value_format_from_index(int index, ValueFormat &format)
{
    if (index < 0 || index >= kValueFormatCount)
        return false;
    format = kFormats[index].format;
    return true;
}

std::string decode_value(ValueFormat format, std::span<const uint16_t> words)
{
    const FormatInfo &f = info(format);
    if (words.size() < size_t(f.width))
        return kIncompleteText;
    const uint64_t v = gather(f, words);
    char text[24];
    switch (f.kind) {
    case Kind::Signed16:
        std::snprintf(text, sizeof text, "%6d", int(int16_t(v)));
        return text;
    case Kind::Unsigned16:
        std::snprintf(text, sizeof text, "%6u", unsigned(v));
        return text;
    case Kind::Hex16:
        std::snprintf(text, sizeof text, "0x%04X", unsigned(v));
        return text;
    case Kind::Binary16:
        for (int b = 0; b < 16; ++b)
            text[b] = (v >> (15 - b)) & 1 ? '1' : '0';
        return std::string(text, 16);
    case Kind::Signed32:
        std::snprintf(text, sizeof text, "%d", int(int32_t(uint32_t(v))));
        return text;
    case Kind::Unsigned32:
        std::snprintf(text, sizeof text, "%u", unsigned(uint32_t(v)));
        return text;
    case Kind::Float32:
        return float_text(std::bit_cast<float>(uint32_t(v)));
    case Kind::Float64:
        return float_text(std::bit_cast<double>(v));
    }
    return kIncompleteText;
}

RowRole value_row_role(ValueFormat format, int index, int count)
{
    const int width = value_format_width(format);
    const int start = index - index % width;
    if (start + width > count)
        return index == start ? RowRole::Incomplete : RowRole::Follows;
    return index == start ? RowRole::Value : RowRole::Follows;
}

int value_group_start(ValueFormat format, int index) { return index - index % value_format_width(format); }

std::vector<std::string> value_column_texts(ValueFormat format, std::span<const uint16_t> words)
{
    std::vector<std::string> texts;
    texts.reserve(words.size());
    const int count = int(words.size());
    for (int i = 0; i < count; ++i) {
        switch (value_row_role(format, i, count)) {
        case RowRole::Value:
            texts.push_back(decode_value(format, words.subspan(size_t(i))));
            break;
        case RowRole::Follows:
            texts.emplace_back(kFollowText);
            break;
        case RowRole::Incomplete:
            texts.emplace_back(kIncompleteText);
            break;
        }
    }
    return texts;
}

EncodedValue encode_value(ValueFormat format, std::string_view text)
{
    const FormatInfo &f = info(format);
    const std::string_view s = trimmed(text);
    EncodedValue out;
    uint64_t bits = 0;
    switch (f.kind) {
    case Kind::Signed16:
    case Kind::Signed32: {
        // Signed formats also take the unsigned reading of the same bits, as
        // the write-value dialog always has (65535 writes 0xFFFF).
        const int64_t low = f.kind == Kind::Signed16 ? INT16_MIN : INT32_MIN;
        const int64_t high = f.kind == Kind::Signed16 ? UINT16_MAX : UINT32_MAX;
        int64_t v = 0;
        if (EncodedValue r = read_integer(s, low, high, v); !r.ok())
            return r;
        bits = uint64_t(v);
        break;
    }
    case Kind::Unsigned16:
    case Kind::Unsigned32: {
        int64_t v = 0;
        if (EncodedValue r = read_integer(s, 0, f.kind == Kind::Unsigned16 ? UINT16_MAX : UINT32_MAX, v); !r.ok())
            return r;
        bits = uint64_t(v);
        break;
    }
    case Kind::Hex16:
        if (EncodedValue r = read_digits(starts_with_nocase(s, "0x") ? s.substr(2) : s, 16, UINT16_MAX, bits);
            !r.ok())
            return r;
        break;
    case Kind::Binary16:
        if (EncodedValue r = read_digits(starts_with_nocase(s, "0b") ? s.substr(2) : s, 2, UINT16_MAX, bits);
            !r.ok())
            return r;
        break;
    case Kind::Float32: {
        float x = 0;
        if (EncodedValue r = read_float(s, x); !r.ok())
            return r;
        bits = std::bit_cast<uint32_t>(x);
        break;
    }
    case Kind::Float64: {
        double x = 0;
        if (EncodedValue r = read_float(s, x); !r.ok())
            return r;
        bits = std::bit_cast<uint64_t>(x);
        break;
    }
    }
    scatter(f, bits, out);
    return out;
}

NumberRange value_format_range(ValueFormat format)
{
    switch (info(format).kind) {
    case Kind::Signed16:
        return {.low = INT16_MIN, .high = INT16_MAX, .integer = true, .single = false};
    case Kind::Unsigned16:
    case Kind::Hex16:
    case Kind::Binary16:
        return {.low = 0, .high = UINT16_MAX, .integer = true, .single = false};
    case Kind::Signed32:
        return {.low = INT32_MIN, .high = INT32_MAX, .integer = true, .single = false};
    case Kind::Unsigned32:
        return {.low = 0, .high = UINT32_MAX, .integer = true, .single = false};
    case Kind::Float32:
        return {.low = -std::numeric_limits<float>::max(),
                .high = std::numeric_limits<float>::max(),
                .integer = false,
                .single = true};
    case Kind::Float64:
        break;
    }
    return {.low = -std::numeric_limits<double>::max(),
            .high = std::numeric_limits<double>::max(),
            .integer = false,
            .single = false};
}

double decode_number(ValueFormat format, std::span<const uint16_t> words)
{
    const FormatInfo &f = info(format);
    if (words.size() < size_t(f.width))
        return std::numeric_limits<double>::quiet_NaN();
    const uint64_t v = gather(f, words);
    switch (f.kind) {
    case Kind::Signed16:
        return int16_t(v);
    case Kind::Unsigned16:
    case Kind::Hex16:
    case Kind::Binary16:
        return uint16_t(v);
    case Kind::Signed32:
        return int32_t(uint32_t(v));
    case Kind::Unsigned32:
        return uint32_t(v);
    case Kind::Float32:
        return std::bit_cast<float>(uint32_t(v));
    case Kind::Float64:
        break;
    }
    return std::bit_cast<double>(v);
}

EncodedValue encode_number(ValueFormat format, double number)
{
    const FormatInfo &f = info(format);
    const NumberRange range = value_format_range(format);
    uint64_t bits = 0;
    switch (f.kind) {
    case Kind::Float32: {
        if (std::isfinite(number) && std::fabs(number) > double(std::numeric_limits<float>::max()))
            return failed(kOutOfRange);
        bits = std::bit_cast<uint32_t>(float(number));
        break;
    }
    case Kind::Float64:
        bits = std::bit_cast<uint64_t>(number);
        break;
    default:
        if (!(number >= range.low && number <= range.high) || number != std::trunc(number))
            return failed(kOutOfRange);
        bits = uint64_t(int64_t(number));
        break;
    }
    EncodedValue out;
    scatter(f, bits, out);
    return out;
}

// How register values are shown and typed: 16-bit words as signed, unsigned,
// hexadecimal or binary, and 32/64-bit integers and floats spread over two or
// four registers in the byte orders real devices use. Used by the master and
// the slave stations alike.
//
// Registers are given as received: first register first, each one the 16-bit
// word of its two wire bytes (high byte first). Byte orders name where the
// value's bytes stand in that wire stream: ABCD (most significant byte first,
// big-endian), CDAB (words swapped), BADC (bytes swapped within each word),
// DCBA (little-endian).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

enum class ValueFormat : uint8_t {
    Signed,  // the grids' own 16-bit display, the default
    Unsigned,
    Hex,
    Binary,
    LongABCD,
    LongCDAB,
    LongBADC,
    LongDCBA,
    UnsignedLongABCD,
    UnsignedLongCDAB,
    UnsignedLongBADC,
    UnsignedLongDCBA,
    FloatABCD,
    FloatCDAB,
    FloatBADC,
    FloatDCBA,
    DoubleABCDEFGH,
    DoubleHGFEDCBA,
};

constexpr int kValueFormatCount = 18;

// The pick-list texts, in ValueFormat order (the index of a text is its format).
std::vector<std::string> value_format_texts();
const char *value_format_text(ValueFormat format);
// Registers one value takes: 1, 2 or 4.
int value_format_width(ValueFormat format);
// The format of a pick-list index; false for an index outside the list.
bool value_format_from_index(int index, ValueFormat &format);

// ---- showing ---------------------------------------------------------------
// The text of one value from the first value_format_width() registers of
// words; "?" when fewer are given. Signed is exactly the grids' Decimal text
// ("%6d"); NaN and infinities read "NaN", "Inf", "-Inf"; floats get the
// shortest text that reads back to the same value.
std::string decode_value(ValueFormat format, std::span<const uint16_t> words);

// The value column for count registers laid out from one row on: a value
// stands on the first row of its group, the group's following rows show
// kFollowText; a last group cut short by the end of the registers shows
// kIncompleteText on its first row and kFollowText on the rest.
enum class RowRole { Value, Follows, Incomplete };
inline constexpr const char *kFollowText = "-";
inline constexpr const char *kIncompleteText = "?";
// Role of register index (0-based) among count registers.
RowRole value_row_role(ValueFormat format, int index, int count);
// Index of the first register of the group that register index belongs to.
int value_group_start(ValueFormat format, int index);
// One text per register, for words.size() registers.
std::vector<std::string> value_column_texts(ValueFormat format, std::span<const uint16_t> words);

// ---- typing ----------------------------------------------------------------
// Texts of the errors encode_value gives.
inline constexpr const char *kNotANumber = "not a number";
inline constexpr const char *kOutOfRange = "value out of range";

struct EncodedValue {
    std::array<uint16_t, 4> words{};  // the registers to write, first register first
    int count = 0;                    // value_format_width() on success, 0 on error
    std::string error;                // empty on success
    bool ok() const { return error.empty(); }
};

// Reads text (blanks around it ignored) as a value of format. Integers take
// an optional sign and decimal digits; Hex takes 1 to 4 hexadecimal digits
// with or without "0x"; Binary 1 to 16 binary digits with or without "0b";
// floats take decimal or exponent notation and NaN, Inf, -Inf.
EncodedValue encode_value(ValueFormat format, std::string_view text);

// ---- numbers ---------------------------------------------------------------
// Values as numbers, for scaling into engineering units. Signed formats read
// as two's complement, Unsigned, Hex and Binary as 16-bit unsigned.
struct NumberRange {
    double low;
    double high;
    bool integer;  // whole numbers only
    bool single;   // a 32-bit float: about 7 significant digits
};
// The numbers a format holds: an integer format its whole range, a float
// format its finite range.
NumberRange value_format_range(ValueFormat format);
// The value of the first value_format_width() registers of words, exactly
// (every format fits a double); NaN when fewer are given.
double decode_number(ValueFormat format, std::span<const uint16_t> words);
// The registers that hold number: integer formats take a whole number within
// value_format_range(), float formats any number (a 32-bit float the nearest
// one, the error kOutOfRange past its finite range).
EncodedValue encode_number(ValueFormat format, double number);

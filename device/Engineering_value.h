// Values of map entries in engineering units: value = raw x scale + offset,
// the raw value being what the entry's format reads from its registers (a
// bit: 0 or 1). Writing goes the other way, raw = (value - offset) / scale.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "Device_map.h"
#include "Value_format.h"

// A decimal number as people type it and maps hold it: an optional sign,
// digits with an optional point and exponent; finite, nothing around it.
bool parse_decimal(std::string_view text, double &value);

// The entry's value from its raw registers, first register first (a bit:
// one word, 0 or 1); NaN when fewer than entry.count() words are given.
double engineering_value(const Map_entry &entry, std::span<const uint16_t> raw);

// A value as the Watch page, the chart and the log show it: always decimal
// (Hex and Binary entries too), a 32-bit float with the digits it holds, a
// scaled value with at most 15 significant digits (so 0.1 x 3 shows 0.3),
// "NaN", "Inf" and "-Inf" as the value formats write them.
std::string engineering_text(const Map_entry &entry, double value);

// The values the entry can take, in engineering units (low <= high, also
// for a negative scale).
struct Engineering_range {
    double low;
    double high;
};
Engineering_range engineering_range(const Map_entry &entry);

// The words to write for value, in engineering units. Integer formats take
// the raw value rounded to the nearest whole number (halves away from zero);
// a bit takes 0 or 1 and gives one word, 0 or 1 (the caller sends a coil's
// 1 as 0xFF00). Refused, with error set and nothing to write: a read-only
// entry ("read-only"), a value that is not a finite number ("not a number"),
// and one outside the format's range, with the range in engineering units
// ("out of range: -3276.8 to 3276.7 m3/h").
EncodedValue encode_engineering(const Map_entry &entry, double value);
// The same from the text the operator typed (blanks around it ignored).
EncodedValue encode_engineering_text(const Map_entry &entry, std::string_view text);

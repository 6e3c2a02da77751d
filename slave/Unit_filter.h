// Which unit addresses a slave answers, read from the text an operator types
// ("1, 5, 10-20") or a command line gives.
//
// An empty text (or only blanks) is the station's plain behaviour: every
// address is answered. Otherwise the text is a comma-separated list of
// addresses and ranges "a-b" (a <= b), each 0 to 255: a serial unit is 1 to
// 247 plus broadcast 0, a Modbus/TCP unit identifier can be any byte, and one
// filter serves every transport of a process. Blanks around entries are
// ignored; an empty entry is an error.
#pragma once

#include <bitset>
#include <cstdint>
#include <string>
#include <string_view>

class UnitFilter {
public:
    // Longest text accepted; a longer one is refused before it is read.
    static constexpr size_t kMaxText = 1024;
    static constexpr unsigned kMaxUnit = 255;

    // The filter of text, or false with error set to a line that names the
    // offending entry (out is then left as it was).
    static bool parse(std::string_view text, UnitFilter &out, std::string &error);

    // True when no filter is set: every unit is answered.
    bool all() const { return all_; }
    bool allows(unsigned unit) const { return all_ || (unit <= kMaxUnit && units_.test(unit)); }
    // Canonical text: ascending, runs of two or more joined as "a-b", entries
    // separated by ", "; empty for all.
    std::string text() const;

private:
    bool all_ = true;
    std::bitset<kMaxUnit + 1> units_;
};

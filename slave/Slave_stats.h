// What a slave station or the headless slave counted since it started or was
// last reset, and the line that shows it.
#pragma once

#include <cstdint>
#include <string>

struct SlaveStats {
    uint64_t req = 0;   // requests received
    uint64_t ans = 0;   // answers sent, exception answers included
    uint64_t exc = 0;   // exception answers
    uint64_t err = 0;   // checksum, LRC or framing errors: nothing to answer
    uint64_t ign = 0;   // requests for a unit outside the unit filter
    uint64_t drop = 0;  // answers withheld on purpose

    // "Req N  Ans N  Exc N  Err N  Ign N  Drop N"
    std::string label() const;
    void reset() { *this = SlaveStats{}; }
};

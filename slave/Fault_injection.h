// Faults a slave injects on purpose so that a master under test meets late,
// missing and wrong answers: the options, and the decision for one answer.
//
// The decision is pure: the caller serves the request, hands over the answer
// it would send, and gets back what to do with it (withhold it, send it
// later, send what the answer now holds) and one text per fault for the
// traffic log. With no option set nothing is touched and no text is made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Slave_engine.h"

constexpr int kFaultDelayMaxMs = 10000;
constexpr unsigned kFaultDropEveryMax = 65535;

// The exceptions an operator can force, in the order a combo box lists them;
// code 0 is "None".
struct ForcedExceptionItem {
    uint8_t code;
    const char *text;
};
inline constexpr ForcedExceptionItem kForcedExceptionItems[] = {
    {.code = 0x00, .text = "None"},
    {.code = 0x01, .text = "01 Illegal function"},
    {.code = 0x02, .text = "02 Illegal data address"},
    {.code = 0x03, .text = "03 Illegal data value"},
    {.code = 0x04, .text = "04 Slave device failure"},
    {.code = 0x06, .text = "06 Slave device busy"},
    {.code = 0x0B, .text = "0B Gateway target failed to respond"},
};

struct FaultOptions {
    int delayMs = 0;            // 0..kFaultDelayMaxMs: every answer goes out this much later
    unsigned dropEvery = 0;     // 0 never; N: the N-th, 2N-th ... answerable request gets no answer
    uint8_t exceptionCode = 0;  // 0 none; else a code of kForcedExceptionItems answers every request
    bool corruptChecksum = false;  // the CRC or LRC of every answer goes out inverted (serial only)

    bool active() const { return delayMs != 0 || dropEvery != 0 || exceptionCode != 0 || corruptChecksum; }
    // Empty when every option is within its range; else a line naming the first one that is not.
    std::string problem() const;
};

// A forced exception as an operator or a command line writes it: "None", a
// code in hexadecimal as the items show it ("04", "0B", "4", "0x0b"), or a
// whole item text. False (code untouched) for anything else.
bool parse_forced_exception(std::string_view text, uint8_t &code);

// "1st", "2nd", "3rd", "4th", "11th", "12th", "13th", "21st" ...
std::string ordinal(unsigned n);

// What the faults remember between requests.
struct FaultState {
    uint64_t answerable = 0;  // requests that reached apply_faults
};

struct FaultOutcome {
    bool dropped = false;    // send nothing (response is emptied)
    bool forced = false;     // response now holds the forced exception
    bool corrupted = false;  // response now carries an inverted CRC or LRC
    int delayMs = 0;         // send the response this much later
    std::vector<std::string> lines;  // one per fault injected, in the order applied
};

// Applies the faults to one answer. request is the complete request (as the
// engine was given it) and response what would answer it; call it only for a
// request that gets an answer, since every call counts towards dropEvery.
// A drop withholds the answer and injects nothing else; otherwise a forced
// exception replaces the answer ((function | 0x80), code, framed for the
// transport), then the checksum is inverted (RTU CRC, ASCII LRC; Modbus/TCP
// carries none and is left alone), then the delay is set.
FaultOutcome apply_faults(const FaultOptions &options, FaultState &state, SlaveFraming framing,
                          const uint8_t *request, size_t n, std::vector<uint8_t> &response);

// The function code of a request (RTU, ASCII or TCP as framed); -1 when it
// holds none that can be read.
int slave_request_function(SlaveFraming framing, const uint8_t *request, size_t n);

// The profile of a framing.
const SlaveProfile &slave_profile_of(SlaveFraming framing);

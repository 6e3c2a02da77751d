// How long an RTU frame is, told by its leading bytes: unit, function code,
// then whatever field of the PDU gives the rest (a byte count, a number of
// objects), with the CRC-16 at the end. A request and an answer of the same
// code are laid out differently, so each role has its own function.
//
// Known layouts: codes 1 to 6, 7, 8 (one data word), 11, 15, 16, 17, 22, 23
// and 43 with MEI type 14 (read device identification), and every exception
// answer (function code with the high bit: 5 bytes). Anything else is
// Unknown: a reader then ends the frame at a silence of the line.
//
// Pure: reads only the n bytes it is given, any bytes at all.
#pragma once

#include <cstddef>
#include <cstdint>

// The longest RTU frame: unit, 253 bytes of PDU, CRC.
constexpr int32_t kRtuMaxFrame = 256;

struct Rtu_length {
    enum Kind : uint8_t {
        Known,     // bytes: the whole frame, CRC included
        Need_more, // bytes: how many leading bytes it takes to tell (more than n)
        Unknown,   // no layout for this code: the frame ends at a silence
        None,      // no frame of this role starts so (a request with the
                   // exception bit, a length beyond kRtuMaxFrame, an odd byte
                   // count of registers)
    };
    Kind kind = Unknown;
    int32_t bytes = 0;
};

Rtu_length rtu_length_as_request(const uint8_t *frame, size_t n);
Rtu_length rtu_length_as_answer(const uint8_t *frame, size_t n);

// True when the last two of the n bytes are the CRC-16 of the others (n >= 4:
// a unit, a function code and the CRC at least).
bool rtu_crc_holds(const uint8_t *frame, size_t n);

// The fields of a Modbus frame as numbers: unit, function, address, count,
// the values it carries, the exception. Read from the unit and PDU of a
// frame, the checksum left off, so RTU and ASCII frames decode alike. Pure:
// reads only the n bytes it is given; a field the frame is too short for
// stays unset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct Pdu_fields {
    bool valid = false;        // the frame holds a unit and a function code
    uint8_t unit = 0;
    uint8_t function = 0;      // an answer's without the exception bit
    bool exception = false;
    uint8_t exception_code = 0;
    int32_t address = -1;      // first entry, as on the wire (from 0); -1 none
    int32_t count = -1;        // entries asked for or written; -1 none
    // Registers, or bits one per entry (0 or 1), the first entry first.
    // Reading answers: what they carry (bits: every bit of the data bytes).
    // Writes: the values written (code 5: 1 for ON, 0 for OFF; code 22: the
    // AND and OR masks). Code 8: the sub-function, then the data words.
    std::vector<uint16_t> values;
    // Code 23 requests: the write half (address and count above are the read half).
    int32_t write_address = -1;
    int32_t write_count = -1;
    std::vector<uint16_t> write_values;
};

// unit_pdu: the unit, then the PDU; n counts both, not the checksum.
Pdu_fields decode_pdu(const uint8_t *unit_pdu, size_t n, bool answer);

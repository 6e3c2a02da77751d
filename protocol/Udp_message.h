// Whether a UDP datagram is one Modbus/TCP message, as Modbus/UDP carries
// them: the 7-byte header, then unit and PDU, the header's length field
// counting exactly the bytes after it. Pure: reads only the bytes given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum class Udp_message : uint8_t {
    Whole,       // one message: serve it
    Short,       // fewer than 8 bytes: no header, unit and function code
    Long,        // more than 260 bytes: beyond the largest message
    Bad_length,  // the length field is not the number of bytes after it
};

// n: the datagram's length; the first min(n, 6) bytes of data are read.
Udp_message udp_message_check(const uint8_t *data, size_t n);

// "UDP datagram of 3 bytes refused: fewer than 8 bytes"; empty for Whole.
std::string udp_refusal_text(Udp_message why, size_t n);

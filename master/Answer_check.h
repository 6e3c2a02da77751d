// A frame taken apart into its unit and PDU (function code and data), and an
// answer judged against the request it is meant for: right unit and code,
// an exception, or a shape that cannot be its answer. Reads only the bytes
// it is given; any bytes at all.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

struct Frame_pdu {
    uint8_t unit = 0;
    std::vector<uint8_t> pdu;  // the function code first
};

// The unit and PDU of a frame whose checksum the receiver has checked; false
// when the frame holds no function code. RTU: unit, PDU, CRC. ASCII: ":",
// hexadecimal pairs, LRC, CR LF (a pair that is not hexadecimal: false).
// TCP: the 7-byte header (its unit byte), then the PDU.
bool rtu_frame_pdu(const uint8_t *frame, int32_t n, Frame_pdu &out);
bool ascii_frame_pdu(const char *frame, int32_t n, Frame_pdu &out);
bool tcp_frame_pdu(const uint8_t *frame, int32_t n, Frame_pdu &out);

struct Answer_verdict {
    enum Kind : uint8_t { Ok, Exception, Bad };
    Kind kind = Bad;
    uint8_t exception = 0;  // Exception: its code
    std::string why;        // Bad: "answer for unit 2", "byte count 4, 20 expected", ...
};

// Whether answer answers request (both as Frame_pdu): the same unit, the
// request's code with data of the shape that code's answer has (reads:
// the byte count of the count asked for; single and block writes,
// mask writes: the echo; 17 and 43/14: lengths that hold), or the code with
// its high bit and one exception code.
Answer_verdict judge_answer(const Frame_pdu &request, const Frame_pdu &answer);

// Code 17: the bytes after the byte count.
std::vector<uint8_t> answer_report(const Frame_pdu &answer);

// Code 43/14: one answer's objects, and whether more follow (from next on).
struct Identity_object {
    uint8_t id = 0;
    std::string value;
};
struct Identity_part {
    bool more = false;
    uint8_t next = 0;
    std::vector<Identity_object> objects;
};
// false when the objects overrun the answer.
bool answer_identity(const Frame_pdu &answer, Identity_part &out);
// VendorName, ProductCode, MajorMinorRevision, then "Object N".
std::string identity_object_name(uint8_t id);

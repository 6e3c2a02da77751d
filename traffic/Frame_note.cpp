#include "Frame_note.h"

#include <corvane.h>

#include <string_view>
#include <vector>

#include "Hex_digit.h"

namespace {

unsigned word_at(const uint8_t *p) { return unsigned(p[0]) << 8 | p[1]; }

void put_number(std::string &out, size_t value) { out += std::to_string(value); }
void put_number(Text_length &out, size_t value)
{
    do {
        ++out.n;
        value /= 10;
    } while (value != 0);
}

std::string_view exception_name(unsigned code)
{
    switch (code) {
    case 1: return "illegal function";
    case 2: return "illegal data address";
    case 3: return "illegal data value";
    case 4: return "slave device failure";
    case 5: return "acknowledge";
    case 6: return "slave device busy";
    case 8: return "memory parity error";
    case 10: return "gateway path unavailable";
    case 11: return "gateway target failed to respond";
    default: return {};
    }
}

// Each part is written to Out: the text itself (std::string) or only its
// length (Text_length), from the same code, so the two always agree.
template <class Out> void add(Out &out, std::string_view label, unsigned value)
{
    if (!out.empty())
        out += ' ';
    out += label;
    out += ' ';
    put_number(out, value);
}

template <class Out> void add_text(Out &out, std::string_view text)
{
    if (!out.empty())
        out += ' ';
    out += text;
}

// "label 0x..." with two hexadecimal digits per byte of the field.
template <class Out> void add_hex(Out &out, std::string_view label, unsigned value, int bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    add_text(out, label);
    out += " 0x";
    for (int shift = 8 * bytes - 4; shift >= 0; shift -= 4)
        out += digits[(value >> shift) & 0xF];
}

// The fields of the codes beyond the classic eight (7, 8, 11, 17, 22, 23 and
// 43), from the len bytes d after the function code; false for any other
// code. Fields the PDU is too short for are not read.
template <class Out> bool describe_more_codes(Out &out, Frame_role role, unsigned fn, const uint8_t *d, size_t len)
{
    const bool answer = role == Frame_role::Answer;
    auto need = [&](size_t k) {
        if (len >= k)
            return true;
        add_text(out, "short frame");
        return false;
    };
    switch (fn) {
    case 7:
        if (answer && need(1))
            add_hex(out, "status", d[0], 1);
        return true;
    case 8:
        if (need(2)) {
            add(out, "sub", word_at(d));
            add(out, "data bytes", unsigned(len - 2));
        }
        return true;
    case 11:
        if (answer && need(4)) {
            add_hex(out, "status", word_at(d), 2);
            add(out, "events", word_at(d + 2));
        }
        return true;
    case 17:
        if (answer && need(1))
            add(out, "bytes", d[0]);
        return true;
    case 22:
        if (need(6)) {
            add(out, "addr", word_at(d));
            add_hex(out, "and", word_at(d + 2), 2);
            add_hex(out, "or", word_at(d + 4), 2);
        }
        return true;
    case 23:
        if (answer) {
            if (need(1))
                add(out, "bytes", d[0]);
        } else if (need(8)) {
            add(out, "read addr", word_at(d));
            add(out, "count", word_at(d + 2));
            add(out, "write addr", word_at(d + 4));
            add(out, "count", word_at(d + 6));
        }
        return true;
    case 43:
        if (need(1))
            add(out, "mei", d[0]);
        if (len >= 3 && d[0] == 14) {
            add(out, "code", d[1]);
            if (!answer)
                add(out, "object", d[2]);
            else if (len >= 7)
                add(out, "objects", d[5]);
        }
        return true;
    default:
        return false;
    }
}

// The function code and its fields from a PDU of n bytes (function code
// first), appended to out. Fields the PDU is too short for are not read.
template <class Out> void describe_pdu(Out &out, Frame_role role, const uint8_t *pdu, size_t n)
{
    if (n == 0) {
        add_text(out, "no function code");
        return;
    }
    const unsigned fn = pdu[0];
    if (fn & 0x80) {
        add(out, "fn", fn & 0x7F);
        if (n < 2) {
            add_text(out, "exception, short frame");
            return;
        }
        add(out, "exception", pdu[1]);
        if (const std::string_view name = exception_name(pdu[1]); !name.empty())
            add_text(out, name);
        return;
    }
    add(out, "fn", fn);
    const uint8_t *d = pdu + 1;
    const size_t len = n - 1;
    auto need = [&](size_t k) {
        if (len >= k)
            return true;
        add_text(out, "short frame");
        return false;
    };
    switch (fn) {
    case 1: case 2: case 3: case 4:
        if (role == Frame_role::Answer) {
            if (need(1))
                add(out, "bytes", d[0]);
        } else if (need(4)) {
            add(out, "addr", word_at(d));
            add(out, "count", word_at(d + 2));
        }
        return;
    case 5:
        if (need(4)) {
            add(out, "addr", word_at(d));
            const unsigned v = word_at(d + 2);
            if (v == 0xFF00)
                add_text(out, "on");
            else if (v == 0x0000)
                add_text(out, "off");
            else
                add(out, "value", v);
        }
        return;
    case 6:
        if (need(4)) {
            add(out, "addr", word_at(d));
            add(out, "value", word_at(d + 2));
        }
        return;
    case 15: case 16:
        if (need(4)) {
            add(out, "addr", word_at(d));
            add(out, "count", word_at(d + 2));
        }
        return;
    default:
        if (!describe_more_codes(out, role, fn, d, len))
            add(out, "data bytes", unsigned(len));
        return;
    }
}

template <class Out> void short_frame(Out &out, size_t bytes)
{
    out += "short frame (";
    put_number(out, bytes);
    out += bytes == 1 ? " byte)" : " bytes)";
}

template <class Out> void rtu_note(Out &out, Frame_role role, const uint8_t *data, size_t n)
{
    // Unit, function code and CRC at least.
    if (n < 4)
        return short_frame(out, n);
    add(out, "unit", data[0]);
    describe_pdu(out, role, data + 1, n - 3);
    uint8_t crc[2];
    CRC_check(data, int32_t(n - 2), crc);
    if (crc[0] != data[n - 2] || crc[1] != data[n - 1])
        add_text(out, "bad CRC");
}

template <class Out> void ascii_note(Out &out, Frame_role role, const uint8_t *text, size_t n)
{
    // ':' then pairs of hexadecimal digits, then CR LF (either may be missing
    // from a frame cut short; the decoding does not need them).
    size_t end = n;
    while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n'))
        --end;
    if (end == 0 || text[0] != ':') {
        out += "not Modbus ASCII text";
        return;
    }
    const size_t digits = end - 1;
    if (digits % 2 != 0) {
        out += "not Modbus ASCII text (odd number of digits)";
        return;
    }
    std::vector<uint8_t> bytes;
    bytes.reserve(digits / 2);
    for (size_t i = 1; i + 1 < end; i += 2) {  // digits is even: i + 1 reaches end - 1
        const int hi = hex_digit(text[i]), lo = hex_digit(text[i + 1]);
        if (hi < 0 || lo < 0) {
            out += "not Modbus ASCII text";
            return;
        }
        bytes.push_back(uint8_t(hi << 4 | lo));
    }
    // Unit, function code and LRC at least.
    if (bytes.size() < 3)
        return short_frame(out, bytes.size());
    add(out, "unit", bytes[0]);
    describe_pdu(out, role, bytes.data() + 1, bytes.size() - 2);
    uint8_t sum = 0;  // the LRC makes the sum of all bytes, itself included, zero
    for (uint8_t b : bytes)
        sum = uint8_t(sum + b);
    if (sum != 0)
        add_text(out, "bad LRC");
}

template <class Out> void tcp_note(Out &out, Frame_role role, const uint8_t *data, size_t n)
{
    // The 7-byte header and a function code at least.
    if (n < 8)
        return short_frame(out, n);
    add(out, "tid", word_at(data));
    add(out, "unit", data[6]);
    describe_pdu(out, role, data + 7, n - 7);
    if (const unsigned protocol = word_at(data + 2); protocol != 0)
        add(out, "protocol", protocol);
    // The length field counts the unit id and the PDU.
    if (const unsigned length = word_at(data + 4); length != n - 6)
        add(out, "length field", length);
}

template <class Out>
void note_to(Out &out, Traffic_framing framing, Frame_role role, const uint8_t *data, size_t n)
{
    if (data == nullptr)
        n = 0;
    switch (framing) {
    case Traffic_framing::Rtu: return rtu_note(out, role, data, n);
    case Traffic_framing::Ascii: return ascii_note(out, role, data, n);
    case Traffic_framing::Tcp: return tcp_note(out, role, data, n);
    }
}

}  // namespace

std::string frame_note(Traffic_framing framing, Frame_role role, const uint8_t *data, size_t n)
{
    std::string out;
    note_to(out, framing, role, data, n);
    return out;
}

size_t frame_note_size(Traffic_framing framing, Frame_role role, const uint8_t *data, size_t n)
{
    Text_length out;
    note_to(out, framing, role, data, n);
    return out.n;
}

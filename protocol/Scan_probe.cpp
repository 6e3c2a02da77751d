#include "Scan_probe.h"

#include <cstdio>

#include "corvane.h"

namespace {

constexpr uint8_t kReadCoils = 1, kReadHolding = 3, kReadInput = 4, kMei = 43, kDeviceId = 14;

uint8_t probe_code(Scan_probe probe)
{
    switch (probe) {
    case Scan_probe::Holding_register: return kReadHolding;
    case Scan_probe::Input_register: return kReadInput;
    case Scan_probe::Coil: return kReadCoils;
    case Scan_probe::Device_identification: return kMei;
    }
    return kReadHolding;
}

void put_hex(std::vector<uint8_t> &out, uint8_t byte)
{
    static const char digits[] = "0123456789ABCDEF";
    out.push_back(uint8_t(digits[byte >> 4]));
    out.push_back(uint8_t(digits[byte & 0xF]));
}

// An identification object's value as text: printable ASCII kept, anything
// else shown as '?', so that a device's bytes cannot break a line or a file.
std::string object_text(const uint8_t *p, size_t n)
{
    constexpr size_t kMaxShown = 64;
    std::string s;
    for (size_t i = 0; i < n && i < kMaxShown; ++i)
        s += p[i] >= 0x20 && p[i] < 0x7F ? char(p[i]) : '?';
    return s;
}

// Objects 0, 1 and 2 (vendor, product code, revision) of a 43/14 answer;
// the answer is Foreign when its object list runs past its end.
Scan_answer read_identification(const uint8_t *pdu, size_t n)
{
    // 2B 0E, read code, conformity, more follows, next object, object count.
    constexpr size_t kObjects = 7;
    if (n < kObjects || pdu[1] != kDeviceId)
        return {};
    std::string parts[3];
    size_t at = kObjects;
    for (unsigned i = 0, count = pdu[6]; i < count; ++i) {
        if (at + 2 > n || at + 2 + pdu[at + 1] > n)
            return {};
        const uint8_t id = pdu[at], len = pdu[at + 1];
        if (id < 3)
            parts[id] = object_text(pdu + at + 2, len);
        at += 2 + size_t(len);
    }
    return {.kind = Scan_answer::Found, .text = "ok", .identity = parts[0] + " / " + parts[1] + " / " + parts[2]};
}

}  // namespace

std::vector<uint8_t> scan_pdu(Scan_probe probe, uint16_t index)
{
    if (probe == Scan_probe::Device_identification)
        return {kMei, kDeviceId, 0x01, 0x00};  // basic objects, from object 0
    return {probe_code(probe), uint8_t(index >> 8), uint8_t(index), 0x00, 0x01};
}

bool scan_address_index(const std::string &text, Scan_probe probe, uint16_t &index)
{
    if (probe == Scan_probe::Device_identification) {
        index = 0;
        return true;
    }
    size_t from = text.find_first_not_of(' '), to = text.find_last_not_of(' ');
    if (from == std::string::npos)
        return false;
    const std::string digits = text.substr(from, to - from + 1);
    if (digits.size() > 6 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const long value = std::stol(digits);
    const char table = probe == Scan_probe::Holding_register ? '4' : probe == Scan_probe::Input_register ? '3' : '0';
    long offset = -1;  // from 1
    if (digits.size() <= 4)
        offset = value;
    else if (digits[0] == table)
        offset = std::stol(digits.substr(1));
    const long top = digits.size() == 6 ? 65536 : 9999;
    if (offset < 1 || offset > top)
        return false;
    index = uint16_t(offset - 1);
    return true;
}

std::string scan_first_address(Scan_probe probe)
{
    switch (probe) {
    case Scan_probe::Holding_register: return "40001";
    case Scan_probe::Input_register: return "30001";
    case Scan_probe::Coil: return "00001";
    default: return {};
    }
}

std::vector<uint8_t> scan_request(Scan_transport transport, Scan_probe probe, uint8_t unit, uint16_t index,
                                  uint16_t transaction)
{
    const std::vector<uint8_t> pdu = scan_pdu(probe, index);
    std::vector<uint8_t> out;
    switch (transport) {
    case Scan_transport::Rtu:
    case Scan_transport::Rtu_over_tcp: {
        out.push_back(unit);
        out.insert(out.end(), pdu.begin(), pdu.end());
        uint8_t crc[2];
        CRC_check(out.data(), int32_t(out.size()), crc);
        out.insert(out.end(), crc, crc + 2);
        return out;
    }
    case Scan_transport::Ascii: {
        out.push_back(':');
        uint8_t sum = unit;
        put_hex(out, unit);
        for (uint8_t b : pdu) {
            put_hex(out, b);
            sum = uint8_t(sum + b);
        }
        put_hex(out, uint8_t(-sum));
        out.push_back('\r');
        out.push_back('\n');
        return out;
    }
    case Scan_transport::Tcp:
    case Scan_transport::Udp: {
        const size_t length = pdu.size() + 1;
        out = {uint8_t(transaction >> 8), uint8_t(transaction), 0, 0, uint8_t(length >> 8), uint8_t(length), unit};
        out.insert(out.end(), pdu.begin(), pdu.end());
        return out;
    }
    }
    return out;
}

size_t scan_answer_limit(Scan_transport transport, Scan_probe probe)
{
    // Unit, PDU, checksum: 253 bytes of PDU at most for 43/14, a register 4,
    // a coil 3.
    const size_t pdu = probe == Scan_probe::Device_identification ? 253
                       : probe == Scan_probe::Coil                 ? 3
                                                                   : 4;
    switch (transport) {
    case Scan_transport::Ascii: return 1 + 2 * (1 + pdu + 1) + 2;
    case Scan_transport::Tcp:
    case Scan_transport::Udp: return 7 + pdu;
    default: return 1 + pdu + 2;
    }
}

Scan_answer read_scan_answer(Scan_probe probe, const uint8_t *pdu, size_t n)
{
    const uint8_t code = probe_code(probe);
    if (n == 0)
        return {};
    if (pdu[0] == (code | 0x80)) {
        if (n != 2)
            return {};
        if (pdu[1] == 0x0A || pdu[1] == 0x0B)
            return {.kind = Scan_answer::Absent};
        char text[16];
        std::snprintf(text, sizeof text, "exception %02X", pdu[1]);
        return {.kind = Scan_answer::Found, .text = text};
    }
    if (pdu[0] != code)
        return {};
    switch (probe) {
    case Scan_probe::Holding_register:
    case Scan_probe::Input_register:
        // One register: a byte count of 2. Anything else answers another
        // request (a poll still in flight), not this one.
        if (n != 4 || pdu[1] != 2)
            return {};
        return {.kind = Scan_answer::Found, .text = std::to_string(unsigned(pdu[2]) << 8 | pdu[3])};
    case Scan_probe::Coil:
        if (n != 3 || pdu[1] != 1)
            return {};
        return {.kind = Scan_answer::Found, .text = (pdu[2] & 1) ? "On" : "Off"};
    case Scan_probe::Device_identification:
        return read_identification(pdu, n);
    }
    return {};
}

// The codes beyond the classic eight (SlaveCodes::All) on any request, above
// all every length and byte count that does not match: nothing is read
// outside the request; the answer is one whole frame of its transport, of
// the size its code gives, or exception 01, 02 or 03; only holding registers
// change, only through an acknowledged code 22 or 23, each change reported;
// the comm event counter counts the normal answers other than code 11.
//
// Input: byte 0 chooses the transport (bits 0-1), whether the harness frames
// the request itself (bit 2: unit, checksum, length field) and the function
// code (bits 3-5: one of the new codes, or 7 for whatever byte 1 holds); the
// rest is the request after its function code, or all of it.
#include <cstdint>
#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include "Slave_engine.h"
#include "Slave_tables.h"
#include "corvane.h"

namespace {

using Bytes = std::vector<uint8_t>;

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

const char kHex[] = "0123456789ABCDEF";

// unit, then pdu, framed for the transport.
Bytes frame(SlaveFraming framing, const Bytes &pdu)
{
    Bytes out;
    switch (framing) {
    case SlaveFraming::Rtu: {
        out.push_back(1);
        out.insert(out.end(), pdu.begin(), pdu.end());
        uint8_t crc[2];
        CRC_check(out.data(), int32_t(out.size()), crc);
        out.push_back(crc[0]);
        out.push_back(crc[1]);
        break;
    }
    case SlaveFraming::Ascii: {
        out.push_back(':');
        uint8_t sum = 1;
        out.push_back('0');
        out.push_back('1');
        for (uint8_t b : pdu) {
            out.push_back(uint8_t(kHex[b >> 4]));
            out.push_back(uint8_t(kHex[b & 15]));
            sum = uint8_t(sum + b);
        }
        sum = uint8_t(-sum);
        out.push_back(uint8_t(kHex[sum >> 4]));
        out.push_back(uint8_t(kHex[sum & 15]));
        out.push_back('\r');
        out.push_back('\n');
        break;
    }
    case SlaveFraming::Tcp: {
        const size_t length = pdu.size() + 1;
        out = {0, 7, 0, 0, uint8_t(length >> 8), uint8_t(length & 0xFF), 1};
        out.insert(out.end(), pdu.begin(), pdu.end());
        break;
    }
    }
    return out;
}

int hex(uint8_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')  // a serial code 5 is answered with the request as it came
        return c - 'a' + 10;
    return -1;
}

// The PDU an answer carries, after checking its frame.
Bytes answer_pdu(SlaveFraming framing, const Bytes &r)
{
    check(r.size() <= kSlaveFrameMax);
    switch (framing) {
    case SlaveFraming::Rtu: {
        check(r.size() >= 5);
        uint8_t crc[2];
        CRC_check(r.data(), int32_t(r.size() - 2), crc);
        check(crc[0] == r[r.size() - 2] && crc[1] == r[r.size() - 1]);
        return Bytes(r.begin() + 1, r.end() - 2);
    }
    case SlaveFraming::Tcp:
        check(r.size() >= 9);
        check(size_t(r[4] << 8 | r[5]) == r.size() - 6);
        return Bytes(r.begin() + 7, r.end());
    case SlaveFraming::Ascii: {
        // The unit's two characters are echoed as they came, whatever they
        // are; the LRC covers them as the library reads them.
        check(r.size() >= 11 && r[0] == ':' && r[r.size() - 2] == '\r' && r[r.size() - 1] == '\n');
        check((r.size() - 5) % 2 == 0);
        std::vector<char> body(r.begin() + 1, r.end() - 4);
        char lrc[2];
        LRC_check(body.data(), int32_t(body.size()), lrc);
        check(uint8_t(lrc[0]) == r[r.size() - 4] && uint8_t(lrc[1]) == r[r.size() - 3]);
        Bytes pdu;
        for (size_t i = 3; i + 4 < r.size(); i += 2) {
            const int hi = hex(r[i]), lo = hex(r[i + 1]);
            check(hi >= 0 && lo >= 0);
            pdu.push_back(uint8_t(hi << 4 | lo));
        }
        return pdu;
    }
    }
    return {};
}

unsigned word(const Bytes &b, size_t i) { return unsigned(b[i]) << 8 | b[i + 1]; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    static const SlaveProfile *const profiles[] = {&kSlaveRtuProfile, &kSlaveAsciiProfile, &kSlaveTcpProfile,
                                                   &kSlaveTcpProfile};
    static const uint8_t codes[] = {7, 8, 11, 17, 22, 23, 43};
    const SlaveProfile &profile = *profiles[data[0] & 3];
    const bool frameIt = data[0] & 4;
    const unsigned pick = (data[0] >> 3) & 7;

    Bytes pdu;
    if (pick < 7)
        pdu.push_back(codes[pick]);
    pdu.insert(pdu.end(), data + 1, data + size);
    // The request lives in a buffer of exactly its own size, so ASan sees any over-read.
    Bytes request = frameIt ? frame(profile.framing, pdu) : Bytes(data + 1, data + size);
    request.shrink_to_fit();

    SlaveTables tables;
    for (int i = 0; i < kSlaveEntries; ++i)
        tables.holdingRegisters[i] = uint16_t(i * 263 + data[0]);
    tables.coils[0] = data[0];
    const SlaveTables before = tables;
    SlaveServeOptions options;
    options.codes = SlaveCodes::All;
    options.identity.product = "Fuzz";
    SlaveServeState state{.commEvents = uint16_t(size * 7)};
    const uint16_t eventsBefore = state.commEvents;

    const SlaveReply reply = serve_slave_request(profile, tables, request.empty() ? nullptr : request.data(),
                                                 request.size(), options, state);

    check(std::memcmp(before.inputRelays, tables.inputRelays, sizeof tables.inputRelays) == 0);
    check(std::memcmp(before.inputRegisters, tables.inputRegisters, sizeof tables.inputRegisters) == 0);
    std::set<std::pair<int, unsigned>> reported;
    for (const SlaveEvent &e : reply.events)
        if (e.type == SlaveEvent::Changed) {
            check((e.kind == KindHoldingRegister || e.kind == KindCoil) && e.index < kSlaveEntries);
            reported.insert({e.kind, e.index});
        }
    bool registers = false, coils = false;  // which table changed
    for (unsigned n = 0; n < kSlaveEntries; ++n) {
        if (before.holdingRegisters[n] != tables.holdingRegisters[n]) {
            check(reported.count({KindHoldingRegister, n}) == 1);
            registers = true;
        }
        if (before.ReadCoil(uint16_t(n)) != tables.ReadCoil(uint16_t(n))) {
            check(reported.count({KindCoil, n}) == 1);
            coils = true;
        }
    }

    if (reply.response.empty()) {
        check(!registers && !coils && state.commEvents == eventsBefore);
        return 0;
    }
    // A raw serial code 5 is answered with the request itself, as it came.
    if (!frameIt && profile.framing == SlaveFraming::Ascii && reply.response == request)
        return 0;
    const Bytes answer = answer_pdu(profile.framing, reply.response);
    check(!answer.empty());
    const unsigned fn = answer[0] & 0x7F;
    if (answer[0] & 0x80) {
        check(answer.size() == 2 && answer[1] >= 1 && answer[1] <= 3);
        check(!registers && !coils && state.commEvents == eventsBefore);
        return 0;
    }
    // A raw request may hold a classic write code.
    check(!coils || fn == 5 || fn == 15);
    check(!registers || fn == 6 || fn == 16 || fn == 22 || fn == 23);
    check(state.commEvents == uint16_t(eventsBefore + (fn == 11 ? 0 : 1)));
    // What a normal answer holds, from the request the harness made.
    if (!frameIt || pick == 7)
        return 0;
    check(fn == pdu[0]);
    switch (fn) {
    case 7: check(answer.size() == 2 && answer[1] == data[0]); break;
    case 8: check(answer == pdu && pdu.size() >= 3 && word(pdu, 1) == 0 && pdu.size() % 2 == 1); break;
    case 11: check(answer.size() == 5 && word(answer, 1) == 0 && word(answer, 3) == eventsBefore); break;
    case 17: check(answer.size() == 2u + answer[1] && answer[1] == 2 + 7 && answer[3] == 0xFF); break;
    case 22: {
        check(answer == pdu && pdu.size() == 7);
        const unsigned a = word(pdu, 1), andMask = word(pdu, 3), orMask = word(pdu, 5);
        check(tables.holdingRegisters[a] ==
              uint16_t((before.holdingRegisters[a] & andMask) | (orMask & ~andMask)));
        break;
    }
    case 23: {
        check(pdu.size() >= 10);
        const unsigned readCount = word(pdu, 3), writeCount = word(pdu, 7);
        check(readCount >= 1 && readCount <= 125 && writeCount >= 1 && writeCount <= 121);
        check(pdu.size() == 10 + 2 * writeCount && answer.size() == 2 + 2 * readCount && answer[1] == 2 * readCount);
        break;
    }
    case 43: {
        // Objects, each id, length and text, fill the answer exactly.
        check(answer.size() >= 7 && answer[1] == 14 && answer[3] == 0x81 && answer[4] == 0);
        size_t at = 7;
        for (unsigned k = 0; k < answer[6]; ++k) {
            check(at + 2 <= answer.size() && answer[at] <= 2);
            at += 2 + answer[at + 1];
        }
        check(at == answer.size());
        break;
    }
    default: check(false);
    }
    return 0;
}

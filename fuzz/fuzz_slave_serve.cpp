// The slave serving engine of each transport, with its four tables, on any
// request: nothing is read or written outside the request, the tables or the
// frame buffers; a response is framed as its transport frames it; only coils
// and holding registers ever change, only through a write code that was
// acknowledged, and every changed entry is reported for its grid.
//
// Input: byte 0 chooses the transport (bits 0-1), whether the harness closes
// the frame with a correct checksum (bit 2) and a table pattern (bits 3-7);
// the rest is the request (or its body, when the harness closes it).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include "Slave_engine.h"
#include "Slave_tables.h"
#include "corvane.h"

namespace {

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

void seed(SlaveTables &t, unsigned pattern)
{
    for (int i = 0; i < kSlaveBitBytes; ++i) {
        t.coils[i] = uint8_t(pattern * 37 + i * 11);
        t.inputRelays[i] = uint8_t(pattern * 53 + i * 7);
    }
    for (int i = 0; i < kSlaveEntries; ++i) {
        t.holdingRegisters[i] = uint16_t(pattern * 4099 + i * 263);
        t.inputRegisters[i] = uint16_t(pattern * 1031 + i * 977);
    }
}

std::vector<uint8_t> close_frame(SlaveFraming framing, const uint8_t *body, size_t n)
{
    std::vector<uint8_t> out;
    switch (framing) {
    case SlaveFraming::Rtu: {
        out.assign(body, body + n);
        uint8_t crc[2];
        CRC_check(out.data(), int32_t(out.size()), crc);
        out.push_back(crc[0]);
        out.push_back(crc[1]);
        break;
    }
    case SlaveFraming::Ascii: {
        std::vector<char> work(body, body + n);
        char lrc[2];
        LRC_check(work.data(), int32_t(work.size()), lrc);
        out.push_back(':');
        out.insert(out.end(), body, body + n);
        out.push_back(uint8_t(lrc[0]));
        out.push_back(uint8_t(lrc[1]));
        out.push_back('\r');
        out.push_back('\n');
        break;
    }
    case SlaveFraming::Tcp:
        out.assign(body, body + n);
        break;
    }
    return out;
}

// The response is one whole frame of its transport.
void check_framing(SlaveFraming framing, const std::vector<uint8_t> &r)
{
    check(r.size() <= kSlaveFrameMax);
    switch (framing) {
    case SlaveFraming::Rtu: {
        check(r.size() >= 5);
        uint8_t crc[2];
        CRC_check(r.data(), int32_t(r.size() - 2), crc);
        check(crc[0] == r[r.size() - 2] && crc[1] == r[r.size() - 1]);
        if (r[1] & 0x80)
            check(r.size() == 5 && (r[2] == 1 || r[2] == 2 || r[2] == 3));
        else if (r[1] >= 1 && r[1] <= 4)
            check(r.size() == size_t(r[2]) + 5);
        break;
    }
    case SlaveFraming::Tcp: {
        check(r.size() >= 9);
        check(r[4] == 0 && size_t(r[5]) == r.size() - 6);
        if (r[7] & 0x80)
            check(r.size() == 9);
        else if (r[7] >= 1 && r[7] <= 4)
            check(r.size() == size_t(r[8]) + 9);
        else
            check(r.size() == 12);
        break;
    }
    case SlaveFraming::Ascii: {
        check(r.size() >= 11 && r[0] == ':' && r[r.size() - 2] == '\r' && r[r.size() - 1] == '\n');
        std::vector<char> body(r.begin() + 1, r.end() - 4);
        char lrc[2];
        LRC_check(body.data(), int32_t(body.size()), lrc);
        check(uint8_t(lrc[0]) == r[r.size() - 4] && uint8_t(lrc[1]) == r[r.size() - 3]);
        break;
    }
    }
}

// The function code the response answers, and whether it is an exception.
std::pair<unsigned, bool> response_function(SlaveFraming framing, const std::vector<uint8_t> &r)
{
    check(r.size() >= (framing == SlaveFraming::Rtu ? 5u : framing == SlaveFraming::Tcp ? 9u : 11u));
    unsigned fn = 0;
    switch (framing) {
    case SlaveFraming::Rtu: fn = r[1]; break;
    case SlaveFraming::Tcp: fn = r[7]; break;
    case SlaveFraming::Ascii: {
        char t[3] = {char(r[3]), char(r[4]), 0};
        uint16_t v = 0;
        check(ascxti(t, 2, &v) == 0);
        fn = v;
        break;
    }
    }
    return {fn & 0x7F, (fn & 0x80) != 0};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    static const SlaveProfile *const profiles[] = {&kSlaveRtuProfile, &kSlaveAsciiProfile, &kSlaveTcpProfile,
                                                   &kSlaveTcpProfile};
    const SlaveProfile &profile = *profiles[data[0] & 3];
    const bool closeIt = data[0] & 4;
    // The request lives in a buffer of exactly its own size, so ASan sees any over-read.
    std::vector<uint8_t> request =
        closeIt ? close_frame(profile.framing, data + 1, size - 1) : std::vector<uint8_t>(data + 1, data + size);
    if (request.empty())
        request.shrink_to_fit();

    SlaveTables tables;
    seed(tables, data[0] >> 3);
    const SlaveTables before = tables;

    const SlaveReply reply = serve_slave_request(profile, tables, request.empty() ? nullptr : request.data(),
                                                 request.size());

    // Nothing but the two writable tables changes.
    check(std::memcmp(before.inputRelays, tables.inputRelays, sizeof tables.inputRelays) == 0);
    check(std::memcmp(before.inputRegisters, tables.inputRegisters, sizeof tables.inputRegisters) == 0);

    int sends = 0;
    std::set<std::pair<int, unsigned>> reported;
    for (const SlaveEvent &e : reply.events) {
        if (e.type == SlaveEvent::Send)
            ++sends;
        if (e.type == SlaveEvent::Changed) {
            check(e.kind == KindCoil || e.kind == KindHoldingRegister);
            check(e.index < kSlaveEntries);
            reported.insert({e.kind, e.index});
        }
        if (e.type == SlaveEvent::Log)
            check(e.memo == 1 || e.memo == 2);
    }
    check(sends <= 1);
    check((sends == 1) == !reply.response.empty());

    // Every entry that changed was reported, so its grid cell shows it.
    bool changed = false;
    for (unsigned n = 0; n < kSlaveEntries; ++n) {
        if (before.ReadCoil(uint16_t(n)) != tables.ReadCoil(uint16_t(n))) {
            check(reported.count({KindCoil, n}) == 1);
            changed = true;
        }
        if (before.holdingRegisters[n] != tables.holdingRegisters[n]) {
            check(reported.count({KindHoldingRegister, n}) == 1);
            changed = true;
        }
    }
    if (!reply.response.empty()) {
        const auto [fn, exception] = response_function(profile.framing, reply.response);
        // Code 5 on a serial line answers with the request itself, as received.
        if (fn == 5 && !exception && profile.framing != SlaveFraming::Tcp)
            check(reply.response.size() == std::min(request.size(), kSlaveFrameMax));
        else
            check_framing(profile.framing, reply.response);
        if (profile.framing == SlaveFraming::Rtu && !exception && (fn == 6 || fn == 15 || fn == 16))
            check(reply.response.size() == 8);
        // A refused request writes nothing; a write is acknowledged once it is in the table.
        if (exception)
            check(!changed);
        if (changed)
            check(!exception && (fn == 5 || fn == 6 || fn == 15 || fn == 16));
    } else {
        check(!changed);  // nothing is written without an answer
    }
    return 0;
}

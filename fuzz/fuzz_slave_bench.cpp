// The slave bench (unit filter, injected faults, counters) over the serving
// engine, on any request and any option set: a request the filter turns away
// or a forced exception answers never writes a table; a serial request for
// another unit is never answered and a TCP one gets exception 0B; an answer
// goes out only as a whole frame whose checksum is right unless corruption
// is on, and then wrong; the counters add up.
//
// Input: byte 0 chooses the transport (bits 0-1) and whether the harness
// closes the frame with a correct checksum (bit 2); byte 1 the options (bit 0
// unit filter, bit 1 forced exception 04, bit 2 corrupt checksum, bit 3 drop
// every 2nd, bit 4 delay); byte 2 the one unit the filter lets through; the
// rest is the request (or its body). The request is served twice.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "Slave_bench.h"
#include "corvane.h"

namespace {

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

std::vector<uint8_t> close_frame(SlaveFraming framing, const uint8_t *body, size_t n)
{
    std::vector<uint8_t> out;
    if (framing == SlaveFraming::Rtu) {
        out.assign(body, body + n);
        uint8_t crc[2];
        CRC_check(out.data(), int32_t(out.size()), crc);
        out.insert(out.end(), crc, crc + 2);
    } else if (framing == SlaveFraming::Ascii) {
        std::vector<char> work(body, body + n);
        char lrc[2];
        LRC_check(work.data(), int32_t(work.size()), lrc);
        out.push_back(':');
        out.insert(out.end(), body, body + n);
        out.insert(out.end(), {uint8_t(lrc[0]), uint8_t(lrc[1]), '\r', '\n'});
    } else {
        out.assign(body, body + n);
    }
    return out;
}

// Whether the checksum a serial answer carries is right.
bool checksum_right(SlaveFraming framing, const std::vector<uint8_t> &r)
{
    if (framing == SlaveFraming::Rtu) {
        check(r.size() >= 4);
        uint8_t crc[2];
        CRC_check(r.data(), int32_t(r.size() - 2), crc);
        return crc[0] == r[r.size() - 2] && crc[1] == r[r.size() - 1];
    }
    check(r.size() >= 9 && r[0] == ':' && r[r.size() - 2] == '\r' && r[r.size() - 1] == '\n');
    std::vector<char> body(r.begin() + 1, r.end() - 4);
    char lrc[2];
    LRC_check(body.data(), int32_t(body.size()), lrc);
    return uint8_t(lrc[0]) == r[r.size() - 4] && uint8_t(lrc[1]) == r[r.size() - 3];
}

// The unit a request addresses, as the bench reads it; -1 when unreadable.
int unit_of(SlaveFraming framing, const std::vector<uint8_t> &q)
{
    if (framing == SlaveFraming::Rtu)
        return q.empty() ? -1 : q[0];
    if (framing == SlaveFraming::Tcp)
        return q.size() < 7 ? -1 : q[6];
    if (q.size() < 3)
        return -1;
    char t[3] = {char(q[1]), char(q[2]), 0};
    uint16_t v = 0;
    return ascxti(t, 2, &v) == 0 ? int(v) : -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    static const SlaveFraming framings[] = {SlaveFraming::Rtu, SlaveFraming::Ascii, SlaveFraming::Tcp,
                                            SlaveFraming::Tcp};
    const SlaveFraming framing = framings[data[0] & 3];
    const SlaveProfile &profile = slave_profile_of(framing);
    const bool serial = framing != SlaveFraming::Tcp;
    const std::vector<uint8_t> request = data[0] & 4 ? close_frame(framing, data + 3, size - 3)
                                                     : std::vector<uint8_t>(data + 3, data + size);
    const unsigned options = data[1];
    const bool filtered = options & 1, forced = options & 2, corrupt = options & 4;

    SlaveBench bench;
    std::string error;
    if (filtered)
        check(UnitFilter::parse(std::to_string(data[2]), bench.units, error));
    bench.faults = {.delayMs = options & 16 ? 5 : 0,
                    .dropEvery = options & 8 ? 2u : 0u,
                    .exceptionCode = uint8_t(forced ? 4 : 0),
                    .corruptChecksum = corrupt};

    const int unit = unit_of(framing, request);
    const bool turnedAway = filtered && unit != data[2] && !(serial && unit == 0);
    for (int round = 0; round < 2; ++round) {
        SlaveTables tables;
        const SlaveBenchReply r = bench.serve(profile, tables, request.data(), request.size());
        static const SlaveTables untouched{};
        const bool written = std::memcmp(&tables, &untouched, sizeof tables) != 0;
        int sends = 0;
        for (const SlaveEvent &e : r.reply.events)
            sends += e.type == SlaveEvent::Send;
        check(sends <= 1 && (sends == 1) == !r.reply.response.empty());
        if (turnedAway || forced)
            check(!written);
        if (filtered && serial && (turnedAway || unit == 0))
            check(sends == 0);
        if (sends == 0)
            continue;
        const std::vector<uint8_t> &a = r.reply.response;
        if (turnedAway)
            check(!serial && a.size() == 9 && (a[7] & 0x80) && a[8] == 0x0B);
        else if (forced)
            check(slave_answer_is_exception(framing, a));
        if (serial)
            check(checksum_right(framing, a) == !corrupt);
        check(r.delayMs == (turnedAway ? 0 : bench.faults.delayMs));
    }
    const SlaveStats &s = bench.stats;
    // Each request is answered, broken, turned away or dropped, or a broadcast
    // left unanswered; only a TCP request turned away is also answered.
    const uint64_t outcomes = s.ans + s.err + s.drop + (serial ? s.ign : 0);
    check(s.req == 2 && s.exc <= s.ans);
    check(outcomes == 2 || (filtered && serial && unit == 0 && outcomes == 0));
    return 0;
}

#include "Slave_bench.h"

#include <algorithm>
#include <string>

#include "Strformat.h"
#include "corvane.h"

namespace {

// What the bench needs to know of a request before the engine sees it.
struct FrameView {
    bool intact = false;     // checksum right and a function code present
    bool unitKnown = false;  // the unit address could be read
    uint8_t unit = 0;
};

FrameView inspect(SlaveFraming framing, const uint8_t *req, size_t n)
{
    // The engine cuts a request to its buffer; judge what it will judge.
    const size_t m = std::min(n, kSlaveFrameMax);
    FrameView f;
    switch (framing) {
    case SlaveFraming::Rtu: {
        // Two or three bytes with a right CRC are answered by the engine
        // (exception 03), so the filter must see them too; two bytes carry
        // no address, which no filter lets through.
        if (m < 2)
            return f;
        uint8_t crc[2];
        CRC_check(req, int32_t(m - 2), crc);
        f.intact = crc[0] == req[m - 2] && crc[1] == req[m - 1];
        f.unitKnown = m >= 3;
        f.unit = f.unitKnown ? req[0] : 0;
        return f;
    }
    case SlaveFraming::Ascii: {
        // ':' unit(2) function(2) ... LRC(2) CR LF
        if (m < 9 || (m - 5) % 2 != 0)
            return f;
        // The decoders upper-case in place and stop at a NUL: work on a copy.
        std::string text(reinterpret_cast<const char *>(req), m);
        char lrc[2];
        LRC_check(text.data() + 1, int32_t(m - 5), lrc);
        uint16_t fn = 0, unit = 0;
        std::string field = text.substr(3, 2);
        f.intact = lrc[0] == text[m - 4] && lrc[1] == text[m - 3] && ascxti(field.data(), 2, &fn) == 0;
        field = text.substr(1, 2);
        f.unitKnown = ascxti(field.data(), 2, &unit) == 0;
        f.unit = uint8_t(unit);
        return f;
    }
    case SlaveFraming::Tcp:
        if (m < 8)  // MBAP header, unit, function
            return f;
        f.intact = f.unitKnown = true;
        f.unit = req[6];
        return f;
    }
    return f;
}

std::string frame_text(SlaveFraming framing, const std::vector<uint8_t> &frame)
{
    if (framing == SlaveFraming::Ascii)
        return std::string(frame.begin(), frame.end());
    return slave_hex_bytes(frame.data(), frame.size());
}

void log(SlaveReply &r, int memo, std::string text)
{
    r.events.push_back({.type = SlaveEvent::Log, .memo = memo, .text = std::move(text)});
}

// The opening events of every served request, as the engine writes them;
// none when the caller wants no texts.
SlaveReply query_header(const SlaveProfile &p, const SlaveServeOptions &o, const uint8_t *req, size_t n)
{
    const size_t m = std::min(n, kSlaveFrameMax);
    SlaveReply r;
    if (!o.logTexts)
        return r;
    r.events.push_back({.type = SlaveEvent::ClearMemos, .memo = 0, .text = {}});
    if (p.framing == SlaveFraming::Ascii)
        log(r, 1, p.queryCaption + std::string(reinterpret_cast<const char *>(req), m));
    else
        log(r, 1, p.queryCaption + slave_hex_bytes(req, m));
    return r;
}

// Sends an exception answer the bench made, logged as the engine logs its own.
void send_exception(const SlaveProfile &p, const SlaveServeOptions &o, SlaveReply &r, std::vector<uint8_t> frame)
{
    const std::string text = o.logTexts ? frame_text(p.framing, frame) : std::string();
    r.response = std::move(frame);
    if (p.exceptionCaption && o.logTexts)
        log(r, 2, p.exceptionCaption + text);
    r.events.push_back({.type = SlaveEvent::Send, .memo = 0, .text = {}});
    if (!p.exceptionCaption && o.logTexts)
        log(r, 2, p.responseCaption + text);
}

// After the checksum of the engine's answer was inverted, its log line shows
// the frame that goes out on the line.
void relog_answer(SlaveFraming framing, SlaveReply &r, const std::string &before)
{
    const std::string after = frame_text(framing, r.response);
    for (SlaveEvent &e : r.events)
        if (e.type == SlaveEvent::Log && e.memo == 2 && e.text.size() >= before.size() &&
            e.text.compare(e.text.size() - before.size(), before.size(), before) == 0) {
            e.text.replace(e.text.size() - before.size(), before.size(), after);
            return;
        }
}

void withhold(SlaveReply &r)
{
    r.response.clear();
    std::erase_if(r.events, [](const SlaveEvent &e) { return e.type == SlaveEvent::Send; });
}

}  // namespace

bool slave_request_unit(SlaveFraming framing, const uint8_t *request, size_t n, uint8_t &unit)
{
    const FrameView f = inspect(framing, request, n);
    unit = f.unit;
    return f.intact && f.unitKnown;
}

bool slave_answer_is_exception(SlaveFraming framing, const std::vector<uint8_t> &frame)
{
    const int fn = slave_request_function(framing, frame.data(), frame.size());
    return fn >= 0 && (fn & 0x80) != 0;
}

void SlaveBench::count(SlaveFraming framing, const SlaveReply &reply)
{
    if (!reply.sent()) {
        ++stats.err;
        return;
    }
    ++stats.ans;
    if (slave_answer_is_exception(framing, reply.response))
        ++stats.exc;
}

SlaveBenchReply SlaveBench::serve(const SlaveProfile &profile, SlaveTables &tables, const uint8_t *request, size_t n)
{
    FixedTablesMemory memory(tables);
    return serve(profile, memory, request, n);
}

SlaveBenchReply SlaveBench::serve(const SlaveProfile &profile, SlaveMemory &tables, const uint8_t *request, size_t n)
{
    ++stats.req;
    if (units.all() && !faults.active()) {
        SlaveBenchReply out{
            .reply = serve_slave_request(profile, tables, request, n, serving, serveState), .delayMs = 0, .notes = {}};
        count(profile.framing, out.reply);
        return out;
    }
    return serveFiltered(profile, tables, request, n);
}

SlaveBenchReply SlaveBench::serveFiltered(const SlaveProfile &profile, SlaveMemory &tables, const uint8_t *request,
                                          size_t n)
{
    const SlaveFraming framing = profile.framing;
    const FrameView f = inspect(framing, request, n);
    SlaveBenchReply out;
    if (!f.intact) {
        out.reply = serve_slave_request(profile, tables, request, n, serving, serveState);
        count(framing, out.reply);
        return out;
    }
    const bool forced = faults.exceptionCode != 0;
    if (!units.all()) {
        if (!f.unitKnown) {
            // An ASCII address that is not a number, or an RTU frame too
            // short to hold one: the filter cannot be applied, so the
            // request is refused.
            out.reply = query_header(profile, serving, request, n);
            if (serving.logTexts)
                log(out.reply, 1,
                    strformat(framing == SlaveFraming::Ascii ? profile.notHex : profile.fieldsShort,
                              int(std::min(n, kSlaveFrameMax))));
            ++stats.err;
            return out;
        }
        if (framing != SlaveFraming::Tcp && f.unit == 0) {
            out.reply = forced ? query_header(profile, serving, request, n)
                               : serve_slave_request(profile, tables, request, n, serving, serveState);
            withhold(out.reply);
            if (serving.logTexts)
                log(out.reply, 2, "Broadcast: not answered");
            out.notes.emplace_back("Broadcast: not answered");
            return out;
        }
        if (!units.allows(f.unit)) {
            ++stats.ign;
            out.reply = query_header(profile, serving, request, n);
            out.notes.push_back(strformat("Ignored: unit %u", unsigned(f.unit)));
            if (serving.logTexts)
                log(out.reply, 1, out.notes.back());
            if (framing == SlaveFraming::Tcp) {
                const int fn = slave_request_function(framing, request, n);
                send_exception(profile, serving, out.reply,
                               build_slave_exception(profile, request, n, unsigned(fn), 0x0B));
                count(framing, out.reply);
            }
            return out;
        }
    }

    out.reply = forced ? query_header(profile, serving, request, n)
                       : serve_slave_request(profile, tables, request, n, serving, serveState);
    if (!forced && !out.reply.sent()) {
        ++stats.err;
        return out;
    }
    const std::string engineAnswer =
        faults.corruptChecksum && !forced && serving.logTexts ? frame_text(framing, out.reply.response) : std::string();
    FaultOutcome fault = apply_faults(faults, faultState, framing, request, n, out.reply.response);
    if (fault.dropped) {
        withhold(out.reply);
        ++stats.drop;
    } else if (fault.forced) {
        send_exception(profile, serving, out.reply, std::move(out.reply.response));
    } else if (fault.corrupted && serving.logTexts) {
        relog_answer(framing, out.reply, engineAnswer);
    }
    for (std::string &line : fault.lines) {
        out.notes.push_back(line);
        if (serving.logTexts)
            log(out.reply, 2, std::move(line));
    }
    out.delayMs = fault.delayMs;
    if (!fault.dropped)
        count(framing, out.reply);
    return out;
}

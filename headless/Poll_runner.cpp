#include "Poll_runner.h"

#include <algorithm>
#include <cmath>

#include "Answer_code.h"
#include "Poll_wait.h"
#include "Query.h"
#include "Strformat.h"
#include "Wall_time.h"

namespace {

bool split(Traffic_framing framing, const uint8_t *frame, int32_t n, Frame_pdu &out)
{
    switch (framing) {
    case Traffic_framing::Rtu: return rtu_frame_pdu(frame, n, out);
    case Traffic_framing::Ascii: return ascii_frame_pdu(reinterpret_cast<const char *>(frame), n, out);
    case Traffic_framing::Tcp: return tcp_frame_pdu(frame, n, out);
    }
    return false;
}

// The map's reading status a failure leaves on the entries (the value log
// lists them among the errors).
Read_status read_status(const Poll_result &r)
{
    switch (r.kind) {
    case Poll_result::Exception: return Read_status::Exception;
    case Poll_result::ChecksumError:
    case Poll_result::BadAnswer: return Read_status::CrcError;
    default: return Read_status::Timeout;
    }
}

// At most this many identification answers make up one identity.
constexpr int kIdentityParts = 8;

}  // namespace

Poll_runner::Poll_runner(const Poll_options &options, Poll_plan &plan, Poll_link &link, Poll_printer &printer)
    : o_(options), plan_(plan), link_(link), printer_(printer)
{
}

Poll_result Poll_runner::exchange(const Poll_request &request)
{
    Poll_result out;
    const Traffic_framing framing = link_.framing();
    const int32_t n = frame_poll_request(framing, request, frame_);
    Frame_pdu asked;
    if (n < 0 || !split(framing, frame_, n, asked)) {  // every plan frames: a refusal is a fault here
        out.kind = Poll_result::BadAnswer;
        out.status = "request refused";
        return out;
    }
    const bool broadcast = request.unit == 0 && framing != Traffic_framing::Tcp;
    const Link_answer a = link_.exchange(frame_, n, broadcast);
    if (a.sent)
        stats_.requestWritten();
    out.responseMs = a.responseMs;
    switch (a.status) {
    case Link_answer::Frame: {
        if (!split(framing, a.frame.data(), int32_t(a.frame.size()), out.answer)) {
            stats_.error();
            out.kind = Poll_result::BadAnswer;
            out.status = "bad answer";
            break;
        }
        const Answer_verdict v = judge_answer(asked, out.answer);
        if (v.kind == Answer_verdict::Bad) {
            stats_.error();
            out.kind = Poll_result::BadAnswer;
            out.status = "bad answer";
            break;
        }
        stats_.answered(a.responseMs, v.kind == Answer_verdict::Exception);
        out.kind = v.kind == Answer_verdict::Ok ? Poll_result::Ok : Poll_result::Exception;
        out.exception = v.exception;
        out.status = out.kind == Poll_result::Ok ? "ok" : strformat("exception %02X", unsigned(v.exception));
        break;
    }
    case Link_answer::NoAnswer:
        out.kind = Poll_result::Sent;
        out.status = "ok";
        break;
    case Link_answer::TimeOut:
        stats_.timedOut();
        out.kind = Poll_result::TimeOut;
        out.status = "time-out";
        break;
    case Link_answer::ChecksumError:
        stats_.error();
        out.kind = Poll_result::ChecksumError;
        out.status = framing == Traffic_framing::Ascii ? "LRC error" : "CRC error";
        break;
    case Link_answer::Broken:
        stats_.error();
        out.kind = Poll_result::BadAnswer;
        out.status = "bad answer";
        break;
    case Link_answer::NotConnected:
        out.kind = Poll_result::NotConnected;
        out.status = "not connected";
        break;
    case Link_answer::Stopped:
        out.kind = Poll_result::Stopped;
        out.status = "stopped";
        break;
    }
    return out;
}

Poll_result Poll_runner::identify(uint8_t unit, std::vector<Identity_object> &objects)
{
    objects.clear();
    Poll_request q;
    q.unit = unit;
    q.function = 43;
    uint8_t object = 0;
    Poll_result r;
    for (int part = 0; part < kIdentityParts; ++part) {
        q.pdu.resize(kMaxPdu);
        q.pdu.resize(size_t(identify_pdu(1, object, q.pdu.data())));
        r = exchange(q);
        if (r.kind != Poll_result::Ok)
            return r;
        Identity_part got;
        answer_identity(r.answer, got);  // judged whole already
        objects.insert(objects.end(), got.objects.begin(), got.objects.end());
        // Further answers only while the device moves on.
        if (!got.more || got.next <= object)
            break;
        object = got.next;
    }
    return r;
}

bool Poll_runner::poll(std::vector<Entry_reading> &readings)
{
    begin_cycle(readings);
    for (const Poll_job &job : plan_.jobs) {
        if (stop_requested())
            return false;
        Poll_result r;
        std::vector<Identity_object> objects;
        if (job.kind == Poll_step::Identify)
            r = identify(job.request.unit, objects);
        else
            r = exchange(job.request);
        if (r.kind == Poll_result::Stopped)
            return false;
        failed_ = failed_ || r.failed();
        const int64_t now = wall_clock_ms();
        if (job.reads) {
            bool taken = false;
            if (r.kind == Poll_result::Ok && r.answer.pdu.size() >= 2) {
                const std::span<const uint8_t> data(r.answer.pdu.data() + 2, r.answer.pdu.size() - 2);
                const std::vector<uint16_t> values = unpack_read_answer(job.block.table, job.block.count, data);
                taken = take_block_answer(job.block, plan_.entries, values, now, readings);
            }
            if (!taken)
                take_block_failure(job.block, r.kind == Poll_result::Ok ? Read_status::CrcError : read_status(r),
                                   r.exception, readings);
            printer_.read(now, job, readings, r.status);
            if (job.kind == Poll_step::ReadWrite)
                printer_.write(now, job, r.status);
            continue;
        }
        switch (job.kind) {
        case Poll_step::Write: printer_.write(now, job, r.status); break;
        case Poll_step::MaskWrite: printer_.mask(now, job, r.status); break;
        case Poll_step::Identify: printer_.identity(now, job.request.unit, objects, r.status); break;
        case Poll_step::ReportId:
            printer_.report(now, job.request.unit, r.kind == Poll_result::Ok ? answer_report(r.answer) : std::vector<uint8_t>{},
                            r.status);
            break;
        default: break;
        }
    }
    return true;
}

int Poll_runner::run()
{
    std::vector<Entry_reading> readings(plan_.entries.size());
    printer_.begin();
    const int64_t start = monotonic_ms();
    const int64_t end = o_.durationS > 0 ? start + int64_t(std::llround(o_.durationS * 1000)) : INT64_MAX;
    long done = 0;
    for (;;) {
        const int64_t pollStart = monotonic_ms();
        const bool whole = poll(readings);
        // A poll cut short by a stop has no CSV line: its columns are not all read.
        if ((whole || o_.output != Poll_output::Csv) && !printer_.end(wall_clock_ms(), readings)) {
            failed_ = failed_ || !stop_requested();  // nothing more can be told
            break;
        }
        if (!whole)
            break;
        ++done;
        if (!o_.repeat || (o_.polls > 0 && done >= o_.polls))
            break;
        // Start to start, never faster than the interval; a duration's end
        // cuts the wait short.
        const int64_t next = std::min(pollStart + o_.intervalMs, end);
        const int64_t now = monotonic_ms();
        if (next > now && wait_for(-1, 0, int(std::min<int64_t>(next - now, INT32_MAX))) == Wait_result::Stopped)
            break;
        if (stop_requested() || monotonic_ms() >= end)
            break;
    }
    return failed_ ? 1 : 0;
}

int Poll_runner::scan()
{
    // The probe: the first --read block, or one holding register at 40001.
    Grid_address at;
    uint16_t count = 1;
    bool given = false, identity = false;
    for (const Poll_step &s : o_.steps) {
        if (s.kind == Poll_step::Read && !given) {
            at = s.at;
            count = s.count;
            given = true;
        }
        identity = identity || s.kind == Poll_step::Identify;
    }
    Poll_plan probePlan;
    Poll_job probe = read_job(at, count, 1, o_.format, probePlan);
    Poll_printer values(Poll_output::Text, stdout, probePlan);
    std::vector<Entry_reading> readings(probePlan.entries.size());
    int found = 0;
    for (int unit = o_.scanFirst; unit <= o_.scanLast && !stop_requested(); ++unit) {
        probe.request.unit = uint8_t(unit);
        const Poll_result r = exchange(probe.request);
        if (r.kind == Poll_result::Stopped)
            break;
        // An exception answer says a device is there, except the gateway's
        // two for a device that is not (0A path unavailable, 0B no answer).
        const bool there = r.kind == Poll_result::Ok ||
                           (r.kind == Poll_result::Exception && r.exception != 0x0A && r.exception != 0x0B);
        if (!there)
            continue;
        ++found;
        std::vector<std::string> shown;
        if (r.kind == Poll_result::Ok && r.answer.pdu.size() >= 2) {
            begin_cycle(readings);
            const std::span<const uint8_t> data(r.answer.pdu.data() + 2, r.answer.pdu.size() - 2);
            if (take_block_answer(probe.block, probePlan.entries,
                                  unpack_read_answer(probe.block.table, probe.block.count, data), 0, readings))
                for (size_t i = 0; i < readings.size(); ++i)
                    shown.push_back(values.valueText(i, readings[i]));
        }
        std::vector<Identity_object> objects;
        if (identity) {
            const Poll_result id = identify(uint8_t(unit), objects);
            if (id.kind == Poll_result::Stopped)
                break;
        }
        printer_.found(wall_clock_ms(), unit, r.status, r.responseMs, shown, identity ? &objects : nullptr);
        if (!printer_.end(wall_clock_ms(), {}))
            return 1;
    }
    return found > 0 ? 0 : 1;
}

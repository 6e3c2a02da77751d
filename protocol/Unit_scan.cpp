#include "Unit_scan.h"

#include <algorithm>

#include "Csv_text.h"
#include "Hex_digit.h"

namespace {

constexpr int32_t kBauds[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

int32_t character_bits(const Scan_setting &s)
{
    return 1 + s.data_bits + (s.parity == 'N' ? 0 : 1) + s.stop_bits;
}

// 3.5 characters of silence between frames, at least 2 ms.
int32_t silence_ms(const Scan_setting &s)
{
    if (s.baud <= 0)
        return 2;
    const int64_t ms = (35LL * character_bits(s) * 1000 + 10LL * s.baud - 1) / (10LL * s.baud);
    return int32_t(std::max<int64_t>(2, ms));
}

uint8_t probe_code(Scan_probe probe)
{
    switch (probe) {
    case Scan_probe::Holding_register: return 3;
    case Scan_probe::Input_register: return 4;
    case Scan_probe::Coil: return 1;
    case Scan_probe::Device_identification: return 43;
    }
    return 3;
}

// The function code a broken frame starts with, or -1 when it is too short.
int broken_code(Scan_transport t, const std::vector<uint8_t> &b)
{
    if (t == Scan_transport::Ascii) {
        if (b.size() < 5 || hex_digit(b[3]) < 0 || hex_digit(b[4]) < 0)
            return -1;
        return hex_digit(b[3]) << 4 | hex_digit(b[4]);
    }
    return b.size() >= 2 ? b[1] : -1;
}

}  // namespace

std::string scan_setting_text(const Scan_setting &s)
{
    return std::to_string(s.baud) + ' ' + s.parity + ' ' + std::to_string(s.data_bits) + ' ' +
           std::to_string(s.stop_bits);
}

std::vector<Scan_setting> scan_sweep_settings(int16_t data_bits)
{
    std::vector<Scan_setting> out;
    for (int32_t baud : kBauds)
        for (const auto &[parity, stop] : {std::pair{'N', 1}, {'E', 1}, {'O', 1}, {'N', 2}})
            out.push_back({.baud = baud, .parity = parity, .data_bits = data_bits, .stop_bits = int16_t(stop)});
    return out;
}

int32_t scan_line_ms(const Scan_setting &s, size_t n)
{
    if (s.baud <= 0)
        return 0;
    return int32_t((int64_t(n) * character_bits(s) * 1000 + s.baud - 1) / s.baud);
}

std::string Unit_scan::start(const Scan_options &options, int64_t now)
{
    if (options.first_unit < kMinUnit || options.last_unit > kMaxUnit || options.first_unit > options.last_unit)
        return "The units to scan must be 1 - 247, the first not above the last";
    if (options.timeout_ms < kMinTimeoutMs || options.timeout_ms > kMaxTimeoutMs)
        return "The time-out must be 20 - 5000 ms";
    if (options.settings.empty())
        return "No line setting to scan at";
    options_ = options;
    receiver_ = Scan_receiver(options.transport);
    rows_.clear();
    failure_.clear();
    setting_ = 0;
    unit_ = options.first_unit;
    done_ = 0;
    foundHere_ = extended_ = false;
    transaction_ = options.transaction == 0 ? 1 : options.transaction;
    state_ = State::Send;
    due_ = now;
    if (options_.sweep && !line_.set_line(options_.settings[0])) {
        failure_ = "The line cannot be set to " + scan_setting_text(options_.settings[0]);
        state_ = State::Done;
    }
    return {};
}

int Unit_scan::probesTotal() const
{
    const int units = options_.last_unit - options_.first_unit + 1;
    return units * (options_.sweep ? int(options_.settings.size()) : 1);
}

std::string Unit_scan::settingText() const
{
    if (scan_is_serial(options_.transport))
        return scan_setting_text(options_.settings[setting_]);
    return options_.setting_text;
}

bool Unit_scan::hasChecksum() const { return !scan_has_transaction(options_.transport); }

void Unit_scan::send(int64_t now)
{
    // What is left of an earlier answer can only be noise now.
    Scan_frame left;
    if (receiver_.release(left))
        line_.dropped(left.bytes.data(), left.bytes.size(), false);
    sentTransaction_ = transaction_;
    transaction_ = uint16_t(transaction_ == 0xFFFF ? 1 : transaction_ + 1);
    const std::vector<uint8_t> request =
        scan_request(options_.transport, options_.probe, uint8_t(unit_), options_.index, sentTransaction_);
    line_.send(request.data(), request.size());
    // The wait starts once the request has left a serial line.
    requestEnd_ = now;
    if (scan_is_serial(options_.transport))
        requestEnd_ += scan_line_ms(options_.settings[setting_], request.size());
    due_ = requestEnd_ + options_.timeout_ms;
    extended_ = false;
    state_ = State::Wait;
}

void Unit_scan::next(int64_t now, bool answered)
{
    ++done_;
    if (unit_ < options_.last_unit) {
        ++unit_;
    } else if (!options_.sweep || foundHere_ || setting_ + 1 >= options_.settings.size()) {
        state_ = State::Done;
        return;
    } else {
        ++setting_;
        unit_ = options_.first_unit;
        Scan_frame left;
        if (receiver_.release(left))
            line_.dropped(left.bytes.data(), left.bytes.size(), false);
        if (!line_.set_line(options_.settings[setting_])) {
            failure_ = "The line cannot be set to " + scan_setting_text(options_.settings[setting_]);
            state_ = State::Done;
            return;
        }
    }
    // A device that just answered gets the line's silence before the next
    // request; after a time-out the line has been quiet long enough.
    if (answered && scan_is_serial(options_.transport)) {
        state_ = State::Pause;
        due_ = now + silence_ms(options_.settings[setting_]);
    } else {
        state_ = State::Send;
    }
}

void Unit_scan::handle(Scan_frame &frame, int64_t now)
{
    const bool awaited = state_ == State::Wait;
    if (frame.kind == Scan_frame::Noise) {
        line_.dropped(frame.bytes.data(), frame.bytes.size(), false);
        return;
    }
    if (frame.kind == Scan_frame::Broken) {
        // A damaged answer of the unit probed: the device is there.
        const int code = broken_code(options_.transport, frame.bytes);
        if (awaited && hasChecksum() && frame.unit == unit_ && (code & 0x7F) == probe_code(options_.probe)) {
            line_.answer(frame.bytes.data(), frame.bytes.size());
            rows_.push_back({.unit = unit_,
                             .setting = settingText(),
                             .answer = options_.transport == Scan_transport::Ascii ? "LRC error" : "CRC error",
                             .time_ms = std::max<int64_t>(0, now - requestEnd_),
                             .line = scan_is_serial(options_.transport) ? options_.settings[setting_] : Scan_setting{}});
            next(now, true);
        } else {
            line_.dropped(frame.bytes.data(), frame.bytes.size(), false);
        }
        return;
    }
    const Scan_answer answer = read_scan_answer(options_.probe, frame.pdu.data(), frame.pdu.size());
    const bool late = !awaited || frame.unit != unit_ || answer.kind == Scan_answer::Foreign ||
                      (scan_has_transaction(options_.transport) && frame.transaction != sentTransaction_);
    if (late) {
        line_.dropped(frame.bytes.data(), frame.bytes.size(), true);
        return;
    }
    line_.answer(frame.bytes.data(), frame.bytes.size());
    if (answer.kind == Scan_answer::Found) {
        rows_.push_back({.unit = unit_,
                         .setting = settingText(),
                         .answer = answer.text,
                         .time_ms = std::max<int64_t>(0, now - requestEnd_),
                         .identity = answer.identity,
                         .line = scan_is_serial(options_.transport) ? options_.settings[setting_] : Scan_setting{}});
        foundHere_ = true;
    }
    next(now, true);
}

void Unit_scan::received(const uint8_t *data, size_t n, int64_t now)
{
    if (state_ == State::Done) {
        line_.dropped(data, n, true);
        return;
    }
    std::vector<Scan_frame> frames;
    receiver_.take(data, n, frames);
    for (Scan_frame &f : frames)
        handle(f, now);
}

int64_t Unit_scan::wake(int64_t now)
{
    // Each turn sends, or ends a wait or a pause; a send is followed by a wait.
    for (int turn = 0; turn < 8; ++turn) {
        switch (state_) {
        case State::Done:
            return -1;
        case State::Send:
            send(now);
            return due_;
        case State::Pause:
            if (now < due_)
                return due_;
            state_ = State::Send;
            break;
        case State::Wait: {
            if (now < due_)
                return due_;
            // An answer begun on a slow line gets the time its longest form
            // takes on the line, once.
            if (!extended_ && scan_is_serial(options_.transport) && receiver_.held() > 0) {
                const Scan_setting &s = options_.settings[setting_];
                extended_ = true;
                due_ = now + scan_line_ms(s, scan_answer_limit(options_.transport, options_.probe)) + silence_ms(s);
                return due_;
            }
            Scan_frame left;
            if (receiver_.release(left))
                handle(left, now);
            if (state_ == State::Wait)
                next(now, false);
            break;
        }
        }
    }
    return now;
}

void Unit_scan::stop()
{
    if (state_ == State::Done)
        return;
    state_ = State::Done;
    Scan_frame left;
    if (receiver_.release(left))
        line_.dropped(left.bytes.data(), left.bytes.size(), false);
}

std::string scan_csv(const std::vector<Scan_row> &rows)
{
    std::string out = "Unit,Setting,Answer,Time,Identity\n";
    for (const Scan_row &r : rows) {
        out += std::to_string(r.unit) + ',' + csv_field(r.setting) + ',' + csv_field(r.answer) + ',' +
               std::to_string(r.time_ms) + " ms," + csv_field(r.identity) + '\n';
    }
    return out;
}

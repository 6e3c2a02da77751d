#include "Traffic_history.h"

#include "Wall_time.h"

#include <algorithm>

Traffic_history::Traffic_history(Traffic_framing framing, Traffic_side side, Clock clock,
                                 size_t capacity)
    : framing_(framing), side_(side), clock_(clock ? std::move(clock) : Clock(wall_clock_ms)),
      capacity_(std::max<size_t>(capacity, 1))
{
}

void Traffic_history::push(Traffic_event &&e)
{
    e.time_ms = clock_();
    if (events_.size() >= capacity_) {
        events_.pop_front();
        if (!widest_.empty() && widest_.front().seq < first_seq())
            widest_.pop_front();
    }
    const size_t size = line_size(e);
    while (!widest_.empty() && widest_.back().size <= size)
        widest_.pop_back();
    widest_.push_back({.seq = end_seq_, .size = size});
    events_.push_back(std::move(e));
    ++end_seq_;
    ++changes_;
    if (listener_)
        listener_();
}

void Traffic_history::add_frame(Traffic_direction direction, const uint8_t *data, size_t n,
                                Traffic_info info)
{
    add_frame(direction, std::string_view(reinterpret_cast<const char *>(data), data ? n : 0),
              std::move(info));
}

void Traffic_history::add_frame(Traffic_direction direction, std::string_view data, Traffic_info info)
{
    Traffic_event e;
    e.direction = direction;
    e.local = info.local;
    e.peer = info.peer;
    e.carrier = info.carrier;
    e.response_ms = info.response_ms;
    e.length = uint32_t(std::min<size_t>(data.size(), UINT32_MAX));
    e.data.assign(data.substr(0, kMaxData));
    e.text = std::move(info.text);
    e.heard = info.heard;
    push(std::move(e));
}

void Traffic_history::add_event(std::string note, Traffic_info info, std::string_view data)
{
    info.text = std::move(note);
    add_frame(Traffic_direction::Event, data, std::move(info));
}

void Traffic_history::clear()
{
    std::deque<Traffic_event>().swap(events_);  // gives the memory back, not just the events
    std::deque<Width>().swap(widest_);
    ++changes_;
    if (listener_)
        listener_();
}

const Traffic_event *Traffic_history::find(uint64_t seq) const
{
    if (seq < first_seq() || seq >= end_seq_)
        return nullptr;
    return &events_[size_t(seq - first_seq())];
}

Frame_role Traffic_history::role(Traffic_direction direction) const
{
    const bool written = direction == Traffic_direction::Tx;
    return written == (side_ == Traffic_side::Master) ? Frame_role::Request : Frame_role::Answer;
}

namespace {

void put_number(std::string &out, int64_t value) { out += std::to_string(value); }
void put_number(Text_length &out, int64_t value) { out.n += std::to_string(value).size(); }

void put_frame_note(std::string &out, Traffic_framing framing, Frame_role role, const std::string &data)
{
    out += frame_note(framing, role, reinterpret_cast<const uint8_t *>(data.data()), data.size());
}

void put_frame_note(Text_length &out, Traffic_framing framing, Frame_role role, const std::string &data)
{
    out.n += frame_note_size(framing, role, reinterpret_cast<const uint8_t *>(data.data()), data.size());
}

// The note of a frame, written to its text or only counted (Out as for
// frame_note), by the same code.
template <class Out>
void put_note(Out &out, Traffic_framing framing, Frame_role role, const Traffic_event &e)
{
    // A frame heard on a line only listened to: the monitor said which it is.
    if (e.heard != Traffic_heard::No) {
        role = e.heard == Traffic_heard::Answer ? Frame_role::Answer : Frame_role::Request;
        out += e.heard == Traffic_heard::Request  ? "request "
               : e.heard == Traffic_heard::Answer ? "answer "
                                                  : "unknown ";
    }
    put_frame_note(out, framing, role, e.data);
    if (e.length > e.data.size()) {
        out += " (";
        put_number(out, e.length);
        out += " bytes, first ";
        put_number(out, int64_t(e.data.size()));
        out += " kept)";
    }
    if (e.response_ms >= 0) {
        out += " in ";
        put_number(out, e.response_ms);
        out += " ms";
    }
    if (!e.text.empty()) {
        out += "; ";
        out += e.text;
    }
}

}  // namespace

std::string Traffic_history::note(const Traffic_event &e) const
{
    if (e.direction == Traffic_direction::Event)
        return e.text;
    std::string out;
    put_note(out, layout(e), role(e.direction), e);
    return out;
}

Traffic_framing Traffic_history::layout(const Traffic_event &e) const
{
    return e.carrier == Traffic_carrier::Rtu_over_tcp ? Traffic_framing::Rtu : framing_;
}

std::string hex_bytes(std::string_view data)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(data.size() * 3);
    for (unsigned char c : data) {
        if (!out.empty())
            out += ' ';
        out += digits[c >> 4];
        out += digits[c & 0x0F];
    }
    return out;
}

std::string Traffic_history::shown_data(const Traffic_event &e) const
{
    if (framing_ != Traffic_framing::Ascii)
        return hex_bytes(e.data);
    // The text as received, each control or non-ASCII byte made visible, so a
    // line stays one line and shows what really came.
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(e.data.size() + 8);
    for (unsigned char c : e.data) {
        if (c == '\r')
            out += "<CR>";
        else if (c == '\n')
            out += "<LF>";
        else if (c >= 0x20 && c < 0x7F)
            out += char(c);
        else {
            out += '<';
            out += digits[c >> 4];
            out += digits[c & 0x0F];
            out += '>';
        }
    }
    return out;
}

std::string_view direction_text(Traffic_direction direction)
{
    switch (direction) {
    case Traffic_direction::Tx: return "TX";
    case Traffic_direction::Rx: return "RX";
    case Traffic_direction::Event: return "--";
    }
    return "--";
}

size_t Traffic_history::line_size(const Traffic_event &e)
{
    // Any year of four digits gives a time of 23 characters.
    constexpr int64_t kYear10 = -61850000000000, kYear9990 = 253080000000000;
    size_t n = e.time_ms > kYear10 && e.time_ms < kYear9990 ? 23 : local_time_text(e.time_ms).size();
    n += 3;  // the direction and the blank before it
    if (!e.peer.empty()) {
        if (!(e.peer == lastPeer_)) {
            lastPeer_ = e.peer;
            lastPeerSize_ = e.peer.text().size();
        }
        n += 1 + lastPeerSize_;
    }
    size_t shown = 0;
    if (framing_ != Traffic_framing::Ascii)
        shown = e.data.empty() ? 0 : e.data.size() * 3 - 1;
    else
        for (unsigned char c : e.data)
            shown += c >= 0x20 && c < 0x7F ? 1 : 4;
    Text_length about;
    if (e.direction == Traffic_direction::Event)
        about += e.text;
    else
        put_note(about, layout(e), role(e.direction), e);
    if (shown > 0)
        n += 1 + shown + (about.empty() ? 0 : 2 + about.n);
    else if (!about.empty())
        n += 1 + about.n;
    return n;
}

std::string Traffic_history::line(const Traffic_event &e) const
{
    std::string out = local_time_text(e.time_ms);
    out += ' ';
    out += direction_text(e.direction);
    if (!e.peer.empty()) {
        out += ' ';
        out += e.peer.text();
    }
    const std::string shown = shown_data(e);
    const std::string about = note(e);
    if (!shown.empty()) {
        out += ' ';
        out += shown;
        if (!about.empty()) {
            out += "  ";
            out += about;
        }
    } else if (!about.empty()) {
        out += ' ';
        out += about;
    }
    return out;
}

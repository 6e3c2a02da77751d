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
    if (events_.size() >= capacity_)
        events_.pop_front();
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
    e.response_ms = info.response_ms;
    e.length = uint32_t(std::min<size_t>(data.size(), UINT32_MAX));
    e.data.assign(data.substr(0, kMaxData));
    e.text = std::move(info.text);
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

std::string Traffic_history::note(const Traffic_event &e) const
{
    if (e.direction == Traffic_direction::Event)
        return e.text;
    std::string out = frame_note(framing_, role(e.direction),
                                 reinterpret_cast<const uint8_t *>(e.data.data()), e.data.size());
    if (e.length > e.data.size())
        out += " (" + std::to_string(e.length) + " bytes, first " + std::to_string(e.data.size()) +
               " kept)";
    if (e.response_ms >= 0)
        out += " in " + std::to_string(e.response_ms) + " ms";
    if (!e.text.empty()) {
        out += "; ";
        out += e.text;
    }
    return out;
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

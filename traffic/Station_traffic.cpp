#include "Station_traffic.h"

#include <corvane.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {

int64_t steady_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string fault_text(const char *kind, unsigned r0, unsigned r1, unsigned c0, unsigned c1)
{
    char text[64];
    std::snprintf(text, sizeof text, "%s error: received %02X %02X, computed %02X %02X", kind, r0 & 0xFF,
                  r1 & 0xFF, c0 & 0xFF, c1 & 0xFF);
    return text;
}

}  // namespace

std::string checksum_fault(Traffic_framing framing, const uint8_t *data, size_t n)
{
    // Frames longer than a station's buffer were cut by it already; the
    // bound keeps the copy below on the stack.
    n = std::min(n, Traffic_history::kMaxData);
    switch (framing) {
    case Traffic_framing::Rtu: {
        uint8_t calc[2] = {0, 0};
        CRC_check(data, n >= 2 ? int32_t(n - 2) : 0, calc);
        const uint8_t r0 = n >= 2 ? data[n - 2] : 0, r1 = n >= 1 ? data[n - 1] : 0;
        if (n >= 2 && r0 == calc[0] && r1 == calc[1])
            return {};
        return fault_text("CRC", r0, r1, calc[0], calc[1]);
    }
    case Traffic_framing::Ascii: {
        // ':' pairs LRC CR LF. The LRC is worked out on a copy: the link
        // library upper-cases the text it sums.
        char copy[Traffic_history::kMaxData];
        const size_t body = n >= 5 ? n - 5 : 0;
        std::copy(data + (n > 0 ? 1 : 0), data + (n > 0 ? 1 : 0) + body, copy);
        char calc[2] = {'0', '0'};
        LRC_check(copy, int32_t(body), calc);
        const uint8_t r0 = n >= 5 ? data[n - 4] : 0, r1 = n >= 5 ? data[n - 3] : 0;
        // An odd number of characters is no run of hexadecimal pairs.
        if (n >= 5 && body % 2 == 0 && r0 == uint8_t(calc[0]) && r1 == uint8_t(calc[1]))
            return {};
        return fault_text("LRC", r0, r1, uint8_t(calc[0]), uint8_t(calc[1]));
    }
    case Traffic_framing::Tcp:
        return {};
    }
    return {};
}

Station_traffic::Station_traffic(Traffic_framing framing, Traffic_side side, Traffic_history::Clock wall,
                                 Steady_clock steady, size_t capacity)
    : history_(framing, side, std::move(wall), capacity), steady_(steady ? std::move(steady) : Steady_clock(steady_ms))
{
}

void Station_traffic::connected(const Traffic_link &link)
{
    link_ = link;
    event("connected");
}

void Station_traffic::disconnected(std::string why)
{
    event(std::move(why));
    link_ = {};
}

void Station_traffic::tx(const void *data, size_t n, const Traffic_link &link)
{
    if (history_.side() == Traffic_side::Master)
        requestAt_ = steady_();
    history_.add_frame(Traffic_direction::Tx, static_cast<const uint8_t *>(data), n,
                       {.local = link.local, .peer = link.peer, .carrier = link.carrier});
}

void Station_traffic::rx(const void *data, size_t n, const Traffic_link &link)
{
    int32_t responseMs = -1;
    if (history_.side() == Traffic_side::Master && requestAt_ >= 0)
        responseMs = int32_t(std::clamp<int64_t>(steady_() - requestAt_, 0, INT32_MAX));
    add_rx(data, n, link, responseMs);
}

void Station_traffic::rx_timed(const void *data, size_t n, int32_t responseMs)
{
    add_rx(data, n, link_, responseMs < 0 ? 0 : responseMs);
}

void Station_traffic::add_rx(const void *data, size_t n, const Traffic_link &link, int32_t responseMs)
{
    const auto *bytes = static_cast<const uint8_t *>(data);
    history_.add_frame(Traffic_direction::Rx, bytes, n,
                       {.local = link.local, .peer = link.peer, .carrier = link.carrier, .response_ms = responseMs});
    const Traffic_framing layout =
        link.carrier == Traffic_carrier::Rtu_over_tcp ? Traffic_framing::Rtu : history_.framing();
    if (layout != Traffic_framing::Tcp && bytes != nullptr)
        if (std::string fault = checksum_fault(layout, bytes, n); !fault.empty())
            event(std::move(fault), link);
}

std::string_view drop_text(Traffic_drop why)
{
    switch (why) {
    case Traffic_drop::Late: return "late";
    case Traffic_drop::Cut_short: return "cut short";
    case Traffic_drop::Bad_length: return "bad length";
    case Traffic_drop::Discarded: return "discarded";
    }
    return {};
}

void Station_traffic::dropped(const void *data, size_t n, Traffic_drop why, const Traffic_link &link)
{
    if (data == nullptr || n == 0)
        return;
    history_.add_frame(Traffic_direction::Rx, static_cast<const uint8_t *>(data), n,
                       {.local = link.local, .peer = link.peer, .text = std::string(drop_text(why))});
}

void Station_traffic::event(std::string text, const Traffic_link &link, std::string_view data)
{
    history_.add_event(std::move(text), {.local = link.local, .peer = link.peer, .carrier = link.carrier}, data);
}

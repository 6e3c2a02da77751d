#include "Traffic_log.h"

#include <algorithm>
#include <charconv>

#include "Wall_time.h"

Traffic_endpoint tcp_peer_endpoint(std::string_view text)
{
    std::string_view host, port;
    if (!text.empty() && text.front() == '[') {
        const size_t close = text.find("]:");
        if (close == std::string_view::npos)
            return {};
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const size_t colon = text.rfind(':');
        if (colon == std::string_view::npos)
            return {};
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    unsigned p = 0;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), p);
    if (ec != std::errc() || end != port.data() + port.size() || p > 65535)
        return {};
    return Traffic_endpoint::parse(host, uint16_t(p)).value_or(Traffic_endpoint{});
}

namespace {

std::string dropped_notice(uint64_t dropped)
{
    const Traffic_history format(Traffic_framing::Tcp, Traffic_side::Slave, {}, 1);
    Traffic_event e;
    e.time_ms = wall_clock_ms();
    e.text = std::to_string(dropped) + " log lines dropped: the output was not read in time";
    return format.line(e) + '\n';
}

}  // namespace

TrafficLog::TrafficLog(int fd, size_t queueBytes)
    : out_(fd, queueBytes, dropped_notice), rtu_(Traffic_framing::Rtu, Traffic_side::Slave, {}, 1),
      ascii_(Traffic_framing::Ascii, Traffic_side::Slave, {}, 1),
      tcp_(Traffic_framing::Tcp, Traffic_side::Slave, {}, 1)
{
}

void TrafficLog::frame(Traffic_direction direction, const TrafficSource &from, const uint8_t *bytes, size_t n)
{
    if (!on())
        return;
    Traffic_event e;
    e.direction = direction;
    e.length = uint32_t(n);
    e.data.assign(reinterpret_cast<const char *>(bytes), std::min(n, Traffic_history::kMaxData));
    e.text = from.device;
    write(from, std::move(e));
}

void TrafficLog::event(const TrafficSource &from, std::string text, const uint8_t *bytes, size_t n)
{
    if (!on())
        return;
    Traffic_event e;
    e.direction = Traffic_direction::Event;
    if (bytes)
        e.data.assign(reinterpret_cast<const char *>(bytes), std::min(n, Traffic_history::kMaxData));
    // One line per event whatever the text holds.
    std::erase_if(text, [](char c) { return c == '\r' || c == '\n'; });
    e.text = std::move(text);
    if (!from.device.empty())
        e.text += "; " + from.device;
    write(from, std::move(e));
}

void TrafficLog::write(const TrafficSource &from, Traffic_event &&e)
{
    e.time_ms = wall_clock_ms();
    e.peer = from.peer;
    const Traffic_history &format = from.framing == Traffic_framing::Rtu     ? rtu_
                                    : from.framing == Traffic_framing::Ascii ? ascii_
                                                                             : tcp_;
    std::string line = format.line(e);
    line += '\n';
    out_.push(std::move(line));
}

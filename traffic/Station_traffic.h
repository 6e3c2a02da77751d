// What a station window records in its traffic history, each in one call at
// the place it happens: a frame written (tx), a frame received (rx) and
// anything else (event). The station's framing and side are fixed at
// construction, so the call sites pass bytes only.
//
// Recording stays cheap on the serving path: no text is made for a frame
// (the history formats its lines when they are read). Two things are worked
// out here so that no window has to:
//  - a master's answer carries its response time, the time since the last
//    request written, on the steady clock;
//  - a serial frame received whose CRC or LRC does not match is followed by
//    a "--" line saying so.
//
// Bytes that crossed the wire are frames of the history whatever became of
// them (dropped()), so that a capture shows the line as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "Traffic_history.h"

// The two ends of a TCP connection (or of a UDP exchange); empty on serial
// lines.
struct Traffic_link {
    Traffic_endpoint local{};
    Traffic_endpoint peer{};
    Traffic_carrier carrier = Traffic_carrier::Native;
};

// What became of bytes received that made no frame of an exchange.
enum class Traffic_drop : uint8_t {
    Late,       // an answer to a request already given up
    Cut_short,  // the start of a frame whose rest never came
    Bad_length, // a TCP header whose length field frames no message
    Discarded,  // waiting in the port before a request went out
};

// "late", "cut short", "bad length", "discarded": the note of such an entry.
std::string_view drop_text(Traffic_drop why);

class Station_traffic {
public:
    using Steady_clock = std::function<int64_t()>;  // ms, never going back

    Station_traffic(Traffic_framing framing, Traffic_side side, Traffic_history::Clock wall = {},
                    Steady_clock steady = {}, size_t capacity = Traffic_history::kCapacity);

    Traffic_history &history() { return history_; }
    const Traffic_history &history() const { return history_; }

    // The connection the calls without a link name: a master's one
    // connection. connected() also records "connected", disconnected() the
    // reason (by default "disconnected") and forgets the connection.
    void set_link(const Traffic_link &link) { link_ = link; }
    const Traffic_link &link() const { return link_; }
    void connected(const Traffic_link &link);
    void disconnected(std::string why = "disconnected");

    void tx(const void *data, size_t n) { tx(data, n, link_); }
    void tx(const void *data, size_t n, const Traffic_link &link);
    void rx(const void *data, size_t n) { rx(data, n, link_); }
    void rx(const void *data, size_t n, const Traffic_link &link);
    // A master's answer whose response time the station measured itself (a
    // serial line's: from the end of the request to the answer's last byte).
    void rx_timed(const void *data, size_t n, int32_t responseMs);
    // Bytes received and dropped: an RX entry noted with why, without a
    // response time (they answer no request going on) nor a checksum line.
    // Nothing when n is 0.
    void dropped(const void *data, size_t n, Traffic_drop why) { dropped(data, n, why, link_); }
    void dropped(const void *data, size_t n, Traffic_drop why, const Traffic_link &link);
    void event(std::string text) { event(std::move(text), link_); }
    void event(std::string text, const Traffic_link &link, std::string_view data = {});

private:
    void add_rx(const void *data, size_t n, const Traffic_link &link, int32_t responseMs);

    Traffic_history history_;
    Steady_clock steady_;
    Traffic_link link_;
    int64_t requestAt_ = -1;  // master: when the last request went out
};

// Why a serial frame fails its check, "CRC error: received 12 34, computed
// C5 CD" or "LRC error: ...", or empty when it passes (and for TCP, which
// carries no checksum). A frame too short to hold its checksum fails.
std::string checksum_fault(Traffic_framing framing, const uint8_t *data, size_t n);

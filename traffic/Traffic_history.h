// A station's traffic history: the last kCapacity frames and events, each
// with its wall-clock time, oldest first. Adding is cheap (no text is made:
// lines are formatted when they are read), and memory stays bounded however
// fast events come: the oldest event goes when a new one would exceed the
// capacity, and a frame keeps at most kMaxData bytes.
//
// A view follows the history through its sequence numbers (every event gets
// the next one; first_seq() .. end_seq() are those held now) and its change
// counter, and learns of changes from the listener, called after each. The
// length of the longest line held is kept as events come and go, so that a
// view can size its column without reading every line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

#include "Frame_note.h"
#include "Traffic_endpoint.h"

enum class Traffic_direction : uint8_t {
    Tx,     // a frame written   ("TX")
    Rx,     // a frame received  ("RX")
    Event,  // anything else     ("--"): a time-out, a checksum error, a connect ...
};

// Which end of the exchange the station plays: it decides whether a frame
// written is a request (masters) or an answer (slaves).
enum class Traffic_side : uint8_t { Master, Slave };

// A frame heard by a monitor on a line it only listens to: the monitor, not
// the direction, tells a request from an answer, and the note says which
// first ("request unit 1 fn 3 ...", "answer ...", "unknown ..." for a frame
// whose checksum failed).
enum class Traffic_heard : uint8_t { No, Request, Answer, Unknown };

// What an entry may carry beside its bytes. All optional:
//   history.add_frame(Traffic_direction::Rx, buf, n, {.peer = client, .response_ms = 12});
struct Traffic_info {
    Traffic_endpoint local{};  // TCP: this station's end of the connection
    Traffic_endpoint peer{};   // TCP: the other end; empty on serial lines
    Traffic_carrier carrier = Traffic_carrier::Native;
    int32_t response_ms = -1;  // a master's answer: time since its request; -1 none
    std::string text{};        // frames: added after the decoding ("injected: CRC spoilt")
    Traffic_heard heard = Traffic_heard::No;
};

struct Traffic_event {
    int64_t time_ms = 0;  // wall clock, ms since 1970-01-01 UTC
    Traffic_endpoint local;
    Traffic_endpoint peer;
    Traffic_carrier carrier = Traffic_carrier::Native;
    int32_t response_ms = -1;
    uint32_t length = 0;  // bytes of the frame; data holds at most kMaxData of them
    Traffic_direction direction = Traffic_direction::Event;
    std::string data;     // the frame's bytes (ASCII stations: its text)
    std::string text;     // "--": the whole note; frames: the text after the decoding
    Traffic_heard heard = Traffic_heard::No;
};

class Traffic_history {
public:
    static constexpr size_t kCapacity = 100000;
    // A station's frame buffers hold 512 bytes: no real frame is cut.
    static constexpr size_t kMaxData = 512;

    using Clock = std::function<int64_t()>;  // ms since 1970-01-01 UTC
    using Listener = std::function<void()>;

    Traffic_history(Traffic_framing framing, Traffic_side side, Clock clock = {},
                    size_t capacity = kCapacity);

    Traffic_framing framing() const { return framing_; }
    Traffic_side side() const { return side_; }
    size_t capacity() const { return capacity_; }

    void add_frame(Traffic_direction direction, const uint8_t *data, size_t n, Traffic_info info = {});
    void add_frame(Traffic_direction direction, std::string_view data, Traffic_info info = {});
    // A "--" line; bytes (a dropped partial frame) are optional.
    void add_event(std::string note, Traffic_info info = {}, std::string_view data = {});
    void clear();

    size_t size() const { return events_.size(); }
    bool empty() const { return events_.empty(); }
    const Traffic_event &at(size_t i) const { return events_[i]; }  // 0: the oldest held

    uint64_t first_seq() const { return end_seq_ - events_.size(); }
    uint64_t end_seq() const { return end_seq_; }
    const Traffic_event *find(uint64_t seq) const;  // nullptr once dropped or cleared

    // line(e).size() of the longest line held; 0 when empty.
    size_t longest_line() const { return widest_.empty() ? 0 : widest_.front().size; }

    uint64_t changes() const { return changes_; }
    void set_listener(Listener listener) { listener_ = std::move(listener); }

    // A frame written by a master, or received by a slave, is a request.
    Frame_role role(Traffic_direction direction) const;
    // The decoding, the response time and the entry's own text:
    // "unit 1 fn 3 bytes 20 in 12 ms".
    std::string note(const Traffic_event &e) const;
    // How a frame of e is laid out: the history's framing, or RTU for one
    // carried as RTU over TCP.
    Traffic_framing layout(const Traffic_event &e) const;
    // The frame as shown in a line: "01 03 00 00 00 0A C5 CD", or for ASCII
    // stations the text with CR and LF shown as <CR> <LF>.
    std::string shown_data(const Traffic_event &e) const;
    // One line: time, direction, the peer on TCP, the bytes, two blanks, the note:
    // "2026-12-08 14:03:07.125 RX 127.0.0.1:40512 00 01 00 00 00 06 01 03 00 00 00 0A  tid 1 unit 1 fn 3 addr 0 count 10"
    std::string line(const Traffic_event &e) const;

private:
    void push(Traffic_event &&e);
    // line(e).size(), without making the line: its time and peer are of
    // known or cached length, only the note is made.
    size_t line_size(const Traffic_event &e);

    // The events that may yet be the longest held, by sequence number,
    // their sizes decreasing: the front is the longest, and an event older
    // and no longer than a newer one can never be again.
    struct Width {
        uint64_t seq;
        size_t size;
    };

    Traffic_framing framing_;
    Traffic_side side_;
    Clock clock_;
    size_t capacity_;
    std::deque<Traffic_event> events_;
    std::deque<Width> widest_;
    Traffic_endpoint lastPeer_;  // the peer's text is of the same length as last time
    size_t lastPeerSize_ = 0;
    uint64_t end_seq_ = 0;
    uint64_t changes_ = 0;
    Listener listener_;
};

// "TX", "RX", "--".
std::string_view direction_text(Traffic_direction direction);
// Bytes as two upper-case hexadecimal digits each, separated by blanks.
std::string hex_bytes(std::string_view data);

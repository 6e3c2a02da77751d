// A passive monitor of one serial line that carries both directions: it is
// given the bytes heard, with the time each chunk of them arrived, and finds
// the frames in them, tells requests from answers, pairs each answer with
// the request it answers and counts what it saw. It never sends anything;
// it has nothing to send with.
//
// RTU: a frame ends at a silence of 3.5 character times (1.75 ms above
// 19200 baud), but a reader cannot trust silences alone: a USB adapter
// delivers several frames in one burst, or one frame in two. So the frame at
// the front of what is buffered is taken as soon as its leading bytes give a
// length (as a request or as an answer, Rtu_layout) whose CRC holds, silence
// or not. A frame begun and not complete waits for its rest, across
// silences, until the line has been quiet for kRtuHoldUs. Bytes that make no
// such frame are a frame with a bad CRC when a silence closes them off (or
// their length fits their code's layout), else noise, and the monitor looks
// for the next frame after them. Codes without a known layout end at the
// next silence.
//
// ASCII: a frame runs from ':' to LF; its LRC and the CR before the LF are
// checked. Anything outside a frame is noise.
//
// Roles: the layout tells when it can (an answer to a read carries a byte
// count where the request carries an address); where both fit (the echo of a
// write, a code without a layout) a frame that matches the request waiting
// for its answer (unit and function) is that answer, anything else a new
// request. A frame whose checksum fails has no role (Unknown) and answers
// nothing. An answer belongs to the last request when its unit and
// function match (or the function with the high bit, for an exception). A
// request that is not answered before the next request counts as
// unanswered; broadcasts (unit 0) expect no answer.
//
// Memory is bounded whatever the line carries: at most 2 * kRtuMaxFrame
// bytes are held, and noise is reported as it is dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Pdu_fields.h"

enum class Line_framing : uint8_t { Rtu, Ascii };

struct Line_settings {
    Line_framing framing = Line_framing::Rtu;
    int32_t baud = 9600;
    int32_t bits_per_char = 10;  // start bit, data bits, parity bit, stop bits
};

// Start, data, parity (E or O) and stop bits of one character.
int32_t serial_bits_per_char(int32_t data_bits, char parity, int32_t stop_bits);
// The silence that ends an RTU frame: 3.5 characters, rounded up, or the
// fixed 1750 us above 19200 baud.
int64_t rtu_silence_us(int32_t baud, int32_t bits_per_char);

// How long a frame begun waits for its rest while the line is quiet, before
// it is reported as it is. Bytes that come in the meantime settle it at
// once, so this only delays the report of a frame cut short on a line that
// then falls quiet; a shorter wait would cut frames that a USB adapter
// delivers in pieces, which can be tens of milliseconds apart.
constexpr int64_t kRtuHoldUs = 1000000;
// An ASCII frame may pause up to a second between characters.
constexpr int64_t kAsciiHoldUs = 1000000;
// ':', the unit, 253 bytes of PDU and the LRC as hexadecimal pairs, CR LF.
constexpr size_t kAsciiMaxFrame = 513;

enum class Monitor_role : uint8_t { Request, Answer, Unknown };

struct Monitor_frame {
    uint64_t number = 0;    // 1, 2, ... in the order heard
    int64_t time_us = 0;    // arrival of the chunk holding the first byte
    int64_t end_us = 0;     // arrival of the chunk holding the last byte
    Monitor_role role = Monitor_role::Unknown;
    bool checksum_ok = false;
    std::vector<uint8_t> bytes;  // as heard: RTU bytes, or ASCII text ':' to LF
    Pdu_fields fields;           // the decoding (as a request when the role is Unknown)
    // An answer paired with its request: the request's number and fields,
    // and the time from the request's last byte to the answer's last byte.
    uint64_t request_number = 0;  // 0: none
    Pdu_fields request;
    int64_t response_us = -1;
};

// Bytes that made no frame.
struct Monitor_noise {
    int64_t time_us = 0;  // arrival of the first of them
    std::vector<uint8_t> bytes;
};

struct Monitor_counters {
    uint64_t frames = 0;
    uint64_t req = 0;    // requests
    uint64_t ans = 0;    // answers, exceptions included
    uint64_t exc = 0;    // exception answers
    uint64_t err = 0;    // frames whose CRC or LRC failed
    uint64_t unans = 0;  // requests without an answer before the next request
    uint64_t noise = 0;  // bytes that made no frame

    // "Req N  Ans N  Exc N  Err N  Unans N  Noise N"
    std::string label() const;
};

class Line_monitor {
public:
    using Frame_sink = std::function<void(const Monitor_frame &)>;
    using Noise_sink = std::function<void(const Monitor_noise &)>;

    explicit Line_monitor(Line_settings settings, Frame_sink on_frame = {}, Noise_sink on_noise = {});
    ~Line_monitor();
    Line_monitor(const Line_monitor &) = delete;
    Line_monitor &operator=(const Line_monitor &) = delete;

    // Bytes that arrived together at at_us (a monotonic clock, microseconds,
    // never going back). Frames and noise found go to the sinks at once.
    void feed(const uint8_t *data, size_t n, int64_t at_us);
    // The line has been quiet up to now_us: a frame that was waiting for a
    // silence ends.
    void idle(int64_t now_us);
    // The end of the input: whatever is held is reported.
    void flush();
    // When idle() next has something to decide; -1 when nothing waits.
    int64_t wake_at_us() const;

    const Monitor_counters &counters() const { return counters_; }
    const Line_settings &settings() const { return settings_; }
    int64_t silence_us() const { return silence_; }
    size_t buffered() const;

private:
    class Splitter;
    class Rtu_splitter;
    class Ascii_splitter;
    friend class Rtu_splitter;
    friend class Ascii_splitter;

    // From the splitters: a frame (its binary unit and PDU when readable, and
    // which layouts its length fits), or bytes that made none.
    struct Heard {
        const uint8_t *bytes;
        size_t n;
        int64_t time_us, end_us;
        bool checksum_ok;
        const uint8_t *unit_pdu;
        size_t unit_pdu_n;
        bool as_request, as_answer;
    };
    void heard(const Heard &h);
    void noise(const uint8_t *bytes, size_t n, int64_t time_us);
    // Whether a frame of this unit and function would answer the request
    // waiting for its answer.
    bool answers_waiting(uint8_t unit, uint8_t function) const;

    struct Waiting {
        bool active = false;
        uint64_t number = 0;
        int64_t end_us = 0;
        Pdu_fields fields;
    };

    Line_settings settings_;
    int64_t silence_;
    Frame_sink on_frame_;
    Noise_sink on_noise_;
    Monitor_counters counters_;
    Waiting waiting_;
    std::unique_ptr<Splitter> splitter_;
};

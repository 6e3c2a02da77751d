// Splits the byte stream of one connection that carries RTU requests (unit,
// PDU, CRC-16, no header, no silences between frames) into requests.
//
// A request is complete at the length its leading bytes give (Rtu_layout)
// with a right CRC. For a function code without a known layout the request
// is the shortest run of 4 to 256 bytes whose CRC holds.
//
// Bytes that make no request are dropped, and the stream finds its feet
// again, by one rule: they are dropped up to the first later position where
// a complete request of a known layout with a right CRC starts among the
// bytes held, or all of them when there is none. So a stray byte in front of
// a request costs nothing but itself, and garbage never makes the receiver
// wait for more than the 1 s below:
//  - a request at its expected length with a wrong CRC is a CRC error: it is
//    reported, and at most its own bytes are dropped;
//  - bytes that cannot start a request (a function code with the exception
//    bit, a byte count beyond the largest frame, 256 bytes without a CRC
//    for an unknown code) are garbage;
//  - a request not complete kPartialLimitMs after its first byte came is
//    dropped whole (its rest may never come: a TCP stream has no silence to
//    end it).
//
// Memory is bounded (kCapacity bytes held, room() says how many more are
// taken), and nothing is ever read outside the bytes held. Pure: the time
// is given with each call.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

class RtuStream {
public:
    static constexpr size_t kCapacity = 1024;
    static constexpr int64_t kPartialLimitMs = 1000;

    enum class Kind {
        Need_more,  // nothing to hand over: the bytes held may yet make a request
        Request,    // data, n: a complete request with a right CRC
        Crc_error,  // data, n: the request at its expected length, CRC wrong; dropped bytes were dropped
        Garbage,    // data, n: bytes dropped that start no request
        Timed_out,  // data, n: an unfinished request dropped after kPartialLimitMs
    };
    struct Outcome {
        Kind kind = Kind::Need_more;
        const uint8_t *data = nullptr;  // valid until the next call that is not const
        size_t n = 0;
        size_t dropped = 0;  // bytes consumed; n except for Crc_error
    };

    // How many bytes append() takes now.
    size_t room() const { return kCapacity - buffered(); }
    // Takes up to room() of the n bytes; returns how many it took.
    size_t append(const uint8_t *data, size_t n, int64_t nowMs);
    // The next thing the bytes held make, consumed from them.
    Outcome next(int64_t nowMs);
    size_t buffered() const { return end_ - head_; }
    // When the bytes held are dropped as unfinished, unless they complete
    // first; 0 when nothing is held.
    int64_t deadlineMs() const { return buffered() ? since_ + kPartialLimitMs : 0; }
    void clear();

private:
    Outcome take(Kind kind, size_t n, size_t dropped, int64_t nowMs);
    // The first position after the head where a complete request of a known
    // layout with a right CRC starts; buffered() when there is none.
    size_t firstGood() const;

    std::array<uint8_t, kCapacity> buf_{};
    size_t head_ = 0;
    size_t end_ = 0;
    int64_t since_ = 0;  // when the bytes at the head began to be held
};

// The line that tells of n bytes dropped as garbage or unfinished:
// "RTU over TCP: 5 bytes dropped, no request starts there",
// "RTU over TCP: request not finished in 1 s, 5 bytes dropped".
std::string rtu_stream_drop_text(RtuStream::Kind kind, size_t n);

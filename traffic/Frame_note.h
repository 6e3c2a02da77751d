// The short decoding written beside a frame in the traffic history: unit,
// function, address and count (or value), or the exception. Reads only the n
// bytes it is given and accepts any bytes at all: what does not decode is
// named ("short frame", "bad CRC", "not Modbus ASCII text") instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// How a station's frames are laid out on its line.
enum class Traffic_framing : uint8_t {
    Rtu,    // binary, address first, CRC-16 last (low byte first)
    Ascii,  // ":" hexadecimal text, LRC, CR LF
    Tcp,    // 7-byte header (transaction, protocol, length, unit), then the PDU
};

// A request and its answer share function codes but not layouts (an answer
// to a read carries a byte count where the request carries an address), so
// the reader must know which one it holds.
enum class Frame_role : uint8_t { Request, Answer };

// For example "unit 1 fn 3 addr 0 count 10", "unit 1 fn 3 bytes 20",
// "tid 7 unit 1 fn 6 addr 4 value 1234",
// "unit 1 fn 3 exception 2 illegal data address". Addresses are as on the
// wire (counted from 0).
std::string frame_note(Traffic_framing framing, Frame_role role, const uint8_t *data, size_t n);

// frame_note(...).size(), without making the text.
size_t frame_note_size(Traffic_framing framing, Frame_role role, const uint8_t *data, size_t n);

// Counts the characters written to it: what a note is written to when only
// its length is wanted.
struct Text_length {
    size_t n = 0;
    bool empty() const { return n == 0; }
    Text_length &operator+=(std::string_view text)
    {
        n += text.size();
        return *this;
    }
    Text_length &operator+=(char)
    {
        ++n;
        return *this;
    }
};

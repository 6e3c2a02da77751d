// Splits a Modbus/TCP byte stream into messages by the length field of the
// 7-byte header (bytes 4-5: the number of bytes after byte 5). One framer per
// connection; bytes may arrive in any chunking.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class TcpFramer {
public:
    enum class Status { Frame, NeedMore, Bad };

    // Smallest and largest length field that frames a message (unit id and
    // function code at least; 253 bytes of protocol data at most).
    static constexpr unsigned kMinLength = 2;
    static constexpr unsigned kMaxLength = 254;

    void append(const uint8_t *data, size_t n);
    // Frame: one whole message moved to out. NeedMore: nothing complete yet.
    // Bad: the length field cannot frame a message; *badLength receives it and
    // every buffered byte is dropped, moved to out for the record.
    Status next(std::vector<uint8_t> &out, unsigned *badLength = nullptr);
    size_t buffered() const { return buf_.size() - head_; }
    void clear();
    // Moves the buffered bytes (the start of a message) to out, then clears.
    void take(std::vector<uint8_t> &out);

private:
    std::vector<uint8_t> buf_;
    size_t head_ = 0;
};

#include "Scan_receiver.h"

#include <algorithm>

#include "Hex_digit.h"
#include "Rtu_layout.h"

namespace {

// The most an RTU or ASCII reader holds while a frame may still complete:
// two of the longest frames, so that one begun behind noise still fits.
constexpr size_t kRtuHold = 2 * kRtuMaxFrame;
constexpr size_t kAsciiLine = 1 + 2 * kRtuMaxFrame + 2;

// A whole RTU answer starting at f: its length, or 0.
size_t whole_rtu_answer(const uint8_t *f, size_t n)
{
    const Rtu_length l = rtu_length_as_answer(f, n);
    if (l.kind == Rtu_length::Known && size_t(l.bytes) <= n && rtu_crc_holds(f, size_t(l.bytes)))
        return size_t(l.bytes);
    return 0;
}

// The hexadecimal pairs between ':' and the line's end; false when a
// character is no hexadecimal digit or a digit has no pair.
bool ascii_bytes(const uint8_t *text, size_t n, std::vector<uint8_t> &out)
{
    out.clear();
    if (n % 2 != 0)
        return false;
    for (size_t i = 0; i < n; i += 2) {
        const int hi = hex_digit(text[i]), lo = hex_digit(text[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out.push_back(uint8_t(hi << 4 | lo));
    }
    return true;
}

Scan_frame whole(std::vector<uint8_t> bytes, uint8_t unit, uint16_t transaction, const uint8_t *pdu, size_t n)
{
    return {.kind = Scan_frame::Whole,
            .unit = unit,
            .transaction = transaction,
            .pdu = std::vector<uint8_t>(pdu, pdu + n),
            .bytes = std::move(bytes)};
}

// A Modbus/TCP message as the framer cut it (at least 8 bytes).
Scan_frame tcp_message(std::vector<uint8_t> m)
{
    const uint16_t transaction = uint16_t(m[0] << 8 | m[1]);
    const uint8_t unit = m[6];
    Scan_frame f = whole({}, unit, transaction, m.data() + 7, m.size() - 7);
    f.bytes = std::move(m);
    return f;
}

}  // namespace

void Scan_receiver::take(const uint8_t *data, size_t n, std::vector<Scan_frame> &out)
{
    if (transport_ == Scan_transport::Udp) {
        takeUdp(data, n, out);
        return;
    }
    if (transport_ == Scan_transport::Tcp) {
        framer_.append(data, n);
        takeTcp(out);
        return;
    }
    // Taken in pieces, so that what is held never grows past its bound.
    constexpr size_t kPiece = 256;
    for (size_t at = 0; at < n; at += kPiece) {
        held_.insert(held_.end(), data + at, data + std::min(n, at + kPiece));
        if (transport_ == Scan_transport::Ascii)
            takeAscii(out);
        else
            takeRtu(out);
    }
}

size_t Scan_receiver::held() const { return transport_ == Scan_transport::Tcp ? framer_.buffered() : held_.size(); }

void Scan_receiver::dropFront(size_t k, std::vector<Scan_frame> &out)
{
    k = std::min(k, held_.size());
    if (k == 0)
        return;
    if (!out.empty() && out.back().kind == Scan_frame::Noise)
        out.back().bytes.insert(out.back().bytes.end(), held_.begin(), held_.begin() + long(k));
    else
        out.push_back({.kind = Scan_frame::Noise, .bytes = std::vector<uint8_t>(held_.begin(), held_.begin() + long(k))});
    held_.erase(held_.begin(), held_.begin() + long(k));
}

void Scan_receiver::takeRtu(std::vector<Scan_frame> &out)
{
    // Each turn takes a frame or drops at least one byte, so it ends.
    while (!held_.empty()) {
        const uint8_t *f = held_.data();
        const size_t n = held_.size();
        if (const size_t len = whole_rtu_answer(f, n)) {
            Scan_frame frame = whole(std::vector<uint8_t>(f, f + len), f[0], 0, f + 1, len - 3);
            held_.erase(held_.begin(), held_.begin() + long(len));
            out.push_back(std::move(frame));
            continue;
        }
        // A whole frame further on means the bytes before it are noise (or
        // the rest of an answer that came late).
        size_t later = 0;
        for (size_t s = 1; s + 4 <= n && later == 0; ++s)
            if (whole_rtu_answer(f + s, n - s))
                later = s;
        if (later > 0) {
            dropFront(later, out);
            continue;
        }
        if (rtu_length_as_answer(f, n).kind == Rtu_length::None) {
            dropFront(1, out);  // no answer starts so
            continue;
        }
        if (n > kRtuHold)
            dropFront(n - kRtuMaxFrame, out);
        break;
    }
}

void Scan_receiver::takeAscii(std::vector<Scan_frame> &out)
{
    while (!held_.empty()) {
        const auto colon = std::find(held_.begin(), held_.end(), uint8_t(':'));
        if (colon == held_.end()) {
            dropFront(held_.size(), out);
            return;
        }
        dropFront(size_t(colon - held_.begin()), out);
        const auto lf = std::find(held_.begin(), held_.end(), uint8_t('\n'));
        if (lf == held_.end()) {
            // A line longer than any frame is noise; a new ':' starts over.
            const auto again = std::find(held_.begin() + 1, held_.end(), uint8_t(':'));
            if (again != held_.end())
                dropFront(size_t(again - held_.begin()), out);
            else if (held_.size() > kAsciiLine)
                dropFront(held_.size(), out);
            else
                return;
            continue;
        }
        // The frame starts at the last ':' before its LF.
        const auto start = std::find(std::make_reverse_iterator(lf), held_.rend(), uint8_t(':')).base() - 1;
        dropFront(size_t(start - held_.begin()), out);
        const size_t lineEnd = size_t(std::find(held_.begin(), held_.end(), uint8_t('\n')) - held_.begin()) + 1;
        size_t textEnd = lineEnd - 1;
        if (textEnd > 1 && held_[textEnd - 1] == '\r')
            --textEnd;
        std::vector<uint8_t> bytes;
        std::vector<uint8_t> raw(held_.begin(), held_.begin() + long(lineEnd));
        const bool hex = ascii_bytes(held_.data() + 1, textEnd - 1, bytes);
        uint8_t sum = 0;
        for (uint8_t b : bytes)
            sum = uint8_t(sum + b);
        if (hex && bytes.size() >= 3 && sum == 0) {
            Scan_frame frame = whole({}, bytes[0], 0, bytes.data() + 1, bytes.size() - 2);
            frame.bytes = std::move(raw);
            out.push_back(std::move(frame));
        } else {
            const int hi = textEnd > 2 ? hex_digit(held_[1]) : -1, lo = textEnd > 2 ? hex_digit(held_[2]) : -1;
            out.push_back({.kind = hi >= 0 && lo >= 0 ? Scan_frame::Broken : Scan_frame::Noise,
                           .unit = uint8_t(hi >= 0 && lo >= 0 ? hi << 4 | lo : 0),
                           .bytes = std::move(raw)});
        }
        held_.erase(held_.begin(), held_.begin() + long(lineEnd));
    }
}

void Scan_receiver::takeTcp(std::vector<Scan_frame> &out)
{
    std::vector<uint8_t> m;
    for (;;) {
        const TcpFramer::Status s = framer_.next(m);
        if (s == TcpFramer::Status::NeedMore)
            return;
        if (s == TcpFramer::Status::Bad)
            out.push_back({.kind = Scan_frame::Noise, .bytes = std::move(m)});
        else
            out.push_back(tcp_message(std::move(m)));
        m.clear();
    }
}

void Scan_receiver::takeUdp(const uint8_t *data, size_t n, std::vector<Scan_frame> &out)
{
    // One message exactly: the length field counts the bytes after it.
    std::vector<uint8_t> d(data, data + n);
    const size_t length = n >= 6 ? size_t(data[4] << 8 | data[5]) : 0;
    if (n >= 8 && length == n - 6 && length >= TcpFramer::kMinLength && length <= TcpFramer::kMaxLength)
        out.push_back(tcp_message(std::move(d)));
    else
        out.push_back({.kind = Scan_frame::Noise, .bytes = std::move(d)});
}

bool Scan_receiver::release(Scan_frame &out)
{
    std::vector<uint8_t> bytes;
    if (transport_ == Scan_transport::Tcp)
        framer_.take(bytes);
    else
        bytes.swap(held_);
    if (bytes.empty())
        return false;
    out = {.kind = Scan_frame::Broken, .bytes = bytes};
    switch (transport_) {
    case Scan_transport::Rtu:
    case Scan_transport::Rtu_over_tcp:
        out.unit = bytes[0];
        // A frame of a code without a known layout ends here, its CRC whole.
        if (bytes.size() >= 4 && rtu_crc_holds(bytes.data(), bytes.size()))
            out = whole(bytes, bytes[0], 0, bytes.data() + 1, bytes.size() - 3);
        break;
    case Scan_transport::Ascii:
        if (bytes.size() >= 3 && hex_digit(bytes[1]) >= 0 && hex_digit(bytes[2]) >= 0)
            out.unit = uint8_t(hex_digit(bytes[1]) << 4 | hex_digit(bytes[2]));
        else
            out.kind = Scan_frame::Noise;
        break;
    default:
        out.unit = bytes.size() > 6 ? bytes[6] : 0;
        break;
    }
    return true;
}

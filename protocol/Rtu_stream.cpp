#include "Rtu_stream.h"

#include <algorithm>
#include <cstring>

#include "Rtu_layout.h"
#include "corvane.h"

namespace {

// The shortest run of 4 to `most` bytes from f whose last two bytes are the
// CRC of the others; 0 when there is none.
size_t shortest_crc_run(const uint8_t *f, size_t most)
{
    if (most < 4)
        return 0;
    uint16_t crc = 0xFFFF;
    CRC_calc(f[0], &crc);
    for (size_t k = 1; k + 2 < most; ++k) {
        CRC_calc(f[k], &crc);
        if (f[k + 1] == uint8_t(crc & 0xFF) && f[k + 2] == uint8_t(crc >> 8))
            return k + 3;
    }
    return 0;
}

}  // namespace

size_t RtuStream::append(const uint8_t *data, size_t n, int64_t nowMs)
{
    const size_t taken = std::min(n, room());
    if (taken == 0)
        return 0;
    if (buffered() == 0) {
        head_ = end_ = 0;
        since_ = nowMs;
    } else if (end_ + taken > kCapacity) {
        std::memmove(buf_.data(), buf_.data() + head_, buffered());
        end_ -= head_;
        head_ = 0;
    }
    std::memcpy(buf_.data() + end_, data, taken);
    end_ += taken;
    return taken;
}

void RtuStream::clear() { head_ = end_ = 0; }

RtuStream::Outcome RtuStream::take(Kind kind, size_t n, size_t dropped, int64_t nowMs)
{
    Outcome out{.kind = kind, .data = buf_.data() + head_, .n = n, .dropped = dropped};
    head_ += dropped;
    // What is left began to be held now, as far as its own time limit goes.
    since_ = nowMs;
    return out;
}

size_t RtuStream::firstGood() const
{
    const size_t held = buffered();
    const uint8_t *p = buf_.data() + head_;
    for (size_t at = 1; at + 4 <= held; ++at) {
        const Rtu_length l = rtu_length_as_request(p + at, held - at);
        if (l.kind == Rtu_length::Known && size_t(l.bytes) <= held - at && rtu_crc_holds(p + at, size_t(l.bytes)))
            return at;
    }
    return held;
}

RtuStream::Outcome RtuStream::next(int64_t nowMs)
{
    const size_t held = buffered();
    if (held == 0)
        return {};
    const uint8_t *p = buf_.data() + head_;
    const Rtu_length l = rtu_length_as_request(p, held);
    switch (l.kind) {
    case Rtu_length::Known: {
        const size_t len = size_t(l.bytes);
        if (len > held)
            break;
        if (rtu_crc_holds(p, len))
            return take(Kind::Request, len, len, nowMs);
        return take(Kind::Crc_error, len, std::min(firstGood(), len), nowMs);
    }
    case Rtu_length::Need_more:
        break;
    case Rtu_length::Unknown: {
        // A later request of a known layout wins over a run that would
        // reach into it.
        const size_t good = firstGood();
        const size_t run = shortest_crc_run(p, std::min({held, size_t(kRtuMaxFrame)}));
        if (run != 0 && run <= good)
            return take(Kind::Request, run, run, nowMs);
        if (good < held)
            return take(Kind::Garbage, good, good, nowMs);
        if (held >= size_t(kRtuMaxFrame))
            return take(Kind::Garbage, held, held, nowMs);
        break;
    }
    case Rtu_length::None: {
        const size_t good = firstGood();
        return take(Kind::Garbage, good, good, nowMs);
    }
    }
    if (nowMs - since_ >= kPartialLimitMs)
        return take(Kind::Timed_out, held, held, nowMs);
    return {};
}

std::string rtu_stream_drop_text(RtuStream::Kind kind, size_t n)
{
    const std::string bytes = std::to_string(n) + (n == 1 ? " byte" : " bytes");
    if (kind == RtuStream::Kind::Timed_out)
        return "RTU over TCP: request not finished in 1 s, " + bytes + " dropped";
    return "RTU over TCP: " + bytes + " dropped, no request starts there";
}

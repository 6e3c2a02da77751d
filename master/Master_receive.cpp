#include "Master_receive.h"

#include <algorithm>
#include <cstring>

#include "Master_station.h"
#include "Strformat.h"
#include "corvane.h"

namespace {

// One look reads at most this many chunks, so that a line that never stops
// cannot hold the window in one look; what is left wakes it again at once.
constexpr int kChunk = 128;
constexpr int kChunksPerLook = 8;

}  // namespace

int32_t character_bits(int32_t dataBits, char parity, int32_t stopBits)
{
    return 1 + (dataBits == 7 ? 7 : 8) + (parity == 'O' || parity == 'E' ? 1 : 0) + (stopBits == 2 ? 2 : 1);
}

int32_t line_time_ms(int32_t n, int32_t baud, int32_t dataBits, char parity, int32_t stopBits)
{
    if (baud <= 0 || n <= 0)
        return 0;
    const int64_t bits = int64_t(n) * character_bits(dataBits, parity, stopBits);
    return int32_t((bits * 1000 + baud - 1) / baud);
}

int32_t rtu_silence_ms(int32_t baud, int32_t dataBits, char parity, int32_t stopBits)
{
    if (baud <= 0)
        return 2;
    const int64_t bits = character_bits(dataBits, parity, stopBits);
    const int64_t ms = (35 * bits * 1000 + 10LL * baud - 1) / (10LL * baud);  // 3.5 characters, rounded up
    return int32_t(std::max<int64_t>(2, ms));
}

int32_t rtu_answer_length(const uint8_t *request, int32_t n)
{
    if (!request || n < 8)
        return 0;
    const int32_t count = request[4] << 8 | request[5];
    switch (request[1]) {
    case 1:
    case 2:
        return 5 + (count + 7) / 8;
    case 3:
    case 4:
    case 23:
        return 5 + 2 * count;
    case 22:
        return 10;
    case 5:
    case 6:
    case 15:
    case 16:
        return 8;
    default:
        return 0;
    }
}

int32_t discard_waiting(SerialLink &link, int32_t port, std::string &dropped)
{
    dropped.clear();
    char chunk[kChunk];
    while (dropped.size() < size_t(kMaxDiscard)) {
        const int32_t n = link.read(port, chunk, kChunk);
        if (n <= 0)
            break;
        dropped.append(chunk, size_t(n));
    }
    return int32_t(dropped.size());
}

void RtuReceiver::expect(const uint8_t *request, int32_t n, int32_t silenceMs)
{
    expected_ = rtu_answer_length(request, n);
    silenceMs_ = std::max(2, silenceMs);
}

bool RtuReceiver::crcHolds(int32_t n) const
{
    if (n < 4)
        return false;
    uint8_t calc[2];
    CRC_check(buf_, n - 2, calc);
    return calc[0] == buf_[n - 2] && calc[1] == buf_[n - 1];
}

// An exception answer (5 bytes) or the regular answer's length, each closed
// by a CRC that holds. Anything else (a longer answer, a broken CRC) waits for
// the silence and is checked as a whole, as without fast receive.
bool RtuReceiver::complete() const
{
    if (fill_ == 5 && (buf_[1] & 0x80) && crcHolds(5))
        return true;
    return expected_ > 0 && fill_ == expected_ && crcHolds(fill_);
}

ReceiveEvent RtuReceiver::look(SerialLink &link, int32_t port, int64_t now)
{
    taken_ = 0;
    nextLook_ = 0;
    switch (state_) {
    case Start:
        fill_ = 0;
        std::memset(buf_, 0, sizeof buf_);
        polls_ = 0;
        // The second for the answer starts once the request has left the line.
        startMs_ = std::max(now, timing_.requestEnd());
        timing_.restart();
        state_ = WaitFirst;
        [[fallthrough]];
    case WaitFirst:
    case Receive: {
        uint8_t chunk[kChunk];
        for (int i = 0; i < kChunksPerLook; ++i) {
            const int32_t n = link.read(port, chunk, kChunk);
            if (n <= 0)
                break;
            if (fill_ + n > kBufferSize) {  // never beyond the buffer: drop the answer
                state_ = Start;
                return ReceiveEvent::Overflow;
            }
            std::memcpy(buf_ + fill_, chunk, size_t(n));
            fill_ += n;
            taken_ += n;
            timing_.took(n);
        }
        if (taken_ > 0) {
            timing_.observe(0, now);
            lastMs_ = now;
            state_ = Receive;
            if (complete()) {
                state_ = Finish;
                return ReceiveEvent::Check;
            }
        }
        if (state_ == WaitFirst) {
            const int64_t waited = now - startMs_;
            if (waited >= timeOutMs_) {
                state_ = Start;
                return ReceiveEvent::TimeOut;
            }
            nextLook_ = int32_t(timeOutMs_ - waited);
            return ReceiveEvent::None;
        }
        // The clock counts whole milliseconds: one more makes sure the line
        // was really quiet for the full silence.
        const int64_t quiet = now - lastMs_;
        if (quiet > silenceMs_) {
            state_ = Finish;
            return ReceiveEvent::Check;
        }
        nextLook_ = int32_t(silenceMs_ + 1 - quiet);
        return ReceiveEvent::None;
    }
    case Finish:
        state_ = Start;
        return ReceiveEvent::Finish;
    default:  // a state of the ticking machine: start over
        state_ = Start;
        return ReceiveEvent::None;
    }
}

ReceiveEvent RtuReceiver::tick(SerialLink &link, int32_t port)
{
    const int64_t mono = link.monotonicMs();
    if (fast_)
        return look(link, port, mono);
    link.now(clock_);
    const int16_t now = int16_t(clock_.second * 100 + clock_.msec / 10);
    switch (state_) {
    case Start:
        fill_ = 0;
        std::memset(buf_, 0, sizeof buf_);
        polls_ = 0;
        timing_.restart();
        timing_.observe(link.pending(port), mono);
        state_ = WaitFirst;
        return ReceiveEvent::None;
    case WaitFirst: {
        const int16_t c = link.recv(port);
        if (c < 0) {
            // The empty polls count once the request has left the line.
            if (mono >= timing_.requestEnd() && ++polls_ >= kEmptyPolls)
                state_ = TimeOut;
            return ReceiveEvent::None;
        }
        fill_ = 0;
        buf_[fill_++] = uint8_t(c);
        timing_.took(1);
        timing_.observe(link.pending(port), mono);
        lastByte_ = now;
        state_ = Receive;
        return ReceiveEvent::None;
    }
    case Receive: {
        const int16_t c = link.recv(port);
        if (c >= 0) {
            if (fill_ >= kBufferSize) {  // never beyond the buffer: drop the answer
                state_ = Start;
                return ReceiveEvent::Overflow;
            }
            buf_[fill_++] = uint8_t(c);
            timing_.took(1);
            timing_.observe(link.pending(port), mono);
            lastByte_ = now;
            return ReceiveEvent::None;
        }
        // Silence since this station took the last byte, across the minute.
        int16_t silence = int16_t(now - lastByte_);
        if (silence < 0)
            silence = int16_t(silence + 6000);
        if (silence >= gap_ / 10)
            state_ = Check;
        return ReceiveEvent::None;
    }
    case Check:
        state_ = Finish;
        return ReceiveEvent::Check;
    case TimeOut:
        state_ = Start;
        return ReceiveEvent::TimeOut;
    case Finish:
        state_ = Start;
        return ReceiveEvent::Finish;
    default:
        return ReceiveEvent::None;
    }
}

AnswerCheck rtu_answer_check(const uint8_t *frame, int32_t n)
{
    AnswerCheck out;
    out.response = hex_line("Response Message: ", frame, n);
    uint8_t calc[2];
    CRC_check(frame, n - 2, calc);  // no bytes when the frame is shorter than a CRC
    const int recvLo = n >= 2 ? frame[n - 2] : 0;
    const int recvHi = n >= 1 ? frame[n - 1] : 0;
    out.ok = n >= 2 && calc[0] == recvLo && calc[1] == recvHi;
    if (!out.ok)
        out.error = strformat("CRC error: Recv[%d %d] Calc[%d %d]", recvLo, recvHi, int(calc[0]), int(calc[1]));
    return out;
}

AnswerCheck RtuReceiver::checkAnswer() const { return rtu_answer_check(buf_, fill_); }

ReceiveEvent AsciiReceiver::look(SerialLink &link, int32_t port, int64_t now)
{
    taken_ = 0;
    nextLook_ = 0;
    switch (state_) {
    case Start:
        fill_ = 0;
        std::memset(buf_, 0, sizeof buf_);
        polls_ = 0;
        // The second for the answer starts once the request has left the line.
        startMs_ = lastMs_ = std::max(now, timing_.requestEnd());
        timing_.restart();
        state_ = WaitColon;
        [[fallthrough]];
    case WaitColon:
    case Receive: {
        char chunk[kChunk];
        for (int i = 0; i < kChunksPerLook; ++i) {
            const int32_t n = link.read(port, chunk, kChunk);
            if (n <= 0)
                break;
            taken_ += n;
            timing_.took(n);
            timing_.observe(0, now);
            for (int32_t k = 0; k < n; ++k) {
                const char c = chunk[k];
                if (state_ == WaitColon) {  // anything before the colon is dropped
                    if (c == ':') {
                        fill_ = 0;
                        buf_[fill_++] = ':';
                        lastMs_ = now;
                        state_ = Receive;
                    }
                    continue;
                }
                if (fill_ >= kBufferSize) {  // no LF within the buffer: drop the line
                    state_ = Start;
                    return ReceiveEvent::Overflow;
                }
                buf_[fill_++] = c;
                lastMs_ = now;
                if (c == 10) {  // what follows the LF belongs to no answer
                    buf_[fill_] = 0;
                    state_ = Finish;
                    return ReceiveEvent::Check;
                }
            }
        }
        // Characters dropped before the colon do not hold the exchange open:
        // the second runs from the request until a frame has begun.
        const int64_t waited = now - lastMs_;
        if (waited >= timeOutMs_) {
            state_ = Start;
            return ReceiveEvent::TimeOut;
        }
        nextLook_ = int32_t(timeOutMs_ - waited);
        return ReceiveEvent::None;
    }
    case Finish:
        state_ = Start;
        return ReceiveEvent::Finish;
    default:  // a state of the ticking machine: start over
        state_ = Start;
        return ReceiveEvent::None;
    }
}

ReceiveEvent AsciiReceiver::tick(SerialLink &link, int32_t port)
{
    const int64_t mono = link.monotonicMs();
    if (fast_)
        return look(link, port, mono);
    // The empty polls count once the request has left the line.
    const bool lineFree = mono >= timing_.requestEnd();
    switch (state_) {
    case Start:
        fill_ = 0;
        std::memset(buf_, 0, sizeof buf_);
        polls_ = 0;
        timing_.restart();
        timing_.observe(link.pending(port), mono);
        state_ = WaitColon;
        return ReceiveEvent::None;
    case WaitColon: {
        const int16_t c = link.recv(port);
        if (c < 0) {
            if (lineFree && ++polls_ >= kEmptyPolls)
                state_ = TimeOut;
            return ReceiveEvent::None;
        }
        timing_.took(1);
        timing_.observe(link.pending(port), mono);
        if (c == ':') {  // anything before the colon is dropped
            fill_ = 0;
            buf_[fill_++] = ':';
            state_ = Receive;
        }
        return ReceiveEvent::None;
    }
    case Receive: {
        const int16_t c = link.recv(port);
        if (c < 0) {
            if (lineFree && ++polls_ >= kEmptyPolls)
                state_ = TimeOut;
            return ReceiveEvent::None;
        }
        timing_.took(1);
        timing_.observe(link.pending(port), mono);
        if (fill_ >= kBufferSize) {  // no LF within the buffer: drop the line
            state_ = Start;
            return ReceiveEvent::Overflow;
        }
        buf_[fill_++] = char(c);
        if (c == 10)
            state_ = Check;
        return ReceiveEvent::None;
    }
    case Check:
        state_ = Finish;
        return ReceiveEvent::Check;
    case TimeOut:
        state_ = Start;
        return ReceiveEvent::TimeOut;
    case Finish:
        state_ = Start;
        return ReceiveEvent::Finish;
    default:
        return ReceiveEvent::None;
    }
}

AnswerCheck AsciiReceiver::checkAnswer()
{
    AnswerCheck out;
    // The frame as text; its closing CR LF ends the memo line.
    int32_t shown = fill_;
    while (shown > 0 && (buf_[shown - 1] == '\n' || buf_[shown - 1] == '\r'))
        --shown;
    out.response = "Response Message: " + std::string(buf_, size_t(shown));
    char calc[2];
    LRC_check(buf_ + 1, fill_ - 5, calc);  // no characters when too short for an LRC
    const int recv0 = fill_ >= 4 ? uint8_t(buf_[fill_ - 4]) : 0;
    const int recv1 = fill_ >= 3 ? uint8_t(buf_[fill_ - 3]) : 0;
    out.ok = fill_ >= 5 && calc[0] == buf_[fill_ - 4] && calc[1] == buf_[fill_ - 3];
    if (!out.ok)
        out.error = strformat("LRC error: Recv[%d %d] Calc[%d %d]", recv0, recv1, int(uint8_t(calc[0])),
                              int(uint8_t(calc[1])));
    return out;
}

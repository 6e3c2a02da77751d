#include "Master_receive.h"

#include <cstring>

#include "Master_station.h"
#include "Strformat.h"
#include "corvane.h"

ReceiveEvent RtuReceiver::tick(SerialLink &link, int32_t port)
{
    link.now(clock_);
    const int16_t now = int16_t(clock_.second * 100 + clock_.msec / 10);
    switch (state_) {
    case Start:
        fill_ = 0;
        std::memset(buf_, 0, sizeof buf_);
        polls_ = 0;
        state_ = WaitFirst;
        return ReceiveEvent::None;
    case WaitFirst: {
        const int16_t c = link.recv(port);
        if (c < 0) {
            if (++polls_ >= kEmptyPolls)
                state_ = TimeOut;
            return ReceiveEvent::None;
        }
        fill_ = 0;
        buf_[fill_++] = uint8_t(c);
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

AnswerCheck RtuReceiver::checkAnswer() const
{
    AnswerCheck out;
    out.response = hex_line("Response Message: ", buf_, fill_);
    uint8_t calc[2];
    CRC_check(buf_, fill_ - 2, calc);  // no bytes when the frame is shorter than a CRC
    const int recvLo = fill_ >= 2 ? buf_[fill_ - 2] : 0;
    const int recvHi = fill_ >= 1 ? buf_[fill_ - 1] : 0;
    out.ok = fill_ >= 2 && calc[0] == recvLo && calc[1] == recvHi;
    if (!out.ok)
        out.error = strformat("CRC error: Recv[%d %d] Calc[%d %d]", recvLo, recvHi, int(calc[0]), int(calc[1]));
    return out;
}

ReceiveEvent AsciiReceiver::tick(SerialLink &link, int32_t port)
{
    link.now(clock_);
    switch (state_) {
    case Start:
        fill_ = 0;
        std::memset(buf_, 0, sizeof buf_);
        polls_ = 0;
        state_ = WaitColon;
        return ReceiveEvent::None;
    case WaitColon: {
        const int16_t c = link.recv(port);
        if (c < 0) {
            if (++polls_ >= kEmptyPolls)
                state_ = TimeOut;
        } else if (c == ':') {  // anything before the colon is dropped
            fill_ = 0;
            buf_[fill_++] = ':';
            state_ = Receive;
        }
        return ReceiveEvent::None;
    }
    case Receive: {
        const int16_t c = link.recv(port);
        if (c < 0) {
            if (++polls_ >= kEmptyPolls)
                state_ = TimeOut;
            return ReceiveEvent::None;
        }
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

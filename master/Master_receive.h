// The serial masters' receive state machines: one step per 10 ms timer tick,
// one byte (RTU) or one character (ASCII) taken from the port per step.
// Free of widgets: the window runs tick() from its timer and acts on the
// event it returns (log and decode, report, stop the timer).
#pragma once

#include <cstdint>
#include <string>

#include "Serial_link.h"

enum class ReceiveEvent {
    None,      // nothing for the window to do on this tick
    Check,     // an answer is complete: check it, log it, decode it
    Overflow,  // more than the receive buffer holds arrived: answer dropped, the exchange is over
    TimeOut,   // 100 empty polls: stop the timer, report the time-out
    Finish,    // the exchange is over: stop the timer, offer the grid
};

// The outcome of checking a received answer: the "Response Message: " line,
// and the checksum error line when the check failed.
struct AnswerCheck {
    bool ok = false;
    std::string response;
    std::string error;
};

class RtuReceiver {
public:
    enum State { Start = 0, WaitFirst = 10, Receive = 20, Check = 30, TimeOut = 990, Finish = 1000 };
    static constexpr int kBufferSize = 512;
    static constexpr int kEmptyPolls = 100;

    // A new request went out: the next tick starts afresh.
    void restart() { state_ = Start; }
    ReceiveEvent tick(SerialLink &link, int32_t port);

    // The end-of-answer gap in milliseconds (100).
    void setGap(int ms) { gap_ = ms; }
    int state() const { return state_; }
    const uint8_t *data() const { return buf_; }
    int32_t length() const { return fill_; }
    int emptyPolls() const { return polls_; }

    // Checks the CRC of what was received. A frame too short to hold one is a
    // CRC error; bytes before the frame's start read as 0 in the error line.
    AnswerCheck checkAnswer() const;

private:
    int state_ = Start;
    uint8_t buf_[kBufferSize] = {0};
    int32_t fill_ = 0;
    int polls_ = 0;
    int16_t lastByte_ = 0;  // 10 ms units within the minute
    int gap_ = 100;
    ClockFields clock_;
};

class AsciiReceiver {
public:
    enum State { Start = 0, WaitColon = 10, Receive = 20, Check = 30, TimeOut = 990, Finish = 1000 };
    static constexpr int kBufferSize = 512;
    static constexpr int kEmptyPolls = 100;

    void restart() { state_ = Start; }
    ReceiveEvent tick(SerialLink &link, int32_t port);

    int state() const { return state_; }
    // The frame from ":" to LF; a NUL follows it.
    const char *data() const { return buf_; }
    int32_t length() const { return fill_; }
    int emptyPolls() const { return polls_; }

    // Checks the LRC (upper-casing the frame's hexadecimal pairs in place).
    // A frame too short to hold an LRC is an LRC error; positions before the
    // frame read as 0 in the error line.
    AnswerCheck checkAnswer();

private:
    int state_ = Start;
    char buf_[kBufferSize + 1] = {0};
    int32_t fill_ = 0;
    int polls_ = 0;
    ClockFields clock_;
};

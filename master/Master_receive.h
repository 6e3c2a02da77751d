// The serial masters' receive state machines: one step per 10 ms timer tick,
// one byte (RTU) or one character (ASCII) taken from the port per step.
// Free of widgets: the window runs tick() from its timer and acts on the
// event it returns (log and decode, report, stop the timer).
//
// With fast receive on (from the next restart), a step is a look instead:
// it takes every byte already waiting and ends the answer as soon as it can
// tell it is complete, and the machine says when it wants its next look if
// no byte wakes the window first (nextLookMs).
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

// When the request left the line and when the answer's bytes came in, on the
// link's monotonic clock. The answer's time-out runs from the end of the
// request, so that a long request at a low rate is not given up while it is
// still going out; the response time is the device's, from the end of the
// request to the answer's last byte, without the station's own waiting (one
// byte taken per 10 ms tick, 100 ms of silence).
class AnswerTiming {
public:
    // The request was handed to the port at sentMs and needs lineMs on the line.
    void sent(int64_t sentMs, int32_t lineMs) { end_ = sentMs + (lineMs > 0 ? lineMs : 0); }
    int64_t requestEnd() const { return end_; }
    // The answer starts afresh.
    void restart()
    {
        taken_ = seen_ = 0;
        lastByte_ = end_;
    }
    // n more bytes were taken from the port.
    void took(int32_t n) { taken_ += n; }
    // At now, `waiting` bytes are still in the port: those not seen before
    // came in by now. A machine that takes bytes one at a time looks at what
    // waits, so the bytes it has yet to take count from when they came.
    void observe(int32_t waiting, int64_t now)
    {
        const int64_t seen = taken_ + (waiting > 0 ? waiting : 0);
        if (seen > seen_) {
            seen_ = seen;
            lastByte_ = now;
        }
    }
    // From the end of the request to the last byte that came in; 0 for bytes
    // that were there before the request had left.
    int64_t responseMs() const { return lastByte_ > end_ ? lastByte_ - end_ : 0; }

private:
    int64_t end_ = 0;
    int64_t taken_ = 0, seen_ = 0;
    int64_t lastByte_ = 0;
};

// What the window asks of a receive machine beyond its steps: fast receive
// and the times of the exchange.
class FastReceiving {
public:
    // One second without a byte ends an exchange that waits for an answer.
    static constexpr int32_t kTimeOutMs = 1000;

    // Applies from the next restart, so an exchange runs in one mode only.
    void setFast(bool on) { wantFast_ = on; }
    // Fast receive's wait for an answer, for a program that lets its user
    // choose it; the stations keep kTimeOutMs.
    void setTimeOutMs(int32_t ms) { timeOutMs_ = ms > 0 ? ms : kTimeOutMs; }
    bool fast() const { return fast_; }
    // The request that just went out and the RTU end-of-answer silence, for
    // knowing early that an answer is complete. ASCII answers end at their LF.
    virtual void expect(const uint8_t *request, int32_t n, int32_t silenceMs) = 0;
    // Milliseconds until the machine wants to look again if no byte arrives.
    int32_t nextLookMs() const { return nextLook_; }
    // Bytes taken from the port at the last look.
    int32_t lastTaken() const { return taken_; }
    // Told when each request goes out (both modes); the response time of the
    // answer just checked.
    AnswerTiming &timing() { return timing_; }
    const AnswerTiming &timing() const { return timing_; }

protected:
    ~FastReceiving() = default;
    bool wantFast_ = false, fast_ = false;
    int32_t timeOutMs_ = kTimeOutMs;
    int32_t nextLook_ = 0;
    int32_t taken_ = 0;
    int64_t startMs_ = 0, lastMs_ = 0;  // the link's monotonic clock
    AnswerTiming timing_;
};

// Checks the CRC of an RTU answer of n bytes (too short to hold one: a CRC
// error, with missing bytes read as 0 in the error line).
AnswerCheck rtu_answer_check(const uint8_t *frame, int32_t n);

// Bits on the line per character: start, data, parity when there is one, stop.
int32_t character_bits(int32_t dataBits, char parity, int32_t stopBits);
// The time n bytes take on the line at its settings, rounded up to whole ms.
int32_t line_time_ms(int32_t n, int32_t baud, int32_t dataBits, char parity, int32_t stopBits);
// The RTU end-of-answer silence: 3.5 character times at the line's settings,
// rounded up, and at least 2 ms.
int32_t rtu_silence_ms(int32_t baud, int32_t dataBits, char parity, int32_t stopBits);
// The length of a regular answer to an RTU request (reads and code 23
// 5 + byte count, writes 8, mask writes 10), or 0 when the request is not
// one whose answer length is known.
int32_t rtu_answer_length(const uint8_t *request, int32_t n);
// Takes what waits in the port (a late answer to an earlier request, noise)
// so that it cannot pass for the answer to the next one: at most
// kMaxDiscard bytes, the rest of a line that never stops being left to the
// receive machine. The bytes taken go to dropped; returns their count.
constexpr int32_t kMaxDiscard = 4096;
int32_t discard_waiting(SerialLink &link, int32_t port, std::string &dropped);

class RtuReceiver : public FastReceiving {
public:
    enum State { Start = 0, WaitFirst = 10, Receive = 20, Check = 30, TimeOut = 990, Finish = 1000 };
    static constexpr int kBufferSize = 512;
    static constexpr int kEmptyPolls = 100;

    // A new request went out: the next tick starts afresh.
    void restart()
    {
        state_ = Start;
        fast_ = wantFast_;
    }
    ReceiveEvent tick(SerialLink &link, int32_t port);
    void expect(const uint8_t *request, int32_t n, int32_t silenceMs) override;

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
    ReceiveEvent look(SerialLink &link, int32_t port, int64_t now);
    bool crcHolds(int32_t n) const;
    bool complete() const;

    int state_ = Start;
    int32_t expected_ = 0;   // the regular answer's length, 0 unknown
    int32_t silenceMs_ = 2;  // fast receive's end-of-answer silence
    uint8_t buf_[kBufferSize] = {0};
    int32_t fill_ = 0;
    int polls_ = 0;
    int16_t lastByte_ = 0;  // 10 ms units within the minute
    int gap_ = 100;
    ClockFields clock_;
};

class AsciiReceiver : public FastReceiving {
public:
    enum State { Start = 0, WaitColon = 10, Receive = 20, Check = 30, TimeOut = 990, Finish = 1000 };
    static constexpr int kBufferSize = 512;
    static constexpr int kEmptyPolls = 100;

    void restart()
    {
        state_ = Start;
        fast_ = wantFast_;
    }
    ReceiveEvent tick(SerialLink &link, int32_t port);
    void expect(const uint8_t *, int32_t, int32_t) override {}

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
    ReceiveEvent look(SerialLink &link, int32_t port, int64_t now);

    int state_ = Start;
    char buf_[kBufferSize + 1] = {0};
    int32_t fill_ = 0;
    int polls_ = 0;
};

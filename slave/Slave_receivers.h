// The receivers of the two serial slave stations, run once per timer tick.
//
// RTU: a request is every byte from the first one after idle until the line
// has been silent for RxGap / 10 centiseconds of the local clock.
// ASCII: a request is the characters from a ':' through the next LF; a ':'
// without its LF is given up after RxTimeout seconds.
//
// Both collect into a 512-byte buffer that is never overrun: a longer request
// is dropped with a line in the upper memo. A tick never runs for more than
// kTickLimitCs centiseconds of the clock nor more than kTickPassLimit passes,
// so a flood of bytes cannot hold the GUI thread; a request still arriving
// then is carried on by the next tick.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "Serial_link.h"

struct SerialReceiverHooks {
    // Serves the complete request held in the receiver's buffer.
    std::function<void(const uint8_t *request, int32_t length)> process;
    // A line for the upper memo.
    std::function<void(const std::string &text)> logMemo1;
    // A request given up, too long or unfinished: the bytes held of it.
    // Once per request, before its lines (an unfinished one gives two).
    std::function<void(const uint8_t *data, int32_t length)> dropped;
};

constexpr int kRxBufferSize = 512;
constexpr int kTickLimitCs = 60;
constexpr int kTickPassLimit = 4096;

class SlaveRtuReceiver {
public:
    void tick(SerialLink &link, int32_t port, const SerialReceiverHooks &hooks);

    int32_t RxGap = 20;  // milliseconds of silence that end a request
    uint8_t RxBuffer[kRxBufferSize] = {};
    int32_t RxLength = 0;
    int32_t RxState = 0;
    int16_t RxLastTime = 0;  // centiseconds within the minute
    ClockFields clock;
};

class SlaveAsciiReceiver {
public:
    void tick(SerialLink &link, int32_t port, const SerialReceiverHooks &hooks);
    // True when timeout seconds have passed since start (minute * 60 + second).
    bool ReceiveTimedOut(int16_t start, int16_t timeout) const;

    uint8_t RxBuffer[kRxBufferSize] = {};
    int32_t RxLength = 0;
    int32_t RxState = 0;
    int16_t RxStartTime = 0;
    int16_t RxTimeout = 3;
    ClockFields clock;
};

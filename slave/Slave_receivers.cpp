#include "Slave_receivers.h"

#include <cstring>

#include "Strformat.h"

namespace {

// Centiseconds within the hour, for bounding the length of one tick.
int hour_cs(const ClockFields &c) { return (c.minute * 60 + c.second) * 100 + c.msec / 10; }

// Bounds one tick by passes and by clock time.
class TickBudget {
public:
    bool spent(const ClockFields &c)
    {
        const int now = hour_cs(c);
        if (passes_++ == 0)
            start_ = now;
        if (passes_ > kTickPassLimit)
            return true;
        int d = now - start_;
        if (d < 0)
            d += 360000;
        return d >= kTickLimitCs;
    }

private:
    int passes_ = 0;
    int start_ = 0;
};

}  // namespace

void SlaveRtuReceiver::tick(SerialLink &link, int32_t port, const SerialReceiverHooks &hooks)
{
    TickBudget budget;
    for (;;) {
        link.now(clock);
        if (budget.spent(clock))
            return;
        const int16_t now = int16_t(clock.second * 100 + clock.msec / 10);
        switch (RxState) {
        case 0:
            RxLength = 0;
            std::memset(RxBuffer, 0, sizeof RxBuffer);
            RxState = 10;
            break;
        case 10: {
            const int16_t b = link.recv(port);
            if (b < 0)
                return;
            RxLength = 0;
            RxBuffer[RxLength++] = uint8_t(b);
            RxState = 20;
            RxLastTime = now;
            break;
        }
        case 20: {
            const int16_t b = link.recv(port);
            if (b >= 0) {
                if (RxLength >= kRxBufferSize) {
                    if (hooks.dropped)
                        hooks.dropped(RxBuffer, RxLength);
                    if (hooks.logMemo1)
                        hooks.logMemo1(strformat("Mod Slave RTU req. over %d bytes, dropped", kRxBufferSize));
                    RxState = 0;
                    return;
                }
                RxBuffer[RxLength++] = uint8_t(b);
                RxLastTime = now;
                break;
            }
            int d = now - RxLastTime;
            if (d < 0)
                d += 6000;
            if (d >= RxGap / 10)
                RxState = 30;
            break;
        }
        case 30:
            if (hooks.process)
                hooks.process(RxBuffer, RxLength);
            RxState = 1000;
            break;
        case 1000:
            RxState = 0;
            return;
        default:
            RxState = 0;
            break;
        }
    }
}

bool SlaveAsciiReceiver::ReceiveTimedOut(int16_t start, int16_t timeout) const
{
    const int16_t now = int16_t(clock.minute * 60 + clock.second);
    int d = now - start;
    if (d < 0)
        d += 3600;
    return d >= timeout;
}

void SlaveAsciiReceiver::tick(SerialLink &link, int32_t port, const SerialReceiverHooks &hooks)
{
    TickBudget budget;
    for (;;) {
        link.now(clock);
        if (budget.spent(clock))
            return;
        switch (RxState) {
        case 0:
            RxLength = 0;
            std::memset(RxBuffer, 0, sizeof RxBuffer);
            RxTimeout = 3;
            RxState = 10;
            break;
        case 10: {
            const int16_t c = link.recv(port);
            if (c < 0)
                return;
            if (c == ':') {
                RxLength = 0;
                RxBuffer[RxLength++] = ':';
                RxTimeout = 3;
                RxStartTime = int16_t(clock.minute * 60 + clock.second);
                RxState = 20;
            }
            break;
        }
        case 20: {
            const int16_t c = link.recv(port);
            if (c < 0) {
                if (ReceiveTimedOut(RxStartTime, RxTimeout)) {
                    if (hooks.dropped)
                        hooks.dropped(RxBuffer, RxLength);
                    if (hooks.logMemo1)
                        hooks.logMemo1(strformat("Mod Slave ASC req. cmd is not finished recv. len=%d", int(RxLength)));
                    RxState = 990;
                }
                return;
            }
            if (RxLength >= kRxBufferSize) {
                if (hooks.dropped)
                    hooks.dropped(RxBuffer, RxLength);
                if (hooks.logMemo1)
                    hooks.logMemo1(strformat("Mod Slave ASC req. over %d chars, dropped", kRxBufferSize));
                RxState = 0;
                return;
            }
            RxBuffer[RxLength++] = uint8_t(c);
            if (c == '\n')
                RxState = 30;
            break;
        }
        case 30:
            if (hooks.process)
                hooks.process(RxBuffer, RxLength);
            RxState = 1000;
            break;
        case 990:
            if (hooks.logMemo1)
                hooks.logMemo1("Time out error");
            RxState = 0;
            break;
        case 1000:
            RxState = 0;
            return;
        default:
            RxState = 0;
            break;
        }
    }
}

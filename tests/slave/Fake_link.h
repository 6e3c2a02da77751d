// A serial link for receiver tests: bytes arrive at given times on a clock the
// test owns. Each empty read costs readCostMs of that clock, as a real read
// with its short time-out does; reading the clock costs nothing.
#pragma once

#include <QByteArray>
#include <QList>
#include <deque>
#include <utility>

#include "Serial_link.h"

class FakeLink : public SerialLink {
public:
    int64_t ms = 0;      // the clock, milliseconds since midnight
    int readCostMs = 1;  // clock advance per empty read
    int64_t reads = 0;
    bool endless = false;  // an endless stream of 'endlessByte'
    uint8_t endlessByte = 0x55;
    std::deque<std::pair<int64_t, uint8_t>> arrivals;
    QList<QByteArray> writes;
    int openResult = 1, closeResult = 1;
    int opens = 0, closes = 0;
    int32_t lastPort = 0, lastBaud = 0, lastData = 0, lastStop = 0;
    char lastParity = 0;

    // bytes arrive from time at, one every gapMs.
    void feed(const QByteArray &bytes, int64_t at, int gapMs = 0)
    {
        for (int i = 0; i < bytes.size(); ++i)
            arrivals.emplace_back(at + int64_t(i) * gapMs, uint8_t(bytes[i]));
    }
    void feedNow(const QByteArray &bytes) { feed(bytes, ms); }

    int32_t open(int32_t port, int32_t baud, char parity, int32_t databits, int32_t stopbits, int32_t) override
    {
        ++opens;
        lastPort = port;
        lastBaud = baud;
        lastParity = parity;
        lastData = databits;
        lastStop = stopbits;
        return openResult;
    }
    int32_t close(int32_t port) override
    {
        ++closes;
        lastPort = port;
        return closeResult;
    }
    int32_t write(int32_t, const void *buf, int32_t n) override
    {
        writes.append(QByteArray(static_cast<const char *>(buf), n));
        return n;
    }
    int16_t recv(int32_t) override
    {
        ++reads;
        if (endless)
            return endlessByte;
        if (!arrivals.empty() && arrivals.front().first <= ms) {
            const uint8_t b = arrivals.front().second;
            arrivals.pop_front();
            return b;
        }
        ms += readCostMs;
        return -1;
    }
    // Takes the bytes arrived by now; never waits, so costs no time.
    int32_t read(int32_t, void *buf, int32_t size) override
    {
        auto *out = static_cast<uint8_t *>(buf);
        int32_t n = 0;
        for (; n < size && !arrivals.empty() && arrivals.front().first <= ms; ++n) {
            out[n] = arrivals.front().second;
            arrivals.pop_front();
        }
        return n;
    }
    int32_t descriptor(int32_t) override { return -1; }
    int64_t monotonicMs() override { return ms; }
    qsizetype bytesWritten() const
    {
        qsizetype n = 0;
        for (const QByteArray &w : writes)
            n += w.size();
        return n;
    }
    void now(ClockFields &c) override
    {
        c.hour = int16_t(ms / 3600000 % 24);
        c.minute = int16_t(ms / 60000 % 60);
        c.second = int16_t(ms / 1000 % 60);
        c.msec = int16_t(ms % 1000);
    }
};

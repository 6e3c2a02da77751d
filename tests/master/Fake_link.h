// A serial line and clock driven by the test: bytes arrive at given times,
// the clock moves only when the test moves it.
#pragma once

#include <QByteArray>
#include <cstdint>
#include <deque>
#include <vector>

#include "Serial_link.h"

class FakeLink : public SerialLink {
public:
    struct Arrival {
        long at;  // ms
        uint8_t byte;
    };

    long ms = 0;              // the clock, in ms since the start of a minute 0
    long wallStep = 0;        // how far the wall clock was set away from it
    bool openWorks = true;
    int opens = 0, closes = 0;
    bool isOpen = false;
    int openedPort = 0;
    int reads = 0;  // calls of read()
    std::vector<QByteArray> written;

    // Queues bytes that arrive at the port at time `at` (default: now).
    void arrive(const QByteArray &bytes, long at = -1)
    {
        for (char c : bytes)
            queue_.push_back({at < 0 ? ms : at, uint8_t(c)});
    }
    size_t queued() const { return queue_.size(); }
    void clearQueue() { queue_.clear(); }

    int32_t open(int32_t port, int32_t, char, int32_t, int32_t, int32_t) override
    {
        ++opens;
        openedPort = port;
        isOpen = openWorks;
        return openWorks ? 1 : 0;
    }
    int32_t close(int32_t) override
    {
        ++closes;
        const bool was = isOpen;
        isOpen = false;
        return was ? 1 : 0;
    }
    int32_t write(int32_t, const void *buf, int32_t n) override
    {
        written.emplace_back(static_cast<const char *>(buf), n);
        return n;
    }
    int16_t recv(int32_t) override
    {
        if (queue_.empty() || queue_.front().at > ms)
            return -1;
        const uint8_t b = queue_.front().byte;
        queue_.pop_front();
        return b;
    }
    // Everything that has arrived by now, at most size bytes, as the
    // library's non-waiting read gives it.
    int32_t read(int32_t, void *buf, int32_t size) override
    {
        int32_t n = 0;
        auto *out = static_cast<uint8_t *>(buf);
        while (n < size && !queue_.empty() && queue_.front().at <= ms) {
            out[n++] = queue_.front().byte;
            queue_.pop_front();
        }
        ++reads;
        return n;
    }
    int32_t pending(int32_t) override
    {
        int32_t n = 0;
        for (const Arrival &a : queue_)
            n += a.at <= ms ? 1 : 0;
        return n;
    }
    // No descriptor: a station looks on its timer.
    int32_t descriptor(int32_t) override { return -1; }
    int64_t monotonicMs() override { return ms; }
    void now(ClockFields &c) override
    {
        const long inDay = ((ms + wallStep) % 86400000L + 86400000L) % 86400000L;
        c.hour = int16_t(inDay / 3600000L);
        c.minute = int16_t(inDay / 60000L % 60);
        c.second = int16_t(inDay / 1000 % 60);
        c.msec = int16_t(inDay % 1000);
    }

private:
    std::deque<Arrival> queue_;
};


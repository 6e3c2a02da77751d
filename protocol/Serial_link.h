// What a serial station needs from its line and the clock. The base class goes
// to the link library; tests derive from it to feed bytes and time by hand.
#pragma once

#include <cstdint>

struct ClockFields {
    int16_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, msec = 0, dayofweek = 0;
};

class SerialLink {
public:
    virtual ~SerialLink() = default;
    virtual int32_t open(int32_t port, int32_t baud, char parity, int32_t databits, int32_t stopbits,
                         int32_t handshake);
    virtual int32_t close(int32_t port);
    virtual int32_t write(int32_t port, const void *buf, int32_t n);
    virtual int16_t recv(int32_t port);
    // Takes at most size bytes that are already waiting; never waits. The count taken.
    virtual int32_t read(int32_t port, void *buf, int32_t size);
    // The number of bytes waiting at the port.
    virtual int32_t pending(int32_t port);
    // A descriptor that turns readable when bytes arrive, or -1 when the line
    // has none to offer (the caller then looks on a timer instead).
    virtual int32_t descriptor(int32_t port);
    virtual void now(ClockFields &clock);
    // Milliseconds of a clock that never steps: for measuring waits, which
    // the wall clock above would cut short or stretch when it is set.
    virtual int64_t monotonicMs();
};

// The library-backed link every station starts with.
SerialLink &default_serial_link();

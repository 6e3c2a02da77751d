#include "Serial_link.h"

#include <chrono>

#include "corvane.h"

int32_t SerialLink::open(int32_t port, int32_t baud, char parity, int32_t databits, int32_t stopbits,
                         int32_t handshake)
{
    return seropen(port, baud, parity, databits, stopbits, handshake);
}

int32_t SerialLink::close(int32_t port) { return serclose(port); }

int32_t SerialLink::write(int32_t port, const void *buf, int32_t n) { return serwrite(port, buf, n); }

int16_t SerialLink::recv(int32_t port) { return serrecv(port); }

int32_t SerialLink::read(int32_t port, void *buf, int32_t size) { return serread(port, buf, size); }

int32_t SerialLink::pending(int32_t port) { return serloc(port); }

int32_t SerialLink::descriptor(int32_t port) { return serfd(port); }

void SerialLink::now(ClockFields &c)
{
    get_date_time(&c.year, &c.month, &c.day, &c.hour, &c.minute, &c.second, &c.msec, &c.dayofweek);
}

int64_t SerialLink::monotonicMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

SerialLink &default_serial_link()
{
    static SerialLink link;
    return link;
}

// One serial line of quillan-slave: the link library's port, the stations'
// RTU or ASCII receiver, and a thread that runs the receiver and sends the
// answers, so that a serial line never holds up the TCP clients.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "Serial_port.h"
#include "Slave_options.h"
#include "Slave_receivers.h"
#include "Slave_service.h"

class SerialServing {
public:
    // port: the link library's port number the device is opened as (COMn
    // given as such, or a free number pointed at a path by $CORVANE_COMn).
    SerialServing(SlaveService &service, const SerialEndpoint &endpoint, const LineSettings &line, int port);
    ~SerialServing();
    SerialServing(const SerialServing &) = delete;
    SerialServing &operator=(const SerialServing &) = delete;

    // Opens the line; false with the system's reason.
    bool open(std::string *reason);
    void start();
    // Ends the thread (within a few milliseconds) and closes the line.
    void stop();

    // "RTU on /dev/pts/3 (9600 N 8 1)"
    std::string describe() const;

private:
    void run();
    void serve(const uint8_t *request, int32_t length);
    void sendDue(bool all);
    // Writes an answer to the line, and logs it.
    void send(const std::vector<uint8_t> &answer);
    const SlaveProfile &profile() const;

    struct Pending {
        int64_t at;
        std::vector<uint8_t> bytes;
    };

    SlaveService &service_;
    SerialEndpoint endpoint_;
    LineSettings line_;
    int port_;
    bool open_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    SlaveRtuReceiver rtu_;
    SlaveAsciiReceiver ascii_;
    std::deque<Pending> pending_;  // delayed answers, in order
};

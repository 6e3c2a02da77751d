// The line or connection quillan-poll talks over, one exchange at a time:
// a request framed as its transport frames it goes out, and the answer's
// frame comes back, taken by the same receivers as the master stations'
// (serial lines: the stations' fast receive; TCP: their framer, late
// answers to an earlier transaction dropped), or the reason there is none.
// Every frame and event goes to the traffic record when there is one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Frame_note.h"
#include "Master_receive.h"
#include "Serial_link.h"
#include "Station_traffic.h"
#include "Tcp_framer.h"

// A request before its transport's framing.
struct Poll_request {
    uint8_t unit = 1;
    uint8_t function = 3;
    uint16_t address = 1;         // from 1, as the operator counts (65536 wraps to 0)
    uint16_t count = 0;           // reads, 15 and 16
    uint16_t value = 0;           // 5 (non-zero: on) and 6
    std::vector<uint8_t> bits;    // 15
    std::vector<uint16_t> words;  // 16
    std::vector<uint8_t> pdu;     // 17, 22, 23 and 43: the whole PDU
};

// The frame of the request in buffer (512 bytes); its length, -1 refused.
int32_t frame_poll_request(Traffic_framing framing, const Poll_request &request, uint8_t *buffer);

struct Link_answer {
    enum Status : uint8_t {
        Frame,          // frame holds the answer (its checksum held)
        NoAnswer,       // a broadcast went out: none comes
        TimeOut,        // nothing within the time-out
        ChecksumError,  // a frame whose CRC or LRC does not hold (in frame)
        Broken,         // no frame: why says what came (an overflow, a bad length field)
        NotConnected,   // the request could not go out: why
        Stopped,        // a stop signal came while waiting
    };
    Status status = TimeOut;
    bool sent = false;  // the request went out
    std::vector<uint8_t> frame;
    int64_t responseMs = 0;  // from the end of the request to the answer's last byte
    std::string why;
};

class Poll_link {
public:
    virtual ~Poll_link() = default;
    virtual Traffic_framing framing() const = 0;
    // Opens the port or makes the connection: "" or the reason.
    virtual std::string open() = 0;
    // Sends a framed request and, unless it is a broadcast, waits for its
    // answer at most the time-out.
    virtual Link_answer exchange(const uint8_t *frame, int32_t n, bool broadcast) = 0;
    // The traffic record, or nullptr when nothing is recorded.
    void setTraffic(Station_traffic *traffic) { traffic_ = traffic; }

protected:
    Station_traffic *traffic_ = nullptr;
};

// Modbus/TCP over a POSIX socket: connecting within the time-out; a
// connection that is lost is made again at the next exchange.
class Tcp_poll_link : public Poll_link {
public:
    Tcp_poll_link(std::string host, uint16_t port, int timeoutMs);
    ~Tcp_poll_link() override;
    Traffic_framing framing() const override { return Traffic_framing::Tcp; }
    std::string open() override;
    Link_answer exchange(const uint8_t *frame, int32_t n, bool broadcast) override;

private:
    std::string connectTo();
    void drop(const std::string &why);

    std::string host_;
    uint16_t port_;
    int timeoutMs_;
    int fd_ = -1;
    uint16_t transaction_ = 0;
    TcpFramer framer_;
    std::vector<uint8_t> frameBuf_, sendBuf_;
};

// RTU or ASCII on a serial line of the link library, read in the stations'
// fast receive: every byte waiting at each look, the answer ended at its
// expected length with a right CRC, at an ASCII line's LF, or after 3.5
// character times of silence.
class Serial_poll_link : public Poll_link {
public:
    struct Line {
        int baud = 9600;
        char parity = 'N';
        int dataBits = 8;
        int stopBits = 1;
    };
    // port: the link library's port number the device is opened as.
    Serial_poll_link(SerialLink &link, int port, bool ascii, Line line, int timeoutMs);
    ~Serial_poll_link() override;
    Traffic_framing framing() const override { return ascii_ ? Traffic_framing::Ascii : Traffic_framing::Rtu; }
    std::string open() override;
    Link_answer exchange(const uint8_t *frame, int32_t n, bool broadcast) override;

private:
    FastReceiving &receiver();
    ReceiveEvent look();

    SerialLink &link_;
    int port_;
    bool ascii_;
    Line line_;
    bool open_ = false;
    RtuReceiver rtu_;
    AsciiReceiver ascii_rx_;
};

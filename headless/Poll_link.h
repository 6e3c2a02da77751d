// The line or connection quillan-poll talks over, one exchange at a time:
// a request framed as its transport frames it goes out, and the answer's
// frame comes back, taken by the same receivers as the master stations'
// (serial lines: the stations' fast receive; TCP and UDP: their framer, late
// answers to an earlier transaction dropped; RTU over TCP: the RTU layouts,
// as the Master TCP station ends such an answer), or the reason there is none.
// Every frame and event goes to the traffic record when there is one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>
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
    // How requests and answers are framed.
    virtual Traffic_framing framing() const = 0;
    // What carries the frames, and so how the traffic history records them
    // (RTU over TCP: RTU frames in TCP segments; UDP: datagrams).
    virtual Traffic_carrier carrier() const { return Traffic_carrier::Native; }
    // The framing the traffic history is made with: a carried frame's
    // history is a network station's.
    Traffic_framing historyFraming() const
    {
        return carrier() == Traffic_carrier::Native ? framing() : Traffic_framing::Tcp;
    }
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

// Modbus/TCP, or RTU frames with their CRC (RTU over TCP), over a POSIX
// socket: connecting within the time-out; a connection that is lost is made
// again at the next exchange. An RTU answer ends at the length its layout
// gives with a right CRC; a stream has no silences, so anything else is
// checked as it stands at the time-out (or when the device closes the
// connection).
class Tcp_poll_link : public Poll_link {
public:
    enum class Frames : uint8_t { Mbap, Rtu };
    Tcp_poll_link(std::string host, uint16_t port, int timeoutMs, Frames frames = Frames::Mbap);
    ~Tcp_poll_link() override;
    Traffic_framing framing() const override
    {
        return frames_ == Frames::Rtu ? Traffic_framing::Rtu : Traffic_framing::Tcp;
    }
    Traffic_carrier carrier() const override
    {
        return frames_ == Frames::Rtu ? Traffic_carrier::Rtu_over_tcp : Traffic_carrier::Native;
    }
    std::string open() override;
    Link_answer exchange(const uint8_t *frame, int32_t n, bool broadcast) override;

private:
    std::string connectTo();
    void drop(const std::string &why);
    // The answer among the bytes held, when they make one: true and out set.
    bool takeMbap(Link_answer &out, int64_t sentAt);
    bool takeRtu(Link_answer &out, int64_t sentAt);
    // The RTU answer ended (the time-out, the connection closed): what came,
    // checked as it stands.
    void takeRtuAsItStands(Link_answer &out, int64_t sentAt);

    std::string host_;
    uint16_t port_;
    int timeoutMs_;
    Frames frames_;
    int fd_ = -1;
    uint16_t transaction_ = 0;
    TcpFramer framer_;
    std::vector<uint8_t> rtuHeld_;  // the RTU answer so far
    std::vector<uint8_t> frameBuf_, sendBuf_;
};

// Modbus/UDP: a socket bound and given its peer at open, one request per
// datagram, the answer matched by its transaction id. Datagrams that are no
// whole message, or carry another id (a late answer), are dropped with a
// line; they never make the wait longer than the time-out.
class Udp_poll_link : public Poll_link {
public:
    Udp_poll_link(std::string host, uint16_t port, int timeoutMs);
    ~Udp_poll_link() override;
    Traffic_framing framing() const override { return Traffic_framing::Tcp; }
    Traffic_carrier carrier() const override { return Traffic_carrier::Udp; }
    std::string open() override;
    Link_answer exchange(const uint8_t *frame, int32_t n, bool broadcast) override;

private:
    // One datagram waiting: its length (beyond the buffer when cut), -2 when
    // none, -1 on an error other than a refusal (out.why says).
    ssize_t receive(Link_answer &out);

    std::string host_;
    uint16_t port_;
    int timeoutMs_;
    int fd_ = -1;
    uint16_t transaction_ = 0;
    std::vector<uint8_t> datagram_, sendBuf_;
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

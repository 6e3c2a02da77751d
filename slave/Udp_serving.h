// Modbus/UDP without Qt: each datagram one Modbus/TCP message (the 7-byte
// header, then the PDU), each answered by one datagram to its sender.
//
// A UdpServing binds its sockets and serves them from the epoll loop of a
// TcpServing (attach()), so one thread serves TCP and UDP alike. Several
// loops of one process serve the same socket through join(): a datagram
// wakes one of them. Datagrams of one sender may then be served by two
// loops at once; their answers carry the transaction id they answer.
//
// A datagram that is no message (udp_message_check) is refused: the handler
// hears of it and nothing is sent. Whatever arrives, nothing is read
// beyond the datagram: it is received into a buffer of kMaxDatagram bytes
// and the kernel's count says how long it was.
//
// Per readiness the socket is read with recvmmsg, up to batch datagrams,
// and the answers due go out together with sendmmsg. Answers delayed on
// purpose wait in a bounded queue (UdpServingLimits::delayed) for a timer.
//
// Linux only (recvmmsg, sendmmsg, timerfd).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "Tcp_serving.h"
#include "Udp_message.h"

struct UdpServingLimits {
    int batch = 32;          // datagrams taken per readiness
    size_t delayed = 4096;   // answers waiting for their release time
    // Tell TcpServingHandler::sent of each answer the socket took, and
    // unsent of those it refused or that were still held at the end.
    bool reportSent = false;
    // Where the senders heard from in the last second are counted, for the
    // loops' busy polling (TcpServingLimits::datagramClients); may be null.
    std::atomic<size_t> *recentSenders = nullptr;
};

// What a UdpServing tells beside the requests it serves (TcpPeer::id is 0
// and the listener is the index of the bind() call).
class UdpServingHandler : public TcpServingHandler {
public:
    // n: the datagram's length; bytes holds the first kMaxDatagram of them
    // at most.
    virtual void refused(const TcpPeer &, Udp_message why, const uint8_t *bytes, size_t n)
    {
        (void)why, (void)bytes, (void)n;
    }
};

class UdpServing {
public:
    // Larger than any Ethernet frame's payload: a datagram that does not
    // fit is refused by its length all the same.
    static constexpr size_t kMaxDatagram = 2048;

    explicit UdpServing(UdpServingHandler &handler, UdpServingLimits limits = {},
                        TcpServingClock &clock = monotonic_serving_clock());
    ~UdpServing();
    UdpServing(const UdpServing &) = delete;
    UdpServing &operator=(const UdpServing &) = delete;

    bool ok() const;
    const std::string &error() const;

    // Binds a numeric IPv4 or IPv6 address ("::" takes IPv4 senders too)
    // and port (0: any free one). Returns its index, or -1 with the
    // system's reason in *reason.
    int bind(const std::string &host, uint16_t port, std::string *reason);
    // Serves a socket of another UdpServing as well. Returns this one's
    // index for it, or -1 with the system's reason.
    int join(const UdpServing &owner, int index, std::string *reason);
    uint16_t port(int index) const;

    // Has loop serve the sockets bound or joined so far, and this
    // server's timer. False (errno says why) when the loop cannot watch them.
    bool attach(TcpServing &loop);

    // Gives up the delayed answers not sent yet (reported unsent).
    void dropHeld();
    size_t heldCount() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d_;
};

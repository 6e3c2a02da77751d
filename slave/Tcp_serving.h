// A Modbus/TCP server without Qt: listening sockets, connections and
// delayed answers in one epoll set, driven by poll_once(). A listener may
// take RTU frames instead (RTU over TCP: no header, the CRC at the end),
// split by RtuStream: a request is served when complete at its expected
// length, and one unfinished for 1 s is dropped.
//
// The owner serves each complete request through TcpServingHandler::serve
// and hears of connections coming and going. A Qt program watches fd() with a
// QSocketNotifier and calls poll_once(0) when it is readable; a headless
// program calls poll_once(timeout) in a loop. Nothing here blocks: sockets
// are non-blocking and every wait is epoll_wait in poll_once.
//
// Per request the usual path is one read() and one write(): a read takes
// whatever arrived, every complete request in it is served, and the answers
// go out together. Memory per connection is bounded: at most
// TcpServingLimits::input bytes of requests and TcpServingLimits::output bytes
// of unsent answers are held; a client that does not read its answers is
// served only as fast as it takes them, and nothing is read from it
// meanwhile (TCP holds the rest back).
//
// Out of descriptors, a server closes the clients waiting to be accepted at
// once (through one spare descriptor kept for the whole process); when even
// that fails it stops looking at its listeners for a tenth of a second
// rather than finding them readable again and again.
//
// Linux only (epoll, timerfd, accept4).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// Monotonic time in nanoseconds; tests put a hand-driven clock in its place.
class TcpServingClock {
public:
    virtual ~TcpServingClock() = default;
    virtual int64_t nowNs() const = 0;
};
// CLOCK_MONOTONIC.
TcpServingClock &monotonic_serving_clock();

class TcpServing;

struct TcpServingLimits {
    size_t input = 16 * 1024;      // request bytes held per connection
    size_t output = 64 * 1024;     // unsent answer bytes before a connection is served no further
    size_t delayed = 4096;         // answers waiting for their release time, per connection
    size_t connections = 65536;    // beyond this, new connections are closed at once
    int acceptBatch = 64;          // connections accepted per readiness of a listener
    int eventBatch = 256;          // readiness events taken per epoll_wait
    int64_t lingerNs = 2000000000; // after a graceful close: how long the client's rest is drained
    // After a bad length field, from when the last answer owed is due: how
    // long the client has to take them before the connection is closed
    // whatever is left.
    int64_t badLengthCloseNs = 5000000000;
    // A connection whose client has sent nothing for this long is closed; 0: never.
    int64_t idleNs = 0;
    // Tell TcpServingHandler::sent of each answer when the socket takes it,
    // and unsent of those that a closing connection still held.
    bool reportSent = false;
    int socketSendBuffer = 0;      // SO_SNDBUF of each connection; 0: the system's own sizing
    // Busy polling. After a turn that handled something, a waiting
    // poll_once keeps looking (yielding the processor between looks) for up
    // to spinNs before it sleeps, as long as at most spinConnections
    // connections are open. A client that sends its next request at once
    // then finds the server awake: on an otherwise idle core that halves
    // the time of a request-answer round. 0: always sleep at once.
    int64_t spinNs = 0;
    size_t spinConnections = 0;
    // Servers of one process that share their listeners (see
    // TcpListenShare) count their connections together here when given: the
    // connections and spinConnections bounds then apply to the sum.
    std::atomic<size_t> *groupConnections = nullptr;
    // The clients of datagram sockets watched by the group's loops
    // (UdpServing) lately: counted with the connections for busy polling.
    std::atomic<size_t> *datagramClients = nullptr;
    // Which server of the group serves a connection this one has accepted
    // (called in this server's thread; the chosen one takes it in its own).
    // Empty, or this server: this one.
    std::function<TcpServing *()> placeConnection;
};

// Whether other TcpServing objects of this process, each in a thread of its
// own, may take connections from a listener too (join()). A connection then
// wakes one loop that is waiting, which takes it, one at a time; where it is
// served is up to TcpServingLimits::placeConnection.
enum class TcpListenShare { Alone, Shared };

// How the requests on a listener's connections are framed.
enum class TcpFraming {
    Mbap,  // Modbus/TCP: the 7-byte header with its length field
    Rtu,   // RTU over TCP: unit, PDU, CRC-16
};

// Why bytes of an RTU-over-TCP connection were dropped unserved.
enum class TcpStreamDrop {
    Garbage,     // no request starts there
    Unfinished,  // a request not complete 1 s after its first byte
};

// One connection as the handler sees it.
struct TcpPeer {
    uint64_t id = 0;   // unique for the life of the server, never reused
    std::string text;  // "127.0.0.1:40512", "[::1]:40512"; IPv4-mapped addresses as IPv4
    int listener = 0;  // index of the listen() call it came through
    TcpFraming framing = TcpFraming::Mbap;
    bool datagram = false;  // a UDP sender (UdpServing), not a connection
};

// Where the handler puts an answer: up to kMax bytes, released at once or at
// a given monotonic time. Answers of one connection always leave in the order
// of their requests, so an answer held back also holds back the later ones
// of its connection (and no other connection's).
struct TcpAnswer {
    static constexpr size_t kMax = 512;
    uint8_t data[kMax];
    size_t size = 0;      // 0: no answer to this request
    int64_t releaseNs = 0; // 0 or a time not in the future: send now

    // Copies n bytes (at most kMax) as the answer.
    void assign(const uint8_t *bytes, size_t n);
};

class TcpServingHandler {
public:
    virtual ~TcpServingHandler() = default;
    // One complete Modbus/TCP message (header included, 8 to 260 bytes), or
    // on an RTU connection one RTU frame at its expected length (4 to 256
    // bytes), its CRC right or wrong: the handler judges it as a serial
    // slave would.
    virtual void serve(const TcpPeer &peer, const uint8_t *request, size_t n, TcpAnswer &answer) = 0;
    virtual void connected(const TcpPeer &) {}
    // The connection is gone (closed by the client, failed, or closed here).
    virtual void disconnected(const TcpPeer &) {}
    // A header whose length field cannot frame a message: the requests
    // before it have been served; their answers go out, then the connection
    // is closed gracefully.
    virtual void badLength(const TcpPeer &, unsigned length) { (void)length; }
    // RTU over TCP: bytes dropped unserved; the connection goes on.
    virtual void streamDropped(const TcpPeer &, TcpStreamDrop why, const uint8_t *bytes, size_t n)
    {
        (void)why, (void)bytes, (void)n;
    }
    // With TcpServingLimits::reportSent: the socket has taken the last byte
    // of this answer (n bytes).
    virtual void sent(const TcpPeer &, const uint8_t *answer, size_t n) { (void)answer, (void)n; }
    // With TcpServingLimits::reportSent: the connection closed before this
    // answer was taken whole; called before disconnected().
    virtual void unsent(const TcpPeer &, const uint8_t *answer, size_t n) { (void)answer, (void)n; }
};

class TcpServing {
public:
    explicit TcpServing(TcpServingHandler &handler, TcpServingLimits limits = {},
                        TcpServingClock &clock = monotonic_serving_clock());
    ~TcpServing();
    TcpServing(const TcpServing &) = delete;
    TcpServing &operator=(const TcpServing &) = delete;

    // False when the epoll set could not be made (error() says why).
    bool ok() const;
    const std::string &error() const;

    // Listens on a numeric IPv4 or IPv6 address ("127.0.0.1", "::1",
    // "0.0.0.0", "::" with IPv4 clients too) and port (0: any free port).
    // Returns the listener's index, or -1 with the system's reason in
    // *reason.
    int listen(const std::string &host, uint16_t port, std::string *reason,
               TcpListenShare share = TcpListenShare::Alone, TcpFraming framing = TcpFraming::Mbap);
    // Takes connections from a Shared listener of another server as well.
    // Returns this server's index for it, or -1 with the system's reason.
    int join(const TcpServing &owner, int listener, std::string *reason);
    // The port a listener is bound to.
    uint16_t port(int listener) const;

    // Another descriptor in the same epoll set: when it is readable,
    // poll_once calls ready(user). For a signalfd, a timerfd, a wake-up pipe.
    // Exclusive: of the loops watching the same socket, one is woken (a
    // datagram socket several loops serve).
    using Ready = void (*)(void *user);
    bool watch(int fd, Ready ready, void *user, bool exclusive = false);

    // The epoll descriptor: readable whenever poll_once has work (requests,
    // connections, answers due, watched descriptors).
    int fd() const;
    // Waits at most timeout_ms (0: not at all, -1: until something happens)
    // and handles what is ready, then sends the delayed answers that are due.
    // Returns the number of readiness events handled, or -1 when epoll_wait
    // failed for another reason than a signal.
    int poll_once(int timeout_ms);

    size_t connectionCount() const;
    // Answer bytes released to this server's connections and not yet taken
    // by their sockets.
    size_t unsentBytes() const;
    // Connections this server serves or has been handed and not taken yet;
    // from any thread.
    size_t load() const;
    // Closes every connection at once (answers not yet sent are lost). Not
    // from inside TcpServingHandler calls.
    void closeAll();

private:
    struct Impl;
    std::unique_ptr<Impl> d_;
};

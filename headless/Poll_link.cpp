#include "Poll_link.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Poll_wait.h"
#include "Query.h"
#include "Rtu_layout.h"
#include "Serial_port.h"
#include "Strformat.h"
#include "Udp_message.h"

int32_t frame_poll_request(Traffic_framing framing, const Poll_request &r, uint8_t *buffer)
{
    std::memset(buffer, 0, 512);
    int32_t length = 0;
    int32_t result = -1;
    char *text = reinterpret_cast<char *>(buffer);
    const uint16_t n = uint16_t(r.function == 15 ? r.bits.size() : r.words.size());
    switch (r.function) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
        result = framing == Traffic_framing::Rtu   ? prepare_rtu_query(r.function, r.unit, r.address, r.count, r.value, &length, buffer)
                 : framing == Traffic_framing::Tcp ? prepare_tcp_query(r.function, r.unit, r.address, r.count, r.value, &length, buffer)
                                                   : prepare_ascii_query(r.function, r.unit, r.address, r.count, r.value, &length, text);
        break;
    case 15:
        result = framing == Traffic_framing::Rtu   ? prepare_rtu_write_coils(r.unit, r.address, n, r.bits.data(), &length, buffer)
                 : framing == Traffic_framing::Tcp ? prepare_tcp_write_coils(r.unit, r.address, n, r.bits.data(), &length, buffer)
                                                   : prepare_ascii_write_coils(r.unit, r.address, n, r.bits.data(), &length, text);
        break;
    case 16:
        result = framing == Traffic_framing::Rtu   ? prepare_rtu_write_registers(r.unit, r.address, n, r.words.data(), &length, buffer)
                 : framing == Traffic_framing::Tcp ? prepare_tcp_write_registers(r.unit, r.address, n, r.words.data(), &length, buffer)
                                                   : prepare_ascii_write_registers(r.unit, r.address, n, r.words.data(), &length, text);
        break;
    default: {
        const int32_t size = int32_t(r.pdu.size());
        result = framing == Traffic_framing::Rtu   ? prepare_rtu_frame(r.unit, r.pdu.data(), size, &length, buffer)
                 : framing == Traffic_framing::Tcp ? prepare_tcp_frame(r.unit, r.pdu.data(), size, &length, buffer)
                                                   : prepare_ascii_frame(r.unit, r.pdu.data(), size, &length, text);
        break;
    }
    }
    return result == 0 ? length : -1;
}

// ---- TCP ---------------------------------------------------------------------
namespace {

Traffic_endpoint endpoint_of(const sockaddr_storage &a)
{
    char host[INET6_ADDRSTRLEN] = {0};
    uint16_t port = 0;
    if (a.ss_family == AF_INET) {
        const auto *v4 = reinterpret_cast<const sockaddr_in *>(&a);
        inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
        port = ntohs(v4->sin_port);
    } else if (a.ss_family == AF_INET6) {
        const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(&a);
        inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
        port = ntohs(v6->sin6_port);
    }
    return Traffic_endpoint::parse(host, port).value_or(Traffic_endpoint{});
}

Traffic_link link_of(int fd)
{
    sockaddr_storage local{}, peer{};
    socklen_t n = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr *>(&local), &n);
    n = sizeof peer;
    getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &n);
    return {.local = endpoint_of(local), .peer = endpoint_of(peer)};
}

// One address of the host, within the time left: the socket, or -1 and why.
int connect_one(const addrinfo *ai, int64_t deadline, std::string &why)
{
    const int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
        why = std::strerror(errno);
        return -1;
    }
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
        if (errno != EINPROGRESS) {
            why = std::strerror(errno);
            close(fd);
            return -1;
        }
        const int64_t left = deadline - monotonic_ms();
        const Wait_result w = left > 0 ? wait_for(fd, POLLOUT, int(left)) : Wait_result::TimedOut;
        int error = 0;
        socklen_t n = sizeof error;
        if (w != Wait_result::Ready || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &n) != 0 || error != 0) {
            why = w == Wait_result::Stopped  ? "stopped"
                  : w == Wait_result::TimedOut ? "no connection within the time-out"
                                               : std::strerror(error ? error : errno);
            close(fd);
            return -1;
        }
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

}  // namespace

namespace {

// Bytes (TCP) or datagrams (UDP) that came while no request waited are
// dropped before the next request goes out: at most this many, so that a
// peer that never stops sending cannot hold the request back.
constexpr size_t kMaxStaleBytes = 65536;
constexpr int kMaxStaleDatagrams = 64;

// The largest datagram looked at whole: beyond a Modbus message, so that a
// longer one is seen as too long rather than cut to fit.
constexpr size_t kDatagramBuffer = 1500;

constexpr const char *kLateLine = "late answer dropped";

// Udp_poll_link::receive(): no datagram waiting.
constexpr ssize_t kNoDatagram = -2;

// The addresses of host (a name or a numeric address) for a socket of this
// type; "" with found set (freeaddrinfo is the caller's), or the reason.
std::string look_up(const std::string &host, uint16_t port, int socktype, addrinfo *&found)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = socktype;
    hints.ai_flags = AI_NUMERICSERV;
    found = nullptr;
    const std::string service = std::to_string(port);
    if (const int e = getaddrinfo(host.c_str(), service.c_str(), &hints, &found); e != 0)
        return gai_strerror(e);
    return {};
}

}  // namespace

Tcp_poll_link::Tcp_poll_link(std::string host, uint16_t port, int timeoutMs, Frames frames)
    : host_(std::move(host)), port_(port), timeoutMs_(timeoutMs), frames_(frames)
{
    frameBuf_.reserve(TcpFramer::kMaxLength + 6);
    rtuHeld_.reserve(size_t(kRtuMaxFrame) + 4096);
}

Tcp_poll_link::~Tcp_poll_link()
{
    if (fd_ >= 0)
        close(fd_);
}

std::string Tcp_poll_link::open() { return connectTo(); }

std::string Tcp_poll_link::connectTo()
{
    addrinfo *found = nullptr;
    if (std::string why = look_up(host_, port_, SOCK_STREAM, found); !why.empty())
        return why;
    const int64_t deadline = monotonic_ms() + timeoutMs_;
    std::string why = "no address";
    for (const addrinfo *ai = found; ai && fd_ < 0 && !stop_requested(); ai = ai->ai_next)
        fd_ = connect_one(ai, deadline, why);
    freeaddrinfo(found);
    if (fd_ < 0)
        return why;
    framer_.clear();
    rtuHeld_.clear();
    if (traffic_) {
        Traffic_link link = link_of(fd_);
        link.carrier = carrier();
        traffic_->connected(link);
    }
    return {};
}

void Tcp_poll_link::drop(const std::string &why)
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
    framer_.clear();
    rtuHeld_.clear();
    if (traffic_)
        traffic_->disconnected(why);
}

Link_answer Tcp_poll_link::exchange(const uint8_t *frame, int32_t n, bool broadcast)
{
    Link_answer out;
    uint8_t chunk[4096];
    const bool rtu = frames_ == Frames::Rtu;
    // What came since the last exchange (a late answer, the device closing
    // the connection) is looked at before the request goes out: a
    // connection closed while idle is made again rather than failing.
    size_t stale = 0;
    while (fd_ >= 0 && stale < kMaxStaleBytes) {
        const ssize_t got = recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
        if (got > 0) {
            stale += size_t(got);
            if (!rtu)
                framer_.append(chunk, size_t(got));
            continue;
        }
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            drop(got == 0 ? "disconnected" : std::strerror(errno));
        break;
    }
    if (fd_ < 0) {
        if (std::string why = connectTo(); !why.empty()) {
            out.status = stop_requested() ? Link_answer::Stopped : Link_answer::NotConnected;
            out.why = why;
            return out;
        }
        stale = 0;
    }
    // The rest of an earlier answer can never be completed: it goes, so that
    // it is not taken for the start of this one.
    const size_t cut = rtu ? stale : framer_.buffered();
    if (cut > 0 && traffic_)
        traffic_->event(strformat("Answer cut short: new request sent, %d bytes dropped", int(cut)));
    framer_.clear();
    rtuHeld_.clear();

    sendBuf_.assign(frame, frame + n);
    if (!rtu) {
        transaction_ = uint16_t(transaction_ == 0xFFFF ? 1 : transaction_ + 1);
        if (n >= 2) {
            sendBuf_[0] = uint8_t(transaction_ >> 8);
            sendBuf_[1] = uint8_t(transaction_);
        }
    }
    const int64_t deadline = monotonic_ms() + timeoutMs_;
    size_t sent = 0;
    while (sent < sendBuf_.size()) {
        const ssize_t w = send(fd_, sendBuf_.data() + sent, sendBuf_.size() - sent, MSG_NOSIGNAL);
        if (w > 0) {
            sent += size_t(w);
            continue;
        }
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            const int64_t left = deadline - monotonic_ms();
            const Wait_result r = left > 0 ? wait_for(fd_, POLLOUT, int(left)) : Wait_result::TimedOut;
            if (r == Wait_result::Ready)
                continue;
            out.status = r == Wait_result::Stopped ? Link_answer::Stopped : Link_answer::TimeOut;
            if (out.status == Link_answer::TimeOut && traffic_)
                traffic_->event("time-out, the request could not be sent");
            return out;
        }
        out.status = Link_answer::NotConnected;
        out.why = std::strerror(errno);
        drop(out.why);
        return out;
    }
    out.sent = true;
    if (traffic_)
        traffic_->tx(sendBuf_.data(), sendBuf_.size());
    if (broadcast) {  // RTU frames to unit 0: passed on, never answered
        out.status = Link_answer::NoAnswer;
        return out;
    }
    const int64_t sentAt = monotonic_ms();

    for (;;) {
        if (rtu ? takeRtu(out, sentAt) : takeMbap(out, sentAt))
            return out;
        const int64_t left = deadline - monotonic_ms();
        const Wait_result r = left > 0 ? wait_for(fd_, POLLIN, int(left)) : Wait_result::TimedOut;
        if (r == Wait_result::Stopped) {
            out.status = Link_answer::Stopped;
            return out;
        }
        if (r == Wait_result::TimedOut) {
            if (monotonic_ms() < deadline)
                continue;  // another signal cut the wait short
            if (rtu && !rtuHeld_.empty()) {
                takeRtuAsItStands(out, sentAt);
                return out;
            }
            out.status = Link_answer::TimeOut;
            if (traffic_)
                traffic_->event("time-out, no answer");
            return out;
        }
        const ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
        if (got > 0) {
            if (rtu)
                rtuHeld_.insert(rtuHeld_.end(), chunk, chunk + got);
            else
                framer_.append(chunk, size_t(got));
        } else if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            const std::string why = got == 0 ? "the device closed the connection" : std::strerror(errno);
            // No more can come to the RTU answer begun: it ends here.
            if (rtu && !rtuHeld_.empty()) {
                takeRtuAsItStands(out, sentAt);
            } else {
                out.status = Link_answer::NotConnected;
                out.why = why;
            }
            drop(why);
            return out;
        }
    }
}

void Tcp_poll_link::takeRtuAsItStands(Link_answer &out, int64_t sentAt)
{
    // Checked as an RTU answer ended by silence is.
    const AnswerCheck check = rtu_answer_check(rtuHeld_.data(), int32_t(rtuHeld_.size()));
    out.status = check.ok ? Link_answer::Frame : Link_answer::ChecksumError;
    out.why = check.error;
    out.frame.swap(rtuHeld_);
    rtuHeld_.clear();
    out.responseMs = monotonic_ms() - sentAt;
    if (traffic_)
        traffic_->rx(out.frame.data(), out.frame.size());
}

bool Tcp_poll_link::takeMbap(Link_answer &out, int64_t sentAt)
{
    for (;;) {
        const size_t buffered = framer_.buffered();
        unsigned badLength = 0;
        const TcpFramer::Status s = framer_.next(frameBuf_, &badLength);
        if (s == TcpFramer::Status::NeedMore)
            return false;
        if (s == TcpFramer::Status::Bad) {
            out.status = Link_answer::Broken;
            out.why = strformat("Length field error: %u, %d bytes dropped", badLength, int(buffered));
            if (traffic_)
                traffic_->event(out.why);
            return true;
        }
        if (frameBuf_.size() >= 2 && (frameBuf_[0] << 8 | frameBuf_[1]) != transaction_) {
            if (traffic_)
                traffic_->event(kLateLine, traffic_->link(),
                                std::string_view(reinterpret_cast<const char *>(frameBuf_.data()), frameBuf_.size()));
            continue;
        }
        out.status = Link_answer::Frame;
        out.responseMs = monotonic_ms() - sentAt;
        out.frame = frameBuf_;
        if (traffic_)
            traffic_->rx(frameBuf_.data(), frameBuf_.size());
        return true;
    }
}

bool Tcp_poll_link::takeRtu(Link_answer &out, int64_t sentAt)
{
    Rtu_length whole = rtu_length_as_answer(rtuHeld_.data(), rtuHeld_.size());
    size_t n = size_t(whole.bytes);
    auto complete = [&] {
        return whole.kind == Rtu_length::Known && rtuHeld_.size() >= n && rtu_crc_holds(rtuHeld_.data(), n);
    };
    // A whole answer from another unit came too late for its own request
    // (a scan's last probe): it goes, and this request's answer may follow.
    while (complete() && !sendBuf_.empty() && rtuHeld_[0] != sendBuf_[0]) {
        if (traffic_)
            traffic_->event(kLateLine, traffic_->link(),
                            std::string_view(reinterpret_cast<const char *>(rtuHeld_.data()), n));
        rtuHeld_.erase(rtuHeld_.begin(), rtuHeld_.begin() + std::ptrdiff_t(n));
        whole = rtu_length_as_answer(rtuHeld_.data(), rtuHeld_.size());
        n = size_t(whole.bytes);
    }
    if (complete()) {
        out.status = Link_answer::Frame;
        out.responseMs = monotonic_ms() - sentAt;
        out.frame.assign(rtuHeld_.begin(), rtuHeld_.begin() + std::ptrdiff_t(n));
        if (traffic_) {
            traffic_->rx(out.frame.data(), n);
            // Bytes behind a whole answer answer nothing.
            if (rtuHeld_.size() > n)
                traffic_->event(kLateLine, traffic_->link(),
                                std::string_view(reinterpret_cast<const char *>(rtuHeld_.data()) + n, rtuHeld_.size() - n));
        }
        rtuHeld_.clear();
        return true;
    }
    if (rtuHeld_.size() <= size_t(kRtuMaxFrame))
        return false;  // more to come, or the time-out
    out.status = Link_answer::Broken;
    out.why = strformat("Receive buffer overflow: answer longer than %d bytes dropped", int(kRtuMaxFrame));
    if (traffic_)
        traffic_->event(out.why, traffic_->link(),
                        std::string_view(reinterpret_cast<const char *>(rtuHeld_.data()), rtuHeld_.size()));
    rtuHeld_.clear();
    return true;
}

// ---- UDP ---------------------------------------------------------------------

Udp_poll_link::Udp_poll_link(std::string host, uint16_t port, int timeoutMs)
    : host_(std::move(host)), port_(port), timeoutMs_(timeoutMs)
{
    datagram_.resize(kDatagramBuffer);
}

Udp_poll_link::~Udp_poll_link()
{
    if (fd_ >= 0)
        close(fd_);
}

std::string Udp_poll_link::open()
{
    addrinfo *found = nullptr;
    if (std::string why = look_up(host_, port_, SOCK_DGRAM, found); !why.empty())
        return why;
    std::string why = "no address";
    // A datagram socket "connected" is bound, with its peer set: it sends
    // there and takes datagrams from there only.
    for (const addrinfo *ai = found; ai && fd_ < 0; ai = ai->ai_next) {
        const int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd >= 0 && connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) {
            fd_ = fd;
            break;
        }
        why = std::strerror(errno);
        if (fd >= 0)
            close(fd);
    }
    freeaddrinfo(found);
    if (fd_ < 0)
        return why;
    if (traffic_) {
        Traffic_link link = link_of(fd_);
        link.carrier = Traffic_carrier::Udp;
        traffic_->set_link(link);
        traffic_->event("UDP socket bound to " + link.local.text() + ", peer " + link.peer.text());
    }
    return {};
}

ssize_t Udp_poll_link::receive(Link_answer &out)
{
    for (;;) {
        // MSG_TRUNC: the datagram's whole length, even beyond the buffer.
        const ssize_t got = recv(fd_, datagram_.data(), datagram_.size(), MSG_DONTWAIT | MSG_TRUNC);
        if (got >= 0)
            return got;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return kNoDatagram;
        if (errno == EINTR)
            continue;
        // A peer without a server refuses a datagram (the system hears of it
        // afterwards): the socket stays usable, and the exchange runs to its
        // time-out.
        if (errno == ECONNREFUSED) {
            if (traffic_)
                traffic_->event(std::string("UDP error: ") + std::strerror(errno));
            continue;
        }
        out.why = std::strerror(errno);
        return -1;
    }
}

Link_answer Udp_poll_link::exchange(const uint8_t *frame, int32_t n, bool)
{
    Link_answer out;
    const auto shown = [this](size_t n) {
        return std::string_view(reinterpret_cast<const char *>(datagram_.data()), std::min(n, datagram_.size()));
    };
    // Datagrams that came while no request waited answer nothing.
    for (int i = 0; i < kMaxStaleDatagrams; ++i) {
        const ssize_t got = receive(out);
        if (got < 0)
            break;
        if (traffic_)
            traffic_->event(kLateLine, traffic_->link(), shown(size_t(got)));
    }
    transaction_ = uint16_t(transaction_ == 0xFFFF ? 1 : transaction_ + 1);
    sendBuf_.assign(frame, frame + n);
    if (n >= 2) {
        sendBuf_[0] = uint8_t(transaction_ >> 8);
        sendBuf_[1] = uint8_t(transaction_);
    }
    ssize_t w = -1;
    for (int attempt = 0; attempt < 2 && w < 0; ++attempt) {
        // A refusal the system heard of since the last look is reported on
        // the send, which then did not go out: once more.
        w = send(fd_, sendBuf_.data(), sendBuf_.size(), MSG_NOSIGNAL);
        if (w < 0 && errno != ECONNREFUSED && errno != EINTR)
            break;
    }
    if (w != ssize_t(sendBuf_.size())) {
        out.status = Link_answer::NotConnected;
        out.why = w < 0 ? std::strerror(errno) : "the datagram was cut short";
        if (traffic_)
            traffic_->event("UDP error: " + out.why);
        return out;
    }
    out.sent = true;
    if (traffic_)
        traffic_->tx(sendBuf_.data(), sendBuf_.size());
    const int64_t sentAt = monotonic_ms();
    const int64_t deadline = sentAt + timeoutMs_;

    for (;;) {
        const ssize_t got = receive(out);
        if (got == -1) {
            out.status = Link_answer::NotConnected;
            return out;
        }
        if (got >= 0) {
            const size_t size = size_t(got);
            if (const Udp_message m = udp_message_check(datagram_.data(), std::min(size, datagram_.size()));
                size > datagram_.size() || m != Udp_message::Whole) {
                if (traffic_)
                    traffic_->event(udp_refusal_text(size > datagram_.size() ? Udp_message::Long : m, size),
                                    traffic_->link(), shown(size));
            } else if ((datagram_[0] << 8 | datagram_[1]) != transaction_) {
                if (traffic_)
                    traffic_->event(kLateLine, traffic_->link(), shown(size));
            } else {
                out.status = Link_answer::Frame;
                out.responseMs = monotonic_ms() - sentAt;
                out.frame.assign(datagram_.begin(), datagram_.begin() + std::ptrdiff_t(size));
                if (traffic_)
                    traffic_->rx(out.frame.data(), size);
                return out;
            }
        }
        // Every datagram dropped brings the time-out no later.
        const int64_t left = deadline - monotonic_ms();
        if (left <= 0) {
            out.status = Link_answer::TimeOut;
            if (traffic_)
                traffic_->event("time-out, no answer");
            return out;
        }
        if (got >= 0)
            continue;
        if (wait_for(fd_, POLLIN, int(left)) == Wait_result::Stopped) {
            out.status = Link_answer::Stopped;
            return out;
        }
    }
}

// ---- serial lines --------------------------------------------------------------
namespace {
// Without a descriptor to wake on (or on one that hung up), the machine
// looks this often, as the stations do.
constexpr int kFallbackLookMs = 2;
}  // namespace

Serial_poll_link::Serial_poll_link(SerialLink &link, int port, bool ascii, Line line, int timeoutMs)
    : link_(link), port_(port), ascii_(ascii), line_(line)
{
    for (FastReceiving *r : {static_cast<FastReceiving *>(&rtu_), static_cast<FastReceiving *>(&ascii_rx_)}) {
        r->setFast(true);
        r->setTimeOutMs(timeoutMs);
    }
}

Serial_poll_link::~Serial_poll_link()
{
    if (open_)
        link_.close(port_);
}

std::string Serial_poll_link::open()
{
    std::string why = open_serial_port(link_, port_, line_.baud, line_.parity, line_.dataBits, line_.stopBits);
    open_ = why.empty();
    if (open_ && traffic_)
        traffic_->event(strformat("COM%d opened", port_));
    return why;
}

FastReceiving &Serial_poll_link::receiver()
{
    if (ascii_)
        return ascii_rx_;
    return rtu_;
}

ReceiveEvent Serial_poll_link::look()
{
    return ascii_ ? ascii_rx_.tick(link_, port_) : rtu_.tick(link_, port_);
}

Link_answer Serial_poll_link::exchange(const uint8_t *frame, int32_t n, bool broadcast)
{
    Link_answer out;
    // What waits in the port (a late answer to a request that timed out)
    // would pass for this request's answer: it goes first.
    std::string dropped;
    if (const int32_t k = discard_waiting(link_, port_, dropped); k > 0 && traffic_)
        traffic_->event(strformat("discarded %d byte%s", k, k == 1 ? "" : "s"), traffic_->link(), dropped);
    link_.write(port_, frame, n);  // the count written is not checked, as in the stations
    out.sent = true;
    if (traffic_)
        traffic_->tx(frame, size_t(n));
    const int32_t lineMs = line_time_ms(n, line_.baud, line_.dataBits, line_.parity, line_.stopBits);
    const int32_t silenceMs = rtu_silence_ms(line_.baud, line_.dataBits, line_.parity, line_.stopBits);
    if (broadcast) {
        // No answer comes; the line is given the request's time and a
        // silence before the next one.
        if (wait_for(-1, 0, lineMs + silenceMs) == Wait_result::Stopped)
            out.status = Link_answer::Stopped;
        else
            out.status = Link_answer::NoAnswer;
        return out;
    }
    FastReceiving &r = receiver();
    r.timing().sent(link_.monotonicMs(), lineMs);
    r.expect(frame, n, silenceMs);
    if (ascii_)
        ascii_rx_.restart();
    else
        rtu_.restart();

    bool watchPort = true;
    bool woke = false;  // the port's descriptor ended the last wait
    for (;;) {
        switch (look()) {
        case ReceiveEvent::None:
        case ReceiveEvent::Finish:
            break;
        case ReceiveEvent::Check: {
            AnswerCheck check;
            if (ascii_) {
                check = ascii_rx_.checkAnswer();
                out.frame.assign(ascii_rx_.data(), ascii_rx_.data() + ascii_rx_.length());
            } else {
                check = rtu_.checkAnswer();
                out.frame.assign(rtu_.data(), rtu_.data() + rtu_.length());
            }
            out.responseMs = r.timing().responseMs();
            if (traffic_)
                traffic_->rx_timed(out.frame.data(), out.frame.size(),
                                   int32_t(std::min<int64_t>(out.responseMs, INT32_MAX)));
            out.status = check.ok ? Link_answer::Frame : Link_answer::ChecksumError;
            out.why = check.error;
            return out;
        }
        case ReceiveEvent::Overflow:
            out.status = Link_answer::Broken;
            out.why = strformat("more than %d bytes without an end: answer dropped", int(RtuReceiver::kBufferSize));
            if (traffic_)
                traffic_->event(out.why);
            return out;
        case ReceiveEvent::TimeOut:
            out.status = Link_answer::TimeOut;
            if (traffic_)
                traffic_->event("time-out, no answer");
            return out;
        }
        // A line that hangs up stays readable with nothing to read: look on
        // the timer for the rest of the exchange instead of waking without end.
        if (woke && r.lastTaken() == 0)
            watchPort = false;
        const int fd = watchPort ? link_.descriptor(port_) : -1;
        const int next = std::max(0, r.nextLookMs());
        const Wait_result w = fd >= 0 ? wait_for(fd, POLLIN, next) : wait_for(-1, 0, std::min(next, kFallbackLookMs));
        if (w == Wait_result::Stopped) {
            out.status = Link_answer::Stopped;
            return out;
        }
        woke = fd >= 0 && w == Wait_result::Ready;
    }
}

#include "Udp_serving.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <deque>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>
#include <vector>

#include "Numeric_address.h"

namespace {

std::string system_reason(int err) { return std::strerror(err); }

// How often the table of recent senders is swept, and how long a sender
// counts as recent.
constexpr int64_t kSweepNs = 100000000;
constexpr int64_t kRecentNs = 1000000000;
constexpr size_t kRecentMax = 64;

// Rounds of recvmmsg per readiness: the other sources of the loop get
// their turn between floods.
constexpr int kRoundsPerReady = 8;

// "a.b.c.d:port" or "[v6]:port", IPv4-mapped addresses as IPv4, as the TCP
// loop names its clients.
std::string sender_text(const sockaddr_storage &ss)
{
    char host[INET6_ADDRSTRLEN] = "?";
    if (ss.ss_family == AF_INET) {
        const auto *a = reinterpret_cast<const sockaddr_in *>(&ss);
        inet_ntop(AF_INET, &a->sin_addr, host, sizeof host);
        return std::string(host) + ":" + std::to_string(ntohs(a->sin_port));
    }
    if (ss.ss_family == AF_INET6) {
        const auto *a = reinterpret_cast<const sockaddr_in6 *>(&ss);
        if (IN6_IS_ADDR_V4MAPPED(&a->sin6_addr)) {
            inet_ntop(AF_INET, &a->sin6_addr.s6_addr[12], host, sizeof host);
            return std::string(host) + ":" + std::to_string(ntohs(a->sin6_port));
        }
        inet_ntop(AF_INET6, &a->sin6_addr, host, sizeof host);
        return "[" + std::string(host) + "]:" + std::to_string(ntohs(a->sin6_port));
    }
    return "?";
}

// A sender told apart from the others, for counting them only.
uint64_t sender_key(const sockaddr_storage &ss)
{
    uint64_t h = 1469598103934665603ull;  // FNV-1a over address and port
    auto mix = [&h](const void *p, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            h ^= static_cast<const uint8_t *>(p)[i];
            h *= 1099511628211ull;
        }
    };
    if (ss.ss_family == AF_INET) {
        const auto *a = reinterpret_cast<const sockaddr_in *>(&ss);
        mix(&a->sin_addr, sizeof a->sin_addr);
        mix(&a->sin_port, sizeof a->sin_port);
    } else if (ss.ss_family == AF_INET6) {
        const auto *a = reinterpret_cast<const sockaddr_in6 *>(&ss);
        mix(&a->sin6_addr, sizeof a->sin6_addr);
        mix(&a->sin6_port, sizeof a->sin6_port);
    }
    return h;
}

// A socket of family ss bound to ss; in a SO_REUSEPORT group when shared.
// The descriptor, or -1 with errno set.
int bound_socket(const sockaddr_storage &ss, socklen_t len, bool shared)
{
    const int zero = 0, one = 1;
    const int fd = socket(ss.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    // "::" takes IPv4 senders too, whatever the system's default.
    if (ss.ss_family == AF_INET6)
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    if ((shared && setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) != 0) ||
        ::bind(fd, reinterpret_cast<const sockaddr *>(&ss), len) != 0) {
        const int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

uint16_t port_of(const sockaddr_storage &ss)
{
    return ntohs(ss.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in *>(&ss)->sin_port
                                         : reinterpret_cast<const sockaddr_in6 *>(&ss)->sin6_port);
}

}  // namespace

struct UdpServing::Impl {
    struct Socket {
        Impl *owner = nullptr;
        int fd = -1;
        int index = 0;
        uint16_t port = 0;
        sockaddr_storage address{};  // as bound
        socklen_t addressLen = 0;
        bool shared = false;         // in a SO_REUSEPORT group
    };
    // An answer delayed on purpose, waiting for its time.
    struct Held {
        int64_t at;
        int socket;
        sockaddr_storage to;
        socklen_t toLen;
        TcpPeer peer;
        std::vector<uint8_t> bytes;
    };
    struct Recent {
        uint64_t key;
        int64_t lastNs;
    };

    Impl(UdpServingHandler &h, UdpServingLimits l, TcpServingClock &c) : handler(h), limits(l), clock(c)
    {
        if (limits.batch < 1)
            limits.batch = 1;
        if (limits.delayed < 1)
            limits.delayed = 1;
        const size_t b = size_t(limits.batch);
        in.resize(b * kMaxDatagram);
        inMsgs.resize(b);
        inIov.resize(b);
        inFrom.resize(b);
        out.resize(b * TcpAnswer::kMax);
        outMsgs.resize(b);
        outIov.resize(b);
        outTo.resize(b);
        outPeers.resize(b);
        timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        if (timerFd < 0)
            err = "timerfd: " + system_reason(errno);
    }

    ~Impl()
    {
        publishRecent(0);
        for (auto &s : sockets)
            ::close(s->fd);
        if (timerFd >= 0)
            ::close(timerFd);
    }

    int addSocket(int fd, const sockaddr_storage &address, socklen_t len, bool shared)
    {
        auto s = std::make_unique<Socket>();
        s->owner = this;
        s->fd = fd;
        s->address = address;
        s->addressLen = len;
        s->shared = shared;
        lastPeer.datagram = true;
        s->index = int(sockets.size());
        s->port = port_of(address);
        sockets.push_back(std::move(s));
        return sockets.back()->index;
    }

    static void onReadable(void *user)
    {
        auto *s = static_cast<Socket *>(user);
        s->owner->receive(*s);
    }

    static void onTimer(void *user)
    {
        auto *d = static_cast<Impl *>(user);
        uint64_t expirations;
        (void)!::read(d->timerFd, &expirations, sizeof expirations);
        d->armedNs = 0;
        d->releaseDue();
    }

    // The peer of a datagram from `from`; the text is made again only for
    // another sender than the last one.
    const TcpPeer &peerOf(const sockaddr_storage &from, socklen_t len, int socket)
    {
        if (len != lastFromLen || std::memcmp(&from, &lastFrom, len) != 0) {
            std::memcpy(&lastFrom, &from, len);
            lastFromLen = len;
            lastPeer.text = sender_text(from);
        }
        lastPeer.listener = socket;
        return lastPeer;
    }

    void receive(Socket &s)
    {
        const size_t b = size_t(limits.batch);
        for (int round = 0; round < kRoundsPerReady; ++round) {
            for (size_t i = 0; i < b; ++i) {
                inIov[i] = {.iov_base = in.data() + i * kMaxDatagram, .iov_len = kMaxDatagram};
                inMsgs[i] = {};
                inMsgs[i].msg_hdr.msg_name = &inFrom[i];
                inMsgs[i].msg_hdr.msg_namelen = sizeof inFrom[i];
                inMsgs[i].msg_hdr.msg_iov = &inIov[i];
                inMsgs[i].msg_hdr.msg_iovlen = 1;
            }
            // MSG_TRUNC: each length is the datagram's own, however long.
            const int k = recvmmsg(s.fd, inMsgs.data(), unsigned(b), MSG_DONTWAIT | MSG_TRUNC, nullptr);
            if (k <= 0)
                return;  // nothing more (or a transient error): the next readiness tries again
            const int64_t now = clock.nowNs();
            outCount = 0;
            for (int i = 0; i < k; ++i) {
                const size_t n = inMsgs[size_t(i)].msg_len;
                const uint8_t *data = in.data() + size_t(i) * kMaxDatagram;
                const sockaddr_storage &from = inFrom[size_t(i)];
                const socklen_t fromLen = inMsgs[size_t(i)].msg_hdr.msg_namelen;
                countSender(from, now);
                serveDatagram(s, peerOf(from, fromLen, s.index), from, fromLen, data, n, now);
            }
            sendOut(s);
            if (k < int(b))
                return;
        }
    }

    void serveDatagram(Socket &s, const TcpPeer &peer, const sockaddr_storage &from, socklen_t fromLen,
                       const uint8_t *data, size_t n, int64_t now)
    {
        if (const Udp_message m = udp_message_check(data, n); m != Udp_message::Whole) {
            handler.refused(peer, m, data, n);
            return;
        }
        answer.size = 0;
        answer.releaseNs = 0;
        handler.serve(peer, data, n, answer);
        if (answer.size == 0)
            return;
        if (held.empty() && (answer.releaseNs == 0 || answer.releaseNs <= now)) {
            const size_t j = outCount++;
            std::memcpy(out.data() + j * TcpAnswer::kMax, answer.data, answer.size);
            outIov[j] = {.iov_base = out.data() + j * TcpAnswer::kMax, .iov_len = answer.size};
            outTo[j] = from;
            outMsgs[j] = {};
            outMsgs[j].msg_hdr.msg_name = &outTo[j];
            outMsgs[j].msg_hdr.msg_namelen = fromLen;
            outMsgs[j].msg_hdr.msg_iov = &outIov[j];
            outMsgs[j].msg_hdr.msg_iovlen = 1;
            if (limits.reportSent)
                outPeers[j] = peer;
            return;
        }
        // Answers of this server leave in the order of their requests: one
        // held back holds back those after it.
        if (held.size() >= limits.delayed) {
            if (limits.reportSent)
                handler.unsent(peer, answer.data, answer.size);
            return;
        }
        const int64_t at = held.empty() ? answer.releaseNs : std::max(answer.releaseNs, held.back().at);
        held.push_back({.at = at,
                        .socket = s.index,
                        .to = from,
                        .toLen = fromLen,
                        .peer = peer,
                        .bytes = std::vector<uint8_t>(answer.data, answer.data + answer.size)});
        arm();
    }

    // The answers of this round, in one system call.
    void sendOut(Socket &s)
    {
        size_t done = 0;
        while (done < outCount) {
            const int m = sendmmsg(s.fd, outMsgs.data() + done, unsigned(outCount - done), MSG_DONTWAIT);
            if (m <= 0)
                break;
            if (limits.reportSent)
                for (size_t j = done; j < done + size_t(m); ++j)
                    handler.sent(outPeers[j], out.data() + j * TcpAnswer::kMax, outIov[j].iov_len);
            done += size_t(m);
        }
        // A datagram the socket would not take is lost, as UDP may lose any.
        if (limits.reportSent)
            for (size_t j = done; j < outCount; ++j)
                handler.unsent(outPeers[j], out.data() + j * TcpAnswer::kMax, outIov[j].iov_len);
        outCount = 0;
    }

    void releaseDue()
    {
        const int64_t now = clock.nowNs();
        while (!held.empty() && held.front().at <= now) {
            Held &h = held.front();
            const Socket &s = *sockets[size_t(h.socket)];
            const ssize_t w = ::sendto(s.fd, h.bytes.data(), h.bytes.size(), MSG_DONTWAIT,
                                       reinterpret_cast<const sockaddr *>(&h.to), h.toLen);
            if (limits.reportSent) {
                if (w == ssize_t(h.bytes.size()))
                    handler.sent(h.peer, h.bytes.data(), h.bytes.size());
                else
                    handler.unsent(h.peer, h.bytes.data(), h.bytes.size());
            }
            held.pop_front();
        }
        arm();
    }

    void arm()
    {
        const int64_t next = held.empty() ? 0 : held.front().at;
        if (next == 0 || next == armedNs || timerFd < 0)
            return;
        armedNs = next;
        int64_t wait = next - clock.nowNs();
        if (wait < 1)
            wait = 1;
        itimerspec its{};
        its.it_value.tv_sec = time_t(wait / 1000000000);
        its.it_value.tv_nsec = long(wait % 1000000000);
        timerfd_settime(timerFd, 0, &its, nullptr);
    }

    void countSender(const sockaddr_storage &from, int64_t now)
    {
        if (!limits.recentSenders)
            return;
        const uint64_t key = sender_key(from);
        bool found = false;
        for (Recent &r : recent)
            if (r.key == key) {
                r.lastNs = now;
                found = true;
                break;
            }
        if (!found && recent.size() < kRecentMax)
            recent.push_back({.key = key, .lastNs = now});
        if (!found || now - sweptNs >= kSweepNs) {
            sweptNs = now;
            std::erase_if(recent, [now](const Recent &r) { return now - r.lastNs >= kRecentNs; });
            publishRecent(recent.size());
        }
    }

    void publishRecent(size_t count)
    {
        if (!limits.recentSenders || count == published)
            return;
        if (count > published)
            limits.recentSenders->fetch_add(count - published, std::memory_order_relaxed);
        else
            limits.recentSenders->fetch_sub(published - count, std::memory_order_relaxed);
        published = count;
    }

    UdpServingHandler &handler;
    UdpServingLimits limits;
    TcpServingClock &clock;
    std::string err;
    std::vector<std::unique_ptr<Socket>> sockets;
    int timerFd = -1;
    int64_t armedNs = 0;
    std::deque<Held> held;

    std::vector<uint8_t> in;
    std::vector<mmsghdr> inMsgs;
    std::vector<iovec> inIov;
    std::vector<sockaddr_storage> inFrom;
    std::vector<uint8_t> out;
    std::vector<mmsghdr> outMsgs;
    std::vector<iovec> outIov;
    std::vector<sockaddr_storage> outTo;
    std::vector<TcpPeer> outPeers;
    size_t outCount = 0;
    TcpAnswer answer;

    sockaddr_storage lastFrom{};
    socklen_t lastFromLen = 0;
    TcpPeer lastPeer;

    std::vector<Recent> recent;
    int64_t sweptNs = 0;
    size_t published = 0;
};

UdpServing::UdpServing(UdpServingHandler &handler, UdpServingLimits limits, TcpServingClock &clock)
    : d_(std::make_unique<Impl>(handler, limits, clock))
{
}

UdpServing::~UdpServing() = default;

bool UdpServing::ok() const { return d_->err.empty(); }
const std::string &UdpServing::error() const { return d_->err; }
size_t UdpServing::heldCount() const { return d_->held.size(); }

int UdpServing::bind(const std::string &host, uint16_t port, std::string *reason, UdpShare share)
{
    auto fail = [&](const std::string &why) {
        if (reason)
            *reason = why;
        return -1;
    };
    sockaddr_storage ss{};
    socklen_t len = 0;
    if (!numeric_address(host, port, ss, len))
        return fail("not a numeric IPv4 or IPv6 address");
    // A group's sockets would share the port with any other program that
    // asks for the same: a port in use is found out first, by a plain bind,
    // which also picks the free port asked for by 0.
    int fd = bound_socket(ss, len, false);
    if (fd < 0)
        return fail(system_reason(errno));
    sockaddr_storage bound{};
    socklen_t blen = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &blen);
    if (share == UdpShare::Shared) {
        ::close(fd);
        fd = bound_socket(bound, blen, true);
        if (fd < 0)
            return fail(system_reason(errno));
    }
    return d_->addSocket(fd, bound, blen, share == UdpShare::Shared);
}

int UdpServing::join(const UdpServing &owner, int index, std::string *reason)
{
    if (index < 0 || size_t(index) >= owner.d_->sockets.size() || !owner.d_->sockets[size_t(index)]->shared) {
        if (reason)
            *reason = "not a shared socket";
        return -1;
    }
    const Impl::Socket &from = *owner.d_->sockets[size_t(index)];
    const int fd = bound_socket(from.address, from.addressLen, true);
    if (fd < 0) {
        if (reason)
            *reason = system_reason(errno);
        return -1;
    }
    return d_->addSocket(fd, from.address, from.addressLen, true);
}

uint16_t UdpServing::port(int index) const
{
    if (index < 0 || size_t(index) >= d_->sockets.size())
        return 0;
    return d_->sockets[size_t(index)]->port;
}

bool UdpServing::attach(TcpServing &loop)
{
    for (auto &s : d_->sockets)
        if (!loop.watch(s->fd, &Impl::onReadable, s.get()))
            return false;
    return d_->timerFd >= 0 && loop.watch(d_->timerFd, &Impl::onTimer, d_.get());
}

void UdpServing::dropHeld()
{
    for (const Impl::Held &h : d_->held)
        if (d_->limits.reportSent)
            d_->handler.unsent(h.peer, h.bytes.data(), h.bytes.size());
    d_->held.clear();
}

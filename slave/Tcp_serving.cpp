#include "Tcp_serving.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <queue>
#include <sched.h>
#include <shared_mutex>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Numeric_address.h"
#include "Rtu_stream.h"
#include "Tcp_framer.h"

namespace {

class MonotonicClock : public TcpServingClock {
public:
    int64_t nowNs() const override
    {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    }
};

std::string system_reason(int err) { return std::strerror(err); }

// How long a server that could not accept for want of descriptors (or
// memory) leaves its listeners alone before it tries again.
constexpr int64_t kAcceptRetryNs = 100000000;

// One descriptor kept for the whole process. When descriptors run out, it is
// given up for a moment to accept a waiting client and close it at once: the
// client learns it will not be served, and the listener stops being
// readable. Every accept runs under the shared lock and that exchange under
// the exclusive one, so that no serving loop takes the slot it frees.
struct SpareDescriptor {
    std::shared_mutex mu;
    int fd = -1;
    int users = 0;

    void reopen() { fd = open("/dev/null", O_RDONLY | O_CLOEXEC); }
};

SpareDescriptor &spare_descriptor()
{
    static SpareDescriptor spare;
    return spare;
}

// "a.b.c.d:port" or "[v6]:port"; an IPv4 client of a dual-stack listener
// arrives as ::ffff:a.b.c.d and is shown as the IPv4 address it is.
std::string peer_text(const sockaddr_storage &ss)
{
    char host[INET6_ADDRSTRLEN] = "?";
    unsigned port = 0;
    if (ss.ss_family == AF_INET) {
        const auto *a = reinterpret_cast<const sockaddr_in *>(&ss);
        inet_ntop(AF_INET, &a->sin_addr, host, sizeof host);
        port = ntohs(a->sin_port);
        return std::string(host) + ":" + std::to_string(port);
    }
    if (ss.ss_family == AF_INET6) {
        const auto *a = reinterpret_cast<const sockaddr_in6 *>(&ss);
        port = ntohs(a->sin6_port);
        if (IN6_IS_ADDR_V4MAPPED(&a->sin6_addr)) {
            inet_ntop(AF_INET, &a->sin6_addr.s6_addr[12], host, sizeof host);
            return std::string(host) + ":" + std::to_string(port);
        }
        inet_ntop(AF_INET6, &a->sin6_addr, host, sizeof host);
        return "[" + std::string(host) + "]:" + std::to_string(port);
    }
    return "?";
}

}  // namespace

TcpServingClock &monotonic_serving_clock()
{
    static MonotonicClock clock;
    return clock;
}

void TcpAnswer::assign(const uint8_t *bytes, size_t n)
{
    size = n < kMax ? n : kMax;
    std::memcpy(data, bytes, size);
}

// ---- the server ----------------------------------------------------------------

struct TcpServing::Impl {
    // What an epoll event points at.
    struct Source {
        enum Kind { Listener, Conn, Timer, Watched, Inbox } kind;
        int fd = -1;
    };
    struct ListenerSource : Source {
        int index = 0;
        uint16_t port = 0;
        bool shared = false;  // other loops take from it too: one connection per turn
        TcpFraming framing = TcpFraming::Mbap;
        bool muted = false;   // out of the epoll set until mutedUntil
    };
    struct WatchedSource : Source {
        Ready ready = nullptr;
        void *user = nullptr;
    };
    // Answers waiting for their release time: sizes and times in order, the
    // bytes one after the other in one buffer.
    struct Held {
        int64_t at;
        size_t size;
    };
    struct Conn : Source {
        TcpPeer peer;
        TcpFramer framer;
        std::unique_ptr<RtuStream> rtu;  // RTU over TCP: the requests' receiver, in place of framer
        std::vector<uint8_t> out;  // answers not yet taken by the socket, from outHead
        size_t outHead = 0;
        // reportSent: the sizes of the answers in out not yet taken whole,
        // and how much of the first one was (it starts at outHead - frontSent).
        std::deque<size_t> outAnswers;
        size_t frontSent = 0;
        std::deque<Held> held;
        std::vector<uint8_t> heldBytes;  // from heldHead
        size_t heldHead = 0;
        uint32_t interest = 0;      // events the epoll set watches for it
        bool closing = false;       // bad length: send what is owed, then close
        bool shut = false;          // our side is shut: drain the client's rest until it closes
        bool eof = false;           // the client will send no more
        bool dead = false;
        int64_t scheduledNs = 0;    // its entry in the release queue, 0 when none
        int64_t lingerUntil = 0;
        int64_t closeBy = 0;        // bad length: closed then whatever is still owed; 0: not closing
        int64_t lastInputNs = 0;    // idleNs: when the client last sent something

        size_t pending() const { return out.size() - outHead; }
    };
    using Due = std::pair<int64_t, uint64_t>;  // release time, connection id

    Impl(TcpServingHandler &h, TcpServingLimits l, TcpServingClock &c) : handler(h), limits(l), clock(c)
    {
        if (limits.eventBatch < 1)
            limits.eventBatch = 1;
        if (limits.acceptBatch < 1)
            limits.acceptBatch = 1;
        if (limits.input < 300)  // room for the largest message and the start of the next
            limits.input = 300;
        if (limits.output < TcpAnswer::kMax)  // below one answer nothing would ever be served
            limits.output = TcpAnswer::kMax;
        if (limits.delayed < 1)
            limits.delayed = 1;
        events.resize(size_t(limits.eventBatch));
        scratch.resize(limits.input < 65536 ? limits.input : 65536);
        ep = epoll_create1(EPOLL_CLOEXEC);
        if (ep < 0) {
            err = "epoll: " + system_reason(errno);
            return;
        }
        timer.kind = Source::Timer;
        timer.fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        if (timer.fd < 0 || !add(timer, EPOLLIN)) {
            err = "timerfd: " + system_reason(errno);
            return;
        }
        inbox.kind = Source::Inbox;
        inbox.fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (inbox.fd < 0 || !add(inbox, EPOLLIN)) {
            err = "eventfd: " + system_reason(errno);
            return;
        }
        SpareDescriptor &spare = spare_descriptor();
        std::unique_lock<std::shared_mutex> lock(spare.mu);
        if (spare.users++ == 0 || spare.fd < 0)
            spare.reopen();
    }

    ~Impl()
    {
        for (auto &c : conns)
            ::close(c.second->fd);
        for (auto &l : listeners)
            ::close(l->fd);
        if (timer.fd >= 0)
            ::close(timer.fd);
        for (const Incoming &in : incoming)
            ::close(in.fd);
        if (inbox.fd >= 0)
            ::close(inbox.fd);
        {
            SpareDescriptor &spare = spare_descriptor();
            std::unique_lock<std::shared_mutex> lock(spare.mu);
            if (--spare.users == 0 && spare.fd >= 0) {
                ::close(spare.fd);
                spare.fd = -1;
            }
        }
        if (ep >= 0)
            ::close(ep);
    }

    bool add(Source &s, uint32_t ev)
    {
        epoll_event e{};
        e.events = ev;
        e.data.ptr = &s;
        return epoll_ctl(ep, EPOLL_CTL_ADD, s.fd, &e) == 0;
    }

    bool paused(const Conn &c) const
    {
        return c.closing || c.pending() >= limits.output || c.held.size() >= limits.delayed;
    }

    // Watches for requests only while the connection may be served (or its
    // rest drained), and for room to write only while answers wait.
    void updateInterest(Conn &c)
    {
        if (c.dead)
            return;
        uint32_t want = 0;
        if (!c.eof && (c.shut || !paused(c)))
            want |= EPOLLIN;
        if (c.pending() > 0)
            want |= EPOLLOUT;
        if (want == c.interest)
            return;
        epoll_event e{};
        e.events = want;
        e.data.ptr = &c;
        epoll_ctl(ep, EPOLL_CTL_MOD, c.fd, &e);
        c.interest = want;
    }

    void schedule(Conn &c, int64_t at)
    {
        if (c.scheduledNs != 0 && c.scheduledNs <= at)
            return;
        c.scheduledNs = at;
        due.push({at, c.peer.id});
    }

    void closeConn(Conn &c)
    {
        if (c.dead)
            return;
        c.dead = true;
        ::close(c.fd);  // leaves the epoll set with it
        if (limits.reportSent) {
            size_t at = c.outHead - c.frontSent;
            for (const size_t n : c.outAnswers) {
                handler.unsent(c.peer, c.out.data() + at, n);
                at += n;
            }
            at = c.heldHead;
            for (const Held &h : c.held) {
                handler.unsent(c.peer, c.heldBytes.data() + at, h.size);
                at += h.size;
            }
        }
        handler.disconnected(c.peer);
        auto it = conns.find(c.peer.id);
        if (it != conns.end()) {
            graveyard.push_back(std::move(it->second));
            conns.erase(it);
            if (limits.groupConnections)
                --*limits.groupConnections;
            --live;
        }
    }

    // Watches a listening socket; its index, or -1 (errno says why).
    int addListener(int fd, uint16_t port, bool shared, TcpFraming framing)
    {
        auto l = std::make_unique<ListenerSource>();
        l->kind = Source::Listener;
        l->framing = framing;
        l->fd = fd;
        l->index = int(listeners.size());
        l->port = port;
        l->shared = shared;
        // Shared: of the loops waiting on it, a new connection wakes one.
        if (!add(*l, shared ? EPOLLIN | EPOLLEXCLUSIVE : EPOLLIN))
            return -1;
        listeners.push_back(std::move(l));
        return listeners.back()->index;
    }

    // This server's connections, or its group's.
    size_t connectionsCounted() const
    {
        return limits.groupConnections ? limits.groupConnections->load(std::memory_order_relaxed) : conns.size();
    }

    void accept(ListenerSource &l)
    {
        SpareDescriptor &spare = spare_descriptor();
        for (int i = 0; i < (l.shared ? 1 : limits.acceptBatch); ++i) {
            sockaddr_storage ss{};
            socklen_t len = sizeof ss;
            int fd;
            {
                std::shared_lock<std::shared_mutex> lock(spare.mu);
                fd = accept4(l.fd, reinterpret_cast<sockaddr *>(&ss), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
            }
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK)
                    return;
                // The waiting clients keep the listener readable: shed
                // them, or leave the listener alone for a while.
                if (!((errno == EMFILE || errno == ENFILE) && shed(l)))
                    mute(l);
                return;
            }
            if (connectionsCounted() >= limits.connections) {
                ::close(fd);
                continue;
            }
            TcpServing *to = limits.placeConnection ? limits.placeConnection() : nullptr;
            if (to && to->d_.get() != this) {
                to->d_->adopt(fd, ss, l.index, l.framing);
                continue;
            }
            ++live;
            take(fd, ss, l.index, l.framing);
        }
    }

    // Out of descriptors: accepts the waiting clients in the spare
    // descriptor's slot and closes them at once. False when the spare is
    // gone (something else in the process took its slot).
    bool shed(ListenerSource &l)
    {
        SpareDescriptor &spare = spare_descriptor();
        std::unique_lock<std::shared_mutex> lock(spare.mu);
        for (int i = 0; i < limits.acceptBatch; ++i) {
            if (spare.fd < 0)
                spare.reopen();
            if (spare.fd < 0)
                return false;
            ::close(spare.fd);
            const int s = accept4(l.fd, nullptr, nullptr, SOCK_CLOEXEC);
            const int err = errno;
            if (s >= 0)
                ::close(s);
            spare.reopen();
            if (s < 0 && err != EINTR && err != ECONNABORTED)
                return err == EAGAIN || err == EWOULDBLOCK;
        }
        return true;  // more may wait: the listener is still readable
    }

    void mute(ListenerSource &l)
    {
        if (l.muted)
            return;
        epoll_ctl(ep, EPOLL_CTL_DEL, l.fd, nullptr);
        l.muted = true;
        if (mutedUntil == 0)
            mutedUntil = clock.nowNs() + kAcceptRetryNs;
    }

    void unmuteWhenDue()
    {
        if (mutedUntil == 0 || clock.nowNs() < mutedUntil)
            return;
        mutedUntil = 0;
        {
            SpareDescriptor &spare = spare_descriptor();
            std::unique_lock<std::shared_mutex> lock(spare.mu);
            if (spare.fd < 0)
                spare.reopen();
        }
        for (auto &l : listeners)
            if (l->muted) {
                l->muted = false;
                add(*l, l->shared ? EPOLLIN | EPOLLEXCLUSIVE : EPOLLIN);
            }
    }

    // From any thread: a connection another server accepted, for this one.
    void adopt(int fd, const sockaddr_storage &ss, int listener, TcpFraming framing)
    {
        ++live;
        {
            std::lock_guard<std::mutex> lock(inboxMu);
            incoming.push_back({.fd = fd, .peer = ss, .listener = listener, .framing = framing});
        }
        (void)!eventfd_write(inbox.fd, 1);
    }

    void takeIncoming()
    {
        eventfd_t ignored;
        (void)!eventfd_read(inbox.fd, &ignored);
        std::vector<Incoming> taken;
        {
            std::lock_guard<std::mutex> lock(inboxMu);
            taken.swap(incoming);
        }
        for (const Incoming &in : taken)
            take(in.fd, in.peer, in.listener, in.framing);
    }

    // Serves an accepted connection from now on (live counts it already).
    void take(int fd, const sockaddr_storage &ss, int listener, TcpFraming framing)
    {
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (limits.socketSendBuffer > 0)
            setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &limits.socketSendBuffer, sizeof limits.socketSendBuffer);
        auto c = std::make_unique<Conn>();
        c->kind = Source::Conn;
        c->fd = fd;
        c->peer.id = ++lastId;
        c->peer.text = peer_text(ss);
        c->peer.listener = listener;
        c->peer.framing = framing;
        if (framing == TcpFraming::Rtu)
            c->rtu = std::make_unique<RtuStream>();
        c->interest = EPOLLIN;
        if (!add(*c, EPOLLIN)) {
            ::close(fd);
            --live;
            return;
        }
        Conn &ref = *c;
        conns.emplace(ref.peer.id, std::move(c));
        if (limits.groupConnections)
            ++*limits.groupConnections;
        if (limits.idleNs > 0) {
            ref.lastInputNs = clock.nowNs();
            schedule(ref, ref.lastInputNs + limits.idleNs);
        }
        handler.connected(ref.peer);
    }

    // Serves the complete requests held for c, as long as it may be served.
    // True when it stopped for the limits with requests possibly left.
    bool serveBuffered(Conn &c)
    {
        if (c.rtu)
            return serveRtu(c);
        while (!paused(c)) {
            unsigned badLength = 0;
            const TcpFramer::Status st = c.framer.next(request, &badLength);
            if (st == TcpFramer::Status::NeedMore)
                return false;
            if (st == TcpFramer::Status::Bad) {
                handler.badLength(c.peer, badLength);
                c.closing = true;
                return false;
            }
            serveOne(c, request.data(), request.size());
        }
        return !c.closing;
    }

    // Serves one request of c and places its answer, if any.
    void serveOne(Conn &c, const uint8_t *req, size_t n)
    {
        answer.size = 0;
        answer.releaseNs = 0;
        handler.serve(c.peer, req, n, answer);
        if (answer.size == 0)
            return;
        const bool later = !c.held.empty() || (answer.releaseNs != 0 && answer.releaseNs > clock.nowNs());
        if (!later) {
            c.out.insert(c.out.end(), answer.data, answer.data + answer.size);
            if (limits.reportSent)
                c.outAnswers.push_back(answer.size);
            return;
        }
        // Held in order behind earlier answers of the same connection;
        // one held back longer holds back the ones after it.
        const int64_t at = c.held.empty() ? answer.releaseNs : std::max(answer.releaseNs, c.held.back().at);
        if (c.held.empty())
            schedule(c, at);
        c.held.push_back({at, answer.size});
        c.heldBytes.insert(c.heldBytes.end(), answer.data, answer.data + answer.size);
    }

    // serveBuffered for an RTU-over-TCP connection. An unfinished request
    // is given up at its time limit, but not while the rest of it may wait
    // unread in the socket (the client was not taking its answers).
    bool serveRtu(Conn &c)
    {
        while (!paused(c)) {
            const int64_t nowMs = clock.nowNs() / 1000000;
            const int64_t deadline = c.rtu->deadlineMs();
            int unread = 0;
            if (deadline != 0 && nowMs >= deadline && ioctl(c.fd, FIONREAD, &unread) == 0 && unread > 0)
                return false;
            const RtuStream::Outcome o = c.rtu->next(nowMs);
            switch (o.kind) {
            case RtuStream::Kind::Need_more:
                if (c.rtu->deadlineMs() != 0)
                    schedule(c, c.rtu->deadlineMs() * 1000000);
                return false;
            case RtuStream::Kind::Request:
            case RtuStream::Kind::Crc_error: serveOne(c, o.data, o.n); break;
            case RtuStream::Kind::Garbage:
                handler.streamDropped(c.peer, TcpStreamDrop::Garbage, o.data, o.n);
                break;
            case RtuStream::Kind::Timed_out:
                handler.streamDropped(c.peer, TcpStreamDrop::Unfinished, o.data, o.n);
                break;
            }
        }
        return true;
    }

    size_t buffered(const Conn &c) const { return c.rtu ? c.rtu->buffered() : c.framer.buffered(); }
    size_t inputBound(const Conn &c) const { return c.rtu ? RtuStream::kCapacity : limits.input; }

    // Serves and writes until the requests held are done or the client has
    // to take its answers first; then watches for what comes next. False
    // when the connection failed and is gone.
    bool pump(Conn &c)
    {
        for (;;) {
            releaseHeld(c);
            const bool more = serveBuffered(c);
            if (!flush(c))
                return false;
            if (!more || paused(c))
                break;
        }
        updateInterest(c);
        // Answers held for later wake the connection when due; those due
        // already but kept back by the output bound go when it has room.
        if (!c.held.empty() && c.held.front().at > clock.nowNs())
            schedule(c, c.held.front().at);
        // After a bad length field, once the last answer owed is due, the
        // client has a while to take them, and no longer.
        if (c.closing && c.closeBy == 0 && c.held.empty()) {
            c.closeBy = clock.nowNs() + limits.badLengthCloseNs;
            schedule(c, c.closeBy);
        }
        return true;
    }

    // Writes what is owed (one write), then finishes a graceful close when
    // everything is out. False when the connection failed and is gone.
    bool flush(Conn &c)
    {
        if (c.pending() > 0) {
            const ssize_t w = ::send(c.fd, c.out.data() + c.outHead, c.pending(), MSG_NOSIGNAL);
            if (w > 0) {
                if (limits.reportSent)
                    reportTaken(c, size_t(w));
                c.outHead += size_t(w);
                if (c.outHead == c.out.size()) {
                    c.out.clear();
                    c.outHead = 0;
                } else if (c.outHead >= 16384) {
                    // Keeps the part of an answer already sent: until its
                    // last byte goes, it is reported whole.
                    const size_t drop = c.outHead - c.frontSent;
                    c.out.erase(c.out.begin(), c.out.begin() + std::ptrdiff_t(drop));
                    c.outHead -= drop;
                }
            } else if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                closeConn(c);
                return false;
            }
        }
        if (c.pending() == 0 && c.held.empty()) {
            if (c.closing && !c.shut) {
                // FIN after the last answer; the client's rest is read and
                // dropped, so that closing never turns into a reset that
                // could destroy answers it has not read yet.
                ::shutdown(c.fd, SHUT_WR);
                c.shut = true;
                c.framer.clear();
                if (c.rtu)
                    c.rtu->clear();
                c.lingerUntil = clock.nowNs() + limits.lingerNs;
                schedule(c, c.lingerUntil);
            }
            if (c.eof) {
                closeConn(c);
                return false;
            }
        }
        return true;
    }

    // The socket took w more bytes from outHead: the answers it took whole.
    void reportTaken(Conn &c, size_t w)
    {
        size_t at = c.outHead - c.frontSent;
        size_t taken = c.frontSent + w;
        while (!c.outAnswers.empty() && taken >= c.outAnswers.front()) {
            const size_t n = c.outAnswers.front();
            handler.sent(c.peer, c.out.data() + at, n);
            at += n;
            taken -= n;
            c.outAnswers.pop_front();
        }
        c.frontSent = taken;
    }

    void onReadable(Conn &c)
    {
        if (c.shut) {
            const ssize_t n = ::read(c.fd, scratch.data(), scratch.size());
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                closeConn(c);
            return;
        }
        const size_t held = buffered(c);
        const size_t bound = inputBound(c);
        const size_t room = held < bound ? bound - held : 0;
        if (room == 0 || paused(c)) {
            updateInterest(c);
            return;
        }
        const ssize_t n = ::read(c.fd, scratch.data(), room < scratch.size() ? room : scratch.size());
        if (n > 0) {
            if (c.rtu)
                c.rtu->append(scratch.data(), size_t(n), clock.nowNs() / 1000000);
            else
                c.framer.append(scratch.data(), size_t(n));
            if (limits.idleNs > 0)
                c.lastInputNs = clock.nowNs();
        } else if (n == 0) {
            c.eof = true;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            closeConn(c);
            return;
        }
        pump(c);
    }

    // Room to write: the answers owed, then the requests held back while
    // the client was not taking them.
    void onWritable(Conn &c)
    {
        if (flush(c))
            pump(c);
    }

    // Moves the answers of c that are due to its output, in order, as far
    // as the output bound lets them: the rest go as the client takes its
    // answers.
    void releaseHeld(Conn &c)
    {
        if (c.held.empty())
            return;
        const int64_t now = clock.nowNs();
        while (!c.held.empty() && c.held.front().at <= now && c.pending() < limits.output) {
            const size_t n = c.held.front().size;
            const auto from = c.heldBytes.begin() + std::ptrdiff_t(c.heldHead);
            c.out.insert(c.out.end(), from, from + std::ptrdiff_t(n));
            if (limits.reportSent)
                c.outAnswers.push_back(n);
            c.heldHead += n;
            c.held.pop_front();
        }
        if (c.held.empty()) {
            c.heldBytes.clear();
            c.heldHead = 0;
        } else if (c.heldHead >= 16384) {
            // A steady stream of late answers may never leave the
            // buffer empty: drop what was sent from its front.
            c.heldBytes.erase(c.heldBytes.begin(), c.heldBytes.begin() + std::ptrdiff_t(c.heldHead));
            c.heldHead = 0;
        }
    }

    // Whether a time limit of c has passed: the drain after a graceful
    // close, the grace after a bad length field, or the idle time.
    bool expired(Conn &c, int64_t now)
    {
        if ((c.shut && now >= c.lingerUntil) || (c.closeBy != 0 && now >= c.closeBy))
            return true;
        if (limits.idleNs == 0 || now - c.lastInputNs < limits.idleNs)
            return false;
        // Not read while it does not take its answers: what waits in the
        // socket was sent all the same.
        int unread = 0;
        if (!(c.interest & EPOLLIN) && ioctl(c.fd, FIONREAD, &unread) == 0 && unread > 0) {
            c.lastInputNs = now;
            return false;
        }
        return true;
    }

    // A time of c has come: its held answers, or one of its time limits.
    void onDue(Conn &c, int64_t now)
    {
        if (expired(c, now)) {
            closeConn(c);
            return;
        }
        if (!pump(c))
            return;
        int64_t at = c.scheduledNs;  // pump's, for the held answers
        auto sooner = [&](int64_t t) {
            if (at == 0 || t < at)
                at = t;
        };
        if (c.shut)
            sooner(c.lingerUntil);
        if (c.closeBy != 0)
            sooner(c.closeBy);
        if (limits.idleNs > 0)
            sooner(c.lastInputNs + limits.idleNs);
        if (at != 0)
            schedule(c, at);
    }

    void releaseDue()
    {
        if (due.empty())
            return;
        const int64_t now = clock.nowNs();
        while (!due.empty() && due.top().first <= now) {
            const Due d = due.top();
            due.pop();
            auto it = conns.find(d.second);
            if (it == conns.end() || it->second->scheduledNs != d.first)
                continue;  // gone, or rescheduled since
            it->second->scheduledNs = 0;
            onDue(*it->second, now);
        }
    }

    // The timer goes off when the earliest release is due.
    void armTimer()
    {
        int64_t next = due.empty() ? 0 : due.top().first;
        if (mutedUntil != 0 && (next == 0 || mutedUntil < next))
            next = mutedUntil;
        if (next == 0 || next == armedNs)
            return;
        armedNs = next;
        int64_t wait = armedNs - clock.nowNs();
        if (wait < 1)
            wait = 1;
        itimerspec its{};
        its.it_value.tv_sec = time_t(wait / 1000000000);
        its.it_value.tv_nsec = long(wait % 1000000000);
        timerfd_settime(timer.fd, 0, &its, nullptr);
    }

    int pollOnce(int timeoutMs)
    {
        polling = true;
        int n = 0;
        const size_t datagramClients =
            limits.datagramClients ? limits.datagramClients->load(std::memory_order_relaxed) : 0;
        if (timeoutMs != 0 && busyNs != 0 && (!conns.empty() || datagramClients > 0) &&
            connectionsCounted() + datagramClients <= limits.spinConnections) {
            const int64_t until = busyNs + limits.spinNs;
            while ((n = epoll_wait(ep, events.data(), int(events.size()), 0)) == 0 && clock.nowNs() < until)
                sched_yield();
        }
        if (n == 0)
            n = epoll_wait(ep, events.data(), int(events.size()), timeoutMs);
        if (n < 0) {
            if (errno != EINTR) {
                polling = false;
                return -1;
            }
            n = 0;
        }
        for (int i = 0; i < n; ++i) {
            auto *s = static_cast<Source *>(events[size_t(i)].data.ptr);
            const uint32_t ev = events[size_t(i)].events;
            switch (s->kind) {
            case Source::Listener: accept(*static_cast<ListenerSource *>(s)); break;
            case Source::Timer: {
                uint64_t expirations;
                (void)!::read(timer.fd, &expirations, sizeof expirations);
                armedNs = 0;
                break;
            }
            case Source::Watched: {
                auto *w = static_cast<WatchedSource *>(s);
                w->ready(w->user);
                break;
            }
            case Source::Inbox: takeIncoming(); break;
            case Source::Conn: {
                auto &c = *static_cast<Conn *>(s);
                if (c.dead)
                    break;
                if (ev & (EPOLLHUP | EPOLLERR)) {
                    // Reset, or both directions closed: nothing more can
                    // reach the client.
                    closeConn(c);
                    break;
                }
                if (ev & EPOLLIN)
                    onReadable(c);
                if (!c.dead && (ev & EPOLLOUT))
                    onWritable(c);
                break;
            }
            }
        }
        releaseDue();
        unmuteWhenDue();
        armTimer();
        graveyard.clear();
        polling = false;
        if (limits.spinNs > 0)
            busyNs = n > 0 ? clock.nowNs() : 0;
        return n;
    }

    TcpServingHandler &handler;
    TcpServingLimits limits;
    TcpServingClock &clock;
    std::string err;
    int ep = -1;
    int64_t mutedUntil = 0;  // listeners muted for want of descriptors: when to try again
    Source timer;
    int64_t armedNs = 0;
    int64_t busyNs = 0;  // when the last turn that handled something ended; 0: idle since
    // Connections other servers of the group accepted for this one.
    struct Incoming {
        int fd;
        sockaddr_storage peer;
        int listener;
        TcpFraming framing;
    };
    Source inbox;
    std::mutex inboxMu;
    std::vector<Incoming> incoming;
    // Connections served or on their way here; read by other threads.
    std::atomic<size_t> live{0};
    std::vector<std::unique_ptr<ListenerSource>> listeners;
    std::vector<std::unique_ptr<WatchedSource>> watched;
    std::unordered_map<uint64_t, std::unique_ptr<Conn>> conns;
    std::vector<std::unique_ptr<Conn>> graveyard;  // closed during this poll, freed at its end
    bool polling = false;
    std::priority_queue<Due, std::vector<Due>, std::greater<Due>> due;
    uint64_t lastId = 0;
    std::vector<epoll_event> events;
    std::vector<uint8_t> scratch;
    std::vector<uint8_t> request;
    TcpAnswer answer;
};

TcpServing::TcpServing(TcpServingHandler &handler, TcpServingLimits limits, TcpServingClock &clock)
    : d_(std::make_unique<Impl>(handler, limits, clock))
{
}

TcpServing::~TcpServing() = default;

bool TcpServing::ok() const { return d_->err.empty(); }
const std::string &TcpServing::error() const { return d_->err; }
int TcpServing::fd() const { return d_->ep; }
size_t TcpServing::connectionCount() const { return d_->conns.size(); }
size_t TcpServing::unsentBytes() const
{
    size_t n = 0;
    for (const auto &c : d_->conns)
        n += c.second->pending();
    return n;
}
size_t TcpServing::load() const { return d_->live.load(std::memory_order_relaxed); }
int TcpServing::poll_once(int timeout_ms) { return d_->pollOnce(timeout_ms); }

int TcpServing::listen(const std::string &host, uint16_t port, std::string *reason, TcpListenShare share,
                       TcpFraming framing)
{
    auto fail = [&](const std::string &why, int fd) {
        if (reason)
            *reason = why;
        if (fd >= 0)
            ::close(fd);
        return -1;
    };
    sockaddr_storage ss{};
    socklen_t len = 0;
    if (!numeric_address(host, port, ss, len))
        return fail("not a numeric IPv4 or IPv6 address", -1);
    const int one = 1, zero = 0;
    const int fd = socket(ss.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return fail(system_reason(errno), -1);
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // "::" takes IPv4 clients too, whatever the system's default.
    if (ss.ss_family == AF_INET6)
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    if (bind(fd, reinterpret_cast<sockaddr *>(&ss), len) != 0)
        return fail(system_reason(errno), fd);
    if (::listen(fd, SOMAXCONN) != 0)
        return fail(system_reason(errno), fd);
    sockaddr_storage bound{};
    socklen_t blen = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &blen);
    const uint16_t boundPort = ntohs(bound.ss_family == AF_INET ? reinterpret_cast<sockaddr_in *>(&bound)->sin_port
                                                                : reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port);
    const int index = d_->addListener(fd, boundPort, share == TcpListenShare::Shared, framing);
    return index >= 0 ? index : fail(system_reason(errno), fd);
}

int TcpServing::join(const TcpServing &owner, int listener, std::string *reason)
{
    if (listener < 0 || size_t(listener) >= owner.d_->listeners.size() ||
        !owner.d_->listeners[size_t(listener)]->shared) {
        if (reason)
            *reason = "not a shared listener";
        return -1;
    }
    const Impl::ListenerSource &from = *owner.d_->listeners[size_t(listener)];
    const int fd = fcntl(from.fd, F_DUPFD_CLOEXEC, 0);
    const int index = fd >= 0 ? d_->addListener(fd, from.port, true, from.framing) : -1;
    if (index < 0) {
        if (reason)
            *reason = system_reason(errno);
        if (fd >= 0)
            ::close(fd);
    }
    return index;
}

uint16_t TcpServing::port(int listener) const
{
    if (listener < 0 || size_t(listener) >= d_->listeners.size())
        return 0;
    return d_->listeners[size_t(listener)]->port;
}

bool TcpServing::watch(int fd, Ready ready, void *user)
{
    auto w = std::make_unique<Impl::WatchedSource>();
    w->kind = Impl::Source::Watched;
    w->fd = fd;
    w->ready = ready;
    w->user = user;
    if (!d_->add(*w, EPOLLIN))
        return false;
    d_->watched.push_back(std::move(w));
    return true;
}

void TcpServing::closeAll()
{
    std::vector<Impl::Conn *> all;
    for (auto &c : d_->conns)
        all.push_back(c.second.get());
    for (Impl::Conn *c : all)
        d_->closeConn(*c);
    // From a watched descriptor's callback, events of this round may still
    // point at them: poll_once frees them at its end.
    if (!d_->polling)
        d_->graveyard.clear();
}

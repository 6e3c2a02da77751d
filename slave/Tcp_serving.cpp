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
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>
#include <unordered_map>
#include <utility>
#include <vector>

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
        std::vector<uint8_t> out;  // answers not yet taken by the socket, from outHead
        size_t outHead = 0;
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
        spare = open("/dev/null", O_RDONLY | O_CLOEXEC);
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
        if (spare >= 0)
            ::close(spare);
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
    int addListener(int fd, uint16_t port, bool shared)
    {
        auto l = std::make_unique<ListenerSource>();
        l->kind = Source::Listener;
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
        for (int i = 0; i < (l.shared ? 1 : limits.acceptBatch); ++i) {
            sockaddr_storage ss{};
            socklen_t len = sizeof ss;
            const int fd = accept4(l.fd, reinterpret_cast<sockaddr *>(&ss), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                if ((errno == EMFILE || errno == ENFILE) && spare >= 0) {
                    // Out of descriptors: the waiting client would keep the
                    // listener readable for ever. Take it with the spare
                    // descriptor and close it at once.
                    ::close(spare);
                    const int s = ::accept(l.fd, nullptr, nullptr);
                    if (s >= 0)
                        ::close(s);
                    spare = open("/dev/null", O_RDONLY | O_CLOEXEC);
                }
                return;
            }
            if (connectionsCounted() >= limits.connections) {
                ::close(fd);
                continue;
            }
            TcpServing *to = limits.placeConnection ? limits.placeConnection() : nullptr;
            if (to && to->d_.get() != this) {
                to->d_->adopt(fd, ss, l.index);
                continue;
            }
            ++live;
            take(fd, ss, l.index);
        }
    }

    // From any thread: a connection another server accepted, for this one.
    void adopt(int fd, const sockaddr_storage &ss, int listener)
    {
        ++live;
        {
            std::lock_guard<std::mutex> lock(inboxMu);
            incoming.push_back({.fd = fd, .peer = ss, .listener = listener});
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
            take(in.fd, in.peer, in.listener);
    }

    // Serves an accepted connection from now on (live counts it already).
    void take(int fd, const sockaddr_storage &ss, int listener)
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
        handler.connected(ref.peer);
    }

    // Serves the complete requests held for c, as long as it may be served.
    // True when it stopped for the limits with requests possibly left.
    bool serveBuffered(Conn &c)
    {
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
            answer.size = 0;
            answer.releaseNs = 0;
            handler.serve(c.peer, request.data(), request.size(), answer);
            if (answer.size == 0)
                continue;
            const bool later = !c.held.empty() || (answer.releaseNs != 0 && answer.releaseNs > clock.nowNs());
            if (!later) {
                c.out.insert(c.out.end(), answer.data, answer.data + answer.size);
                continue;
            }
            // Held in order behind earlier answers of the same connection;
            // one held back longer holds back the ones after it.
            const int64_t at = c.held.empty() ? answer.releaseNs : std::max(answer.releaseNs, c.held.back().at);
            if (c.held.empty())
                schedule(c, at);
            c.held.push_back({at, answer.size});
            c.heldBytes.insert(c.heldBytes.end(), answer.data, answer.data + answer.size);
        }
        return !c.closing;
    }

    // Serves and writes until the requests held are done or the client has
    // to take its answers first; then watches for what comes next. False
    // when the connection failed and is gone.
    bool pump(Conn &c)
    {
        for (;;) {
            const bool more = serveBuffered(c);
            if (!flush(c))
                return false;
            if (!more || paused(c))
                break;
        }
        updateInterest(c);
        return true;
    }

    // Writes what is owed (one write), then finishes a graceful close when
    // everything is out. False when the connection failed and is gone.
    bool flush(Conn &c)
    {
        if (c.pending() > 0) {
            const ssize_t w = ::send(c.fd, c.out.data() + c.outHead, c.pending(), MSG_NOSIGNAL);
            if (w > 0) {
                c.outHead += size_t(w);
                if (c.outHead == c.out.size()) {
                    c.out.clear();
                    c.outHead = 0;
                } else if (c.outHead >= 16384) {
                    c.out.erase(c.out.begin(), c.out.begin() + std::ptrdiff_t(c.outHead));
                    c.outHead = 0;
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

    void onReadable(Conn &c)
    {
        if (c.shut) {
            const ssize_t n = ::read(c.fd, scratch.data(), scratch.size());
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                closeConn(c);
            return;
        }
        const size_t held = c.framer.buffered();
        const size_t room = held < limits.input ? limits.input - held : 0;
        if (room == 0 || paused(c)) {
            updateInterest(c);
            return;
        }
        const ssize_t n = ::read(c.fd, scratch.data(), room < scratch.size() ? room : scratch.size());
        if (n > 0) {
            c.framer.append(scratch.data(), size_t(n));
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

    // Releases the answers of c that are due, in order.
    void release(Conn &c, int64_t now)
    {
        size_t bytes = 0;
        while (!c.held.empty() && c.held.front().at <= now) {
            bytes += c.held.front().size;
            c.held.pop_front();
        }
        if (bytes > 0) {
            const auto from = c.heldBytes.begin() + std::ptrdiff_t(c.heldHead);
            c.out.insert(c.out.end(), from, from + std::ptrdiff_t(bytes));
            c.heldHead += bytes;
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
        if (c.shut && now >= c.lingerUntil) {
            closeConn(c);
            return;
        }
        if (!pump(c))
            return;
        if (!c.held.empty())
            schedule(c, c.held.front().at);
        else if (c.shut)
            schedule(c, c.lingerUntil);
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
            release(*it->second, now);
        }
    }

    // The timer goes off when the earliest release is due.
    void armTimer()
    {
        if (due.empty() || due.top().first == armedNs)
            return;
        armedNs = due.top().first;
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
        if (timeoutMs != 0 && busyNs != 0 && !conns.empty() && connectionsCounted() <= limits.spinConnections) {
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
    int spare = -1;  // kept for taking a connection when descriptors run out
    Source timer;
    int64_t armedNs = 0;
    int64_t busyNs = 0;  // when the last turn that handled something ended; 0: idle since
    // Connections other servers of the group accepted for this one.
    struct Incoming {
        int fd;
        sockaddr_storage peer;
        int listener;
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
size_t TcpServing::load() const { return d_->live.load(std::memory_order_relaxed); }
int TcpServing::poll_once(int timeout_ms) { return d_->pollOnce(timeout_ms); }

int TcpServing::listen(const std::string &host, uint16_t port, std::string *reason, TcpListenShare share)
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
    auto *v4 = reinterpret_cast<sockaddr_in *>(&ss);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&ss);
    if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        len = sizeof *v4;
    } else if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        len = sizeof *v6;
    } else {
        return fail("not a numeric IPv4 or IPv6 address", -1);
    }
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
    const int index = d_->addListener(fd, boundPort, share == TcpListenShare::Shared);
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
    const int index = fd >= 0 ? d_->addListener(fd, from.port, true) : -1;
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

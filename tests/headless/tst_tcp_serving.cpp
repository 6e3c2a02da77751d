// The TCP serving loop on its own, with a handler that echoes a fixed answer
// and a clock the test moves by hand. Clients are plain non-blocking sockets
// in the same thread; the test turns the loop with poll_once.
#include <QtTest>
#include <atomic>
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "Tcp_serving.h"

namespace {

using Bytes = std::vector<uint8_t>;

class HandClock : public TcpServingClock {
public:
    int64_t nowNs() const override { return now; }
    int64_t now = 1000000000;
};

// Moves on a microsecond each time it is read, and counts the reads.
class StepClock : public TcpServingClock {
public:
    int64_t nowNs() const override
    {
        ++reads;
        return now += 1000;
    }
    mutable int64_t now = 1000000000;
    mutable long reads = 0;
};

// Answers each request with "00 tt 00 00 00 03 01 83 02" carrying the
// request's transaction number tt, held back by delayNs[unit id].
class Recorder : public TcpServingHandler {
public:
    explicit Recorder(HandClock &c) : clock(c) {}
    void serve(const TcpPeer &, const uint8_t *r, size_t n, TcpAnswer &a) override
    {
        ++served;
        lastSize = n;
        const uint8_t ans[] = {r[0], r[1], 0, 0, 0, 3, r[6], 0x83, 0x02};
        a.assign(ans, sizeof ans);
        if (r[6] == 9)
            a.releaseNs = clock.now + 100000000;  // unit 9: 100 ms late
    }
    void connected(const TcpPeer &p) override { peers.push_back(QString::fromStdString(p.text)); }
    void disconnected(const TcpPeer &) override { ++gone; }
    void badLength(const TcpPeer &, unsigned length) override { bad.push_back(length); }

    HandClock &clock;
    long served = 0;
    size_t lastSize = 0;
    int gone = 0;
    QStringList peers;
    std::vector<unsigned> bad;
};

Bytes request(uint8_t transaction, uint8_t unit)
{
    return {0, transaction, 0, 0, 0, 6, unit, 3, 0, 0, 0, 1};
}

int connectTo(const char *host, uint16_t port, int family, int receiveBuffer = 0)
{
    const int fd = socket(family, SOCK_STREAM, 0);
    if (receiveBuffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_storage ss{};
    socklen_t len;
    if (family == AF_INET) {
        auto *a = reinterpret_cast<sockaddr_in *>(&ss);
        a->sin_family = AF_INET;
        a->sin_port = htons(port);
        inet_pton(AF_INET, host, &a->sin_addr);
        len = sizeof *a;
    } else {
        auto *a = reinterpret_cast<sockaddr_in6 *>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        inet_pton(AF_INET6, host, &a->sin6_addr);
        len = sizeof *a;
    }
    if (::connect(fd, reinterpret_cast<sockaddr *>(&ss), len) != 0) {
        ::close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, O_NONBLOCK);
    return fd;
}

void sendAll(int fd, const Bytes &b) { QCOMPARE(::send(fd, b.data(), b.size(), MSG_NOSIGNAL), ssize_t(b.size())); }

// n requests for unit, with the transaction numbers 0, 1, 2 ...
Bytes requests(long n, uint8_t unit)
{
    Bytes all;
    for (long i = 0; i < n; ++i) {
        const Bytes r = request(uint8_t(i), unit);
        all.insert(all.end(), r.begin(), r.end());
    }
    return all;
}

// Sends b from a client that reads nothing, turning the loop, until done()
// or 5 s passed; done() then.
template <class Done> bool sendDeaf(TcpServing &s, int fd, const Bytes &b, Done done)
{
    size_t sent = 0;
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < 5000) {
        const ssize_t n = ::send(fd, b.data() + sent, b.size() - sent, MSG_NOSIGNAL);
        sent += size_t(std::max<ssize_t>(n, 0));
        s.poll_once(1);
    }
    return done();
}

// Turns the loop and collects what fd receives until want bytes came, the
// connection ended (*ended) or ms passed.
Bytes collect(TcpServing &s, int fd, size_t want, int ms, bool *ended = nullptr)
{
    Bytes got;
    QElapsedTimer t;
    t.start();
    while (got.size() < want && t.elapsed() < ms) {
        s.poll_once(5);
        uint8_t buf[65536];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n > 0)
            got.insert(got.end(), buf, buf + n);
        else if (n == 0) {
            if (ended)
                *ended = true;
            break;
        }
    }
    return got;
}

}  // namespace

class TestTcpServing : public QObject {
    Q_OBJECT
private slots:
    void delayedAnswersKeepOrderAndBlockNoOne();
    void clientThatDoesNotReadIsServedAsItReads();
    void badLengthAfterRequestsClosesGracefully();
    void peersOfDualStackListenerShowIpv4();
    void busyPollingIsBoundedInTimeAndConnections();
    void sharedListenerSpreadsConnections();
    void delayedAnswersKeepTheOutputBound();
    void timeLimitsCloseConnections_data();
    void timeLimitsCloseConnections();
    void outOfDescriptorsNeverSpins_data();
    void outOfDescriptorsNeverSpins();
};

void TestTcpServing::delayedAnswersKeepOrderAndBlockNoOne()
{
    HandClock clock;
    Recorder rec(clock);
    TcpServing s(rec, {}, clock);
    const int l = s.listen("127.0.0.1", 0, nullptr);
    QVERIFY(l >= 0);
    const int a = connectTo("127.0.0.1", s.port(l), AF_INET), b = connectTo("127.0.0.1", s.port(l), AF_INET);
    QVERIFY(a >= 0 && b >= 0);
    // A: a late answer, then one due at once that must wait behind it.
    Bytes both = request(1, 9);
    const Bytes second = request(2, 1);
    both.insert(both.end(), second.begin(), second.end());
    sendAll(a, both);
    sendAll(b, request(3, 1));
    const Bytes bGot = collect(s, b, 9, 2000);
    QCOMPARE(bGot.size(), size_t(9));
    QCOMPARE(bGot[1], uint8_t(3));
    QCOMPARE(collect(s, a, 9, 100).size(), size_t(0));  // the clock has not moved

    clock.now += 100000000;
    const Bytes aGot = collect(s, a, 18, 2000);
    QCOMPARE(aGot.size(), size_t(18));
    QCOMPARE(aGot[1], uint8_t(1));
    QCOMPARE(aGot[10], uint8_t(2));
    ::close(a);
    ::close(b);
}

void TestTcpServing::clientThatDoesNotReadIsServedAsItReads()
{
    HandClock clock;
    Recorder rec(clock);
    TcpServingLimits limits;
    limits.output = 4096;
    limits.socketSendBuffer = 8192;  // or the kernel would take in megabytes of answers first
    TcpServing s(rec, limits, clock);
    const int l = s.listen("127.0.0.1", 0, nullptr);
    const int c = connectTo("127.0.0.1", s.port(l), AF_INET, 8192);
    QVERIFY(c >= 0);

    // 120 000 requests (1.4 MB) sent without reading a single answer.
    const long total = 120000;
    Bytes all;
    for (long i = 0; i < total; ++i) {
        const Bytes r = request(uint8_t(i), 1);
        all.insert(all.end(), r.begin(), r.end());
    }
    size_t sent = 0;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 1500) {
        if (sent < all.size()) {
            const ssize_t n = ::send(c, all.data() + sent, all.size() - sent, MSG_NOSIGNAL);
            if (n > 0)
                sent += size_t(n);
        }
        s.poll_once(2);
    }
    // Served only as far as the answers found room: far from all of them,
    // and the rest waits in the kernel, not here.
    const long servedWhileDeaf = rec.served;
    QVERIFY2(servedWhileDeaf < total / 2, qPrintable(QString::number(servedWhileDeaf)));
    for (int i = 0; i < 20; ++i)
        s.poll_once(2);
    QCOMPARE(rec.served, servedWhileDeaf);  // nothing more while it does not read

    // Reading, it gets every answer, in order.
    Bytes got;
    t.restart();
    while (got.size() < size_t(total) * 9 && t.elapsed() < 20000) {
        if (sent < all.size()) {
            const ssize_t n = ::send(c, all.data() + sent, all.size() - sent, MSG_NOSIGNAL);
            if (n > 0)
                sent += size_t(n);
        }
        s.poll_once(1);
        uint8_t buf[65536];
        const ssize_t n = ::recv(c, buf, sizeof buf, 0);
        if (n > 0)
            got.insert(got.end(), buf, buf + n);
    }
    QCOMPARE(got.size(), size_t(total) * 9);
    for (long i = 0; i < total; i += 997)
        QCOMPARE(got[size_t(i) * 9 + 1], uint8_t(i));
    ::close(c);
}

void TestTcpServing::badLengthAfterRequestsClosesGracefully()
{
    HandClock clock;
    Recorder rec(clock);
    TcpServing s(rec, {}, clock);
    const int l = s.listen("127.0.0.1", 0, nullptr);
    const int c = connectTo("127.0.0.1", s.port(l), AF_INET);
    QVERIFY(c >= 0);
    // A request, a late one, then a header whose length field is 0x0400.
    Bytes b = request(1, 1);
    const Bytes late = request(2, 9);
    const Bytes bad = {0, 3, 0, 0, 0x04, 0x00, 1, 3, 0, 0, 0, 1};
    b.insert(b.end(), late.begin(), late.end());
    b.insert(b.end(), bad.begin(), bad.end());
    sendAll(c, b);
    bool ended = false;
    Bytes got = collect(s, c, 9, 2000, &ended);
    QCOMPARE(got.size(), size_t(9));
    QCOMPARE(rec.bad, std::vector<unsigned>{0x0400});
    clock.now += 100000000;  // the late answer is still owed before the close
    const Bytes rest = collect(s, c, 100, 2000, &ended);
    QCOMPARE(rest.size(), size_t(9));
    QCOMPARE(rest[1], uint8_t(2));
    QVERIFY(ended);  // an orderly end (FIN), not a reset
    ::close(c);
    for (int i = 0; i < 20 && rec.gone == 0; ++i)
        s.poll_once(5);
    QCOMPARE(rec.gone, 1);
    QCOMPARE(s.connectionCount(), size_t(0));
}

void TestTcpServing::peersOfDualStackListenerShowIpv4()
{
    HandClock clock;
    Recorder rec(clock);
    TcpServing s(rec, {}, clock);
    std::string reason;
    const int l = s.listen("::", 0, &reason);
    if (l < 0)
        QSKIP(qPrintable("no IPv6 on this machine: " + QString::fromStdString(reason)));
    const int v4 = connectTo("127.0.0.1", s.port(l), AF_INET);
    const int v6 = connectTo("::1", s.port(l), AF_INET6);
    QVERIFY(v4 >= 0);
    for (int i = 0; i < 20 && rec.peers.size() < (v6 >= 0 ? 2 : 1); ++i)
        s.poll_once(5);
    QVERIFY(rec.peers.size() >= 1);
    QVERIFY2(QRegularExpression("^127\\.0\\.0\\.1:\\d+$").match(rec.peers[0]).hasMatch(), qPrintable(rec.peers[0]));
    if (v6 >= 0) {
        QVERIFY2(QRegularExpression("^\\[::1\\]:\\d+$").match(rec.peers.value(1)).hasMatch(),
                 qPrintable(rec.peers.value(1)));
        ::close(v6);
    }
    ::close(v4);
}

// After a busy turn the loop looks for more only for spinNs of its clock and
// only while few connections are open; then it sleeps as asked.
void TestTcpServing::busyPollingIsBoundedInTimeAndConnections()
{
    HandClock handClock;
    Recorder rec(handClock);
    StepClock clock;
    TcpServingLimits limits;
    limits.spinNs = 200000;  // 200 reads of the step clock
    limits.spinConnections = 1;
    TcpServing s(rec, limits, clock);
    const int l = s.listen("127.0.0.1", 0, nullptr);
    const int a = connectTo("127.0.0.1", s.port(l), AF_INET);
    QVERIFY(a >= 0);
    int b = -1;
    for (int round = 0; round < 2; ++round) {
        sendAll(a, request(uint8_t(round), 1));
        QCOMPARE(collect(s, a, 9, 2000).size(), size_t(9));
        const long before = clock.reads;
        QElapsedTimer t;
        t.start();
        QCOMPARE(s.poll_once(30), 0);  // nothing came: it looked, then slept
        const long looks = clock.reads - before;
        QVERIFY2(t.elapsed() >= 25, qPrintable(QString::number(t.elapsed())));
        if (round == 0) {
            QVERIFY2(looks >= 150 && looks < 400, qPrintable(QString::number(looks)));
            // A second connection: no core left to spare for looking.
            b = connectTo("127.0.0.1", s.port(l), AF_INET);
            QVERIFY(b >= 0);
            s.poll_once(100);  // takes it
            QCOMPARE(s.connectionCount(), size_t(2));
        } else {
            QVERIFY2(looks < 10, qPrintable(QString::number(looks)));
        }
    }
    ::close(a);
    ::close(b);
}

// Two loops taking from one listener, each connection placed with the loop
// serving fewer: both serve, evenly, and count their connections together.
void TestTcpServing::sharedListenerSpreadsConnections()
{
    HandClock clock;
    Recorder rec(clock);
    std::atomic<size_t> together{0};
    TcpServing *loops[2] = {};
    TcpServingLimits limits;
    limits.groupConnections = &together;
    limits.placeConnection = [&loops] { return loops[1]->load() < loops[0]->load() ? loops[1] : loops[0]; };
    TcpServing first(rec, limits, clock), second(rec, limits, clock);
    loops[0] = &first;
    loops[1] = &second;
    std::string reason;
    const int alone = first.listen("127.0.0.1", 0, nullptr);
    QCOMPARE(second.join(first, alone, &reason), -1);
    QCOMPARE(reason, std::string("not a shared listener"));
    const int l = first.listen("127.0.0.1", 0, nullptr, TcpListenShare::Shared);
    QVERIFY(second.join(first, l, &reason) >= 0);

    std::vector<int> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(connectTo("127.0.0.1", first.port(l), AF_INET));
        QVERIFY(clients.back() >= 0);
    }
    for (int turn = 0; turn < 50 && together < 4; ++turn) {
        first.poll_once(5);
        second.poll_once(5);
    }
    QCOMPARE(together.load(), size_t(4));
    QCOMPARE(first.connectionCount(), size_t(2));
    QCOMPARE(second.connectionCount(), size_t(2));
    for (size_t i = 0; i < clients.size(); ++i) {
        sendAll(clients[i], request(uint8_t(i), 1));
        Bytes got;
        for (int turn = 0; turn < 200 && got.size() < 9; ++turn) {
            first.poll_once(1);
            second.poll_once(1);
            uint8_t buf[64];
            const ssize_t n = ::recv(clients[i], buf, sizeof buf, 0);
            if (n > 0)
                got.insert(got.end(), buf, buf + n);
        }
        QCOMPARE(got.size(), size_t(9));
        QCOMPARE(got[1], uint8_t(i));
    }
    for (int c : clients)
        ::close(c);
    for (int turn = 0; turn < 50 && together > 0; ++turn) {
        first.poll_once(5);
        second.poll_once(5);
    }
    QCOMPARE(together.load(), size_t(0));
    QCOMPARE(first.load() + second.load(), size_t(0));
}

// Late answers all due at once go to the output only as far as its bound;
// the rest follow as the client takes its answers, in order.
void TestTcpServing::delayedAnswersKeepTheOutputBound()
{
    HandClock clock;
    Recorder rec(clock);
    TcpServingLimits limits;
    limits.output = 4096;
    limits.delayed = 10000;
    limits.socketSendBuffer = 8192;
    TcpServing s(rec, limits, clock);
    const int l = s.listen("127.0.0.1", 0, nullptr);
    const int c = connectTo("127.0.0.1", s.port(l), AF_INET, 8192);
    constexpr long kTotal = 10000;  // 90 000 bytes of answers, all late (unit 9)
    QVERIFY(sendDeaf(s, c, requests(kTotal, 9), [&] { return rec.served == kTotal; }));
    clock.now += 100000000;
    size_t most = 0;
    Bytes got;
    for (int turn = 0; got.size() < size_t(kTotal) * 9 && turn < 20000; ++turn) {
        s.poll_once(1);
        most = std::max(most, s.unsentBytes());
        uint8_t buf[65536];
        const ssize_t n = turn < 20 ? 0 : ::recv(c, buf, sizeof buf, 0);  // deaf at first
        got.insert(got.end(), buf, buf + std::max<ssize_t>(n, 0));
    }
    QVERIFY2(most <= limits.output + TcpAnswer::kMax, qPrintable(QString::number(most)));
    QCOMPARE(got.size(), size_t(kTotal) * 9);
    for (long i = 0; i < kTotal; i += 997)
        QCOMPARE(got[size_t(i) * 9 + 1], uint8_t(i));
    ::close(c);
}

void TestTcpServing::timeLimitsCloseConnections_data()
{
    QTest::addColumn<int>("idleMs");      // TcpServingLimits::idleNs; 0: none
    QTest::addColumn<int>("requests");    // sent at once, their answers never read
    QTest::addColumn<bool>("badLength");  // then a header whose length field is 0x0400
    QTest::addColumn<int>("againAtMs");   // one more request then; -1: none
    QTest::addColumn<int>("openAtMs");    // still open then
    QTest::addColumn<int>("closedAtMs");  // closed by then
    QTest::newRow("idle") << 1000 << 1 << false << 500 << 1400 << 1500;
    QTest::newRow("bad length, answers never read") << 0 << 5000 << true << -1 << 4900 << 5000;
}

// Times of the hand clock from the first request on.
void TestTcpServing::timeLimitsCloseConnections()
{
    QFETCH(int, idleMs);
    QFETCH(int, requests);
    QFETCH(bool, badLength);
    QFETCH(int, againAtMs);
    QFETCH(int, openAtMs);
    QFETCH(int, closedAtMs);
    HandClock clock;
    Recorder rec(clock);
    TcpServingLimits limits;
    limits.idleNs = int64_t(idleMs) * 1000000;
    limits.socketSendBuffer = 4096;  // with the client's small buffer: the answers stay here
    TcpServing s(rec, limits, clock);
    const int c = connectTo("127.0.0.1", s.port(s.listen("127.0.0.1", 0, nullptr)), AF_INET, 4096);
    const int64_t t0 = clock.now;
    Bytes all = ::requests(requests, 1);
    if (badLength)
        all.insert(all.end(), {0, 0, 0, 0, 0x04, 0x00, 1, 3, 0, 0, 0, 1});
    QVERIFY(sendDeaf(s, c, all, [&] { return rec.served == requests && rec.bad.size() == size_t(badLength); }));
    auto openAt = [&](int ms) {
        clock.now = t0 + int64_t(ms) * 1000000;
        for (int i = 0; i < 5; ++i)
            s.poll_once(1);
        return s.connectionCount() == 1;
    };
    if (againAtMs >= 0) {
        QVERIFY(openAt(againAtMs));
        QVERIFY(sendDeaf(s, c, request(99, 1), [&] { return rec.served > requests; }));
    }
    QVERIFY(openAt(openAtMs));
    QVERIFY(!openAt(closedAtMs));
    ::close(c);
}

void TestTcpServing::outOfDescriptorsNeverSpins_data()
{
    QTest::addColumn<bool>("spareSlot");  // the spare descriptor's slot is usable; else no slot at all
    QTest::newRow("waiting clients shed") << true;
    QTest::newRow("no slot: listeners rest") << false;
}

// Two loops sharing a listener while no descriptor can be made: the waiting
// clients are closed at once through the spare descriptor or, with no slot
// at all, the loops leave the listener alone for a while instead of finding
// it readable turn after turn; once descriptors are back, they are served.
void TestTcpServing::outOfDescriptorsNeverSpins()
{
    QFETCH(bool, spareSlot);
    HandClock clock;
    Recorder rec(clock);
    TcpServing a(rec, {}, clock), b(rec, {}, clock);
    const int l = a.listen("127.0.0.1", 0, nullptr, TcpListenShare::Shared);
    QVERIFY(l >= 0 && b.join(a, l, nullptr) >= 0);
    sockaddr_in to{.sin_family = AF_INET, .sin_port = htons(a.port(l)), .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
    int clients[3], connected = 0, events = 0, shed = 0;
    for (int &c : clients)
        c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    rlimit old{};
    getrlimit(RLIMIT_NOFILE, &old);
    const int lowest = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::close(lowest);
    rlimit low = old;
    low.rlim_cur = spareSlot ? rlim_t(lowest) : 1;
    QVERIFY(setrlimit(RLIMIT_NOFILE, &low) == 0);
    for (int c : clients)
        connected += ::connect(c, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0;
    for (int turn = 0; turn < 20; ++turn)
        events += a.poll_once(0) + b.poll_once(0);
    for (int c : clients) {
        pollfd p{.fd = c, .events = POLLIN, .revents = 0};
        char byte;
        shed += poll(&p, 1, spareSlot ? 1000 : 0) == 1 && ::recv(c, &byte, 1, MSG_DONTWAIT) <= 0;
    }
    setrlimit(RLIMIT_NOFILE, &old);
    QCOMPARE(connected, 3);
    QVERIFY2(events <= 6, qPrintable(QString::number(events)));
    QCOMPARE(shed, spareSlot ? 3 : 0);
    clock.now += 200000000;  // the loops look again
    for (int turn = 0; turn < 100 && !spareSlot && a.connectionCount() + b.connectionCount() < 3; ++turn)
        events += a.poll_once(2) + b.poll_once(2);
    QCOMPARE(a.connectionCount() + b.connectionCount(), size_t(spareSlot ? 0 : 3));
    for (int c : clients)
        ::close(c);
}

QTEST_GUILESS_MAIN(TestTcpServing)
#include "tst_tcp_serving.moc"

// quillan-poll's RTU-over-TCP and UDP links against a scripted peer on
// loopback: what ends an answer, and what is dropped on the way to it.
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

#include "Poll_link.h"

namespace {

// One send of the peer after the request came.
struct Peer_send {
    QByteArray bytes;       // hexadecimal
    int afterMs = 0;        // waited before it goes
    bool requestId = false; // UDP: the request's transaction id in front
};

struct Link_case {
    const char *name;
    bool udp = false;
    std::vector<Peer_send> sends{};
    int timeoutMs = 1000;
    Link_answer::Status status = Link_answer::Frame;
    QByteArray frame{};  // hexadecimal: the answer taken
};

// A read of one holding register at 40001, unit 1: in RTU "01 03 00 00 00 01 84 0A".
const std::vector<Link_case> kCases = {
    {.name = "rtu answer in pieces ends at its length, not at the later garbage",
     .sends = {{.bytes = "01 03 02"}, {.bytes = "00 07 F9 86", .afterMs = 30}, {.bytes = "AA BB", .afterMs = 300}},
     .frame = "01 03 02 00 07 F9 86"},
    {.name = "rtu answer of another unit (late, to a scan's last probe) is dropped",
     .sends = {{.bytes = "02 03 02 00 08 FD 82"}, {.bytes = "01 03 02 00 07 F9 86", .afterMs = 30}},
     .frame = "01 03 02 00 07 F9 86"},
    {.name = "rtu identification ends at its layout",
     .sends = {{.bytes = "01 2B 0E 01 01 00 00 01 00 01 41 2F A7"}, {.bytes = "AA", .afterMs = 300}},
     .frame = "01 2B 0E 01 01 00 00 01 00 01 41 2F A7"},
    {.name = "rtu wrong CRC is checked at the time-out",
     .sends = {{.bytes = "01 03 02 00 07 F9 87"}, {.bytes = "", .afterMs = 400}},
     .timeoutMs = 200,
     .status = Link_answer::ChecksumError,
     .frame = "01 03 02 00 07 F9 87"},
    {.name = "rtu answer cut short by the close is checked as it stands",
     .sends = {{.bytes = "01 03 02 00"}},
     .status = Link_answer::ChecksumError,
     .frame = "01 03 02 00"},
    {.name = "rtu bytes without an end",
     .sends = {{.bytes = QByteArray(300, 'U').toHex()}},
     .status = Link_answer::Broken},
    {.name = "udp strays and another id dropped",
     .udp = true,
     .sends = {{.bytes = ""},
               {.bytes = "01 02 03"},
               {.bytes = "77 77 00 00 00 05 01 03 02 00 08"},
               {.bytes = "00 00 00 00 00 06 01 03 02 00 07", .requestId = true},  // length field one too many
               {.bytes = "00 00 00 00 00 05 01 03 02 00 07", .requestId = true}},
     .frame = "00 01 00 00 00 05 01 03 02 00 07"},
    {.name = "udp a late answer only",
     .udp = true,
     .sends = {{.bytes = "77 77 00 00 00 05 01 03 02 00 08"}},
     .timeoutMs = 200,
     .status = Link_answer::TimeOut},
};

QByteArray hex(const std::vector<uint8_t> &bytes)
{
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size())).toHex(' ').toUpper();
}

}  // namespace

class TestQuillanPollLink : public QObject {
    Q_OBJECT
private slots:
    void answers_data()
    {
        QTest::addColumn<int>("row");
        for (size_t i = 0; i < kCases.size(); ++i)
            QTest::newRow(kCases[i].name) << int(i);
    }
    void answers()
    {
        QFETCH(int, row);
        const Link_case &c = kCases[size_t(row)];
        const int server = socket(AF_INET, c.udp ? SOCK_DGRAM : SOCK_STREAM, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof at;
        QVERIFY(bind(server, reinterpret_cast<sockaddr *>(&at), size) == 0);
        QVERIFY(getsockname(server, reinterpret_cast<sockaddr *>(&at), &size) == 0);
        QVERIFY(c.udp || listen(server, 1) == 0);
        const timeval bound{.tv_sec = 5, .tv_usec = 0};  // the peer never waits for ever
        setsockopt(server, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);

        // The peer: takes the request, then sends as scripted; the end of the
        // exchange closes it.
        std::thread peer([&] {
            const int fd = c.udp ? server : accept(server, nullptr, nullptr);
            uint8_t request[300];
            sockaddr_in from{};
            socklen_t n = sizeof from;
            const ssize_t got = recvfrom(fd, request, sizeof request, 0, reinterpret_cast<sockaddr *>(&from), &n);
            for (const Peer_send &s : c.sends) {
                QThread::msleep(ulong(s.afterMs));
                QByteArray bytes = QByteArray::fromHex(s.bytes);
                if (s.requestId && got >= 2 && bytes.size() >= 2) {
                    bytes[0] = char(request[0]);
                    bytes[1] = char(request[1]);
                }
                sendto(fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL,
                       c.udp ? reinterpret_cast<sockaddr *>(&from) : nullptr, c.udp ? n : 0);
            }
            if (fd != server)
                close(fd);
        });
        std::unique_ptr<Poll_link> link;
        if (c.udp)
            link = std::make_unique<Udp_poll_link>("127.0.0.1", ntohs(at.sin_port), c.timeoutMs);
        else
            link = std::make_unique<Tcp_poll_link>("127.0.0.1", ntohs(at.sin_port), c.timeoutMs, Tcp_poll_link::Frames::Rtu);
        const std::string opened = link->open();
        Link_answer a;
        if (opened.empty()) {
            Poll_request read;
            read.count = 1;
            uint8_t frame[512];
            const int32_t length = frame_poll_request(link->framing(), read, frame);
            a = link->exchange(frame, length, false);
        }
        peer.join();
        close(server);
        QVERIFY2(opened.empty(), opened.c_str());
        QCOMPARE(int(a.status), int(c.status));
        if (!c.frame.isEmpty())
            QCOMPARE(hex(a.frame), c.frame);
    }
};

QTEST_GUILESS_MAIN(TestQuillanPollLink)
#include "tst_quillan_poll_link.moc"

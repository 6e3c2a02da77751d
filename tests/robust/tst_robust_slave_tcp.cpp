// The Slave TCP station under load and under hostile clients. Every client
// runs in a thread of its own with a blocking socket, so the station is
// served by the GUI event loop of the main thread alone, as in the program.
//
// Load: 4 clients read and write their own parts of the tables while 50
// clients connect and drop again round after round, and hostile clients
// send half requests, 1 MB of garbage, a length field of 0xFFFF and requests
// one byte at a time. Every answer is checked against a model of the tables,
// every acknowledged write must be in the table (and its grid) afterwards,
// and the longest stall of the event loop is printed.
#include <QThread>
#include <QtTest>
#include <atomic>
#include <memory>
#include <mutex>
#include <random>
#include <vector>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Gui_services.h"
#include "Modbus_client.h"
#include "Notices.h"
#include "Peers.h"
#include "Slave_tcp.h"

namespace {

constexpr int kWorkers = 4;
constexpr int kSpan = 250;         // entries each worker owns: [k*250, k*250+250)
constexpr int kNastyBase = 1000;   // registers 1000..1023 belong to the byte-at-a-time client
constexpr int kChurnClients = 50;

uint16_t inputRegisterValue(int n) { return uint16_t(n * 31 + 7); }

// What one thread saw; read by the main thread once the thread has ended.
struct Outcome {
    QStringList errors;
    long requests = 0;
    long writes = 0;   // acknowledged write requests
    long written = 0;  // table entries those writes set
    long connections = 0;
    void fail(const QString &e)
    {
        if (errors.size() < 20)
            errors << e;
    }
};

// A part of the tables as the client believes it to be.
struct Model {
    std::vector<uint16_t> regs = std::vector<uint16_t>(1024, 0);
    std::vector<uint8_t> coils = std::vector<uint8_t>(1024, 0);
};

// Reads and writes of one worker within its own entries, every answer checked.
void runWorker(int k, quint16 port, qint64 deadlineMs, int maxRequests, Model &model, Outcome &out)
{
    BlockingClient c;
    if (!c.connectTo(port)) {
        out.fail(QString("worker %1: no connection").arg(k));
        return;
    }
    c.socket().setSocketOption(QAbstractSocket::LowDelayOption, 1);
    ++out.connections;
    std::mt19937 rnd(unsigned(1000 + k));
    const int base = k * kSpan;
    auto pick = [&](int lo, int hi) { return int(std::uniform_int_distribution<int>(lo, hi)(rnd)); };
    QElapsedTimer t;
    t.start();
    quint16 tid = quint16(k << 12);
    while (t.elapsed() < deadlineMs && out.requests < maxRequests) {
        ++tid;
        const int op = pick(0, 6);
        const int start = base + pick(0, kSpan - 1);
        const int room = base + kSpan - start;
        QByteArray pdu, answer;
        int count = 1;
        switch (op) {
        case 0:  // read holding registers
            count = pick(1, std::min(room, 120));
            pdu = QByteArray(1, 3) + be16(unsigned(start)) + be16(unsigned(count));
            break;
        case 1:  // read input registers
            count = pick(1, std::min(room, 120));
            pdu = QByteArray(1, 4) + be16(unsigned(start)) + be16(unsigned(count));
            break;
        case 2:  // read coils
            count = pick(1, room);
            pdu = QByteArray(1, 1) + be16(unsigned(start)) + be16(unsigned(count));
            break;
        case 3:  // write one register
            count = pick(0, 0xFFFF);  // the value
            pdu = QByteArray(1, 6) + be16(unsigned(start)) + be16(unsigned(count));
            break;
        case 4: {  // write several registers
            count = pick(1, std::min(room, 100));
            pdu = QByteArray(1, 16) + be16(unsigned(start)) + be16(unsigned(count)) + QByteArray(1, char(2 * count));
            for (int i = 0; i < count; ++i)
                pdu += be16(unsigned(pick(0, 0xFFFF)));
            break;
        }
        case 5:  // write one coil
            count = pick(0, 1);
            pdu = QByteArray(1, 5) + be16(unsigned(start)) + (count ? QByteArray("\xFF\x00", 2) : QByteArray(2, '\0'));
            break;
        default: {  // write several coils
            count = pick(1, std::min(room, 200));
            pdu = QByteArray(1, 15) + be16(unsigned(start)) + be16(unsigned(count)) +
                  QByteArray(1, char((count + 7) / 8));
            for (int i = 0; i < (count + 7) / 8; ++i)
                pdu += char(pick(0, 255));
            break;
        }
        }
        const QByteArray request = mbap(tid, quint8(k + 1), pdu);
        if (!c.transact(request, answer)) {
            out.fail(QString("worker %1: no answer to %2").arg(k).arg(QString(request.toHex(' '))));
            return;
        }
        ++out.requests;
        const QByteArray head = request.left(4) + QByteArray(1, '\0');
        if (!answer.startsWith(head) || uchar(answer[6]) != k + 1 || answer[7] != pdu[0]) {
            out.fail(QString("worker %1: %2 answered %3").arg(k).arg(QString(request.toHex(' ')), QString(answer.toHex(' '))));
            continue;
        }
        const uchar *a = reinterpret_cast<const uchar *>(answer.constData());
        bool ok = true;
        switch (op) {
        case 0:
        case 1:
            ok = answer.size() == 9 + 2 * count && a[8] == 2 * count;
            for (int i = 0; ok && i < count; ++i) {
                const uint16_t want = op == 0 ? model.regs[size_t(start + i)] : inputRegisterValue(start + i);
                ok = (a[9 + 2 * i] << 8 | a[10 + 2 * i]) == want;
            }
            break;
        case 2:
            ok = answer.size() == 9 + (count + 7) / 8 && a[8] == (count + 7) / 8;
            for (int i = 0; ok && i < count; ++i)
                ok = ((a[9 + i / 8] >> (i % 8)) & 1) == model.coils[size_t(start + i)];
            break;
        default:
            // A write is acknowledged by the 12-byte echo; then it is in the model.
            ok = answer.size() == 12 && answer.mid(6) == request.mid(6, 6) && a[5] == 6;
            if (!ok)
                break;
            if (op == 3) {
                model.regs[size_t(start)] = uint16_t(count);
            } else if (op == 4) {
                for (int i = 0; i < count; ++i)
                    model.regs[size_t(start + i)] = uint16_t(uchar(pdu[6 + 2 * i]) << 8 | uchar(pdu[7 + 2 * i]));
            } else if (op == 5) {
                model.coils[size_t(start)] = uint8_t(count);
            } else {
                for (int i = 0; i < count; ++i)
                    model.coils[size_t(start + i)] = uint8_t((uchar(pdu[6 + i / 8]) >> (i % 8)) & 1);
            }
            ++out.writes;
            out.written += (op == 3 || op == 5) ? 1 : count;
            break;
        }
        if (!ok)
            out.fail(QString("worker %1: %2 answered %3").arg(k).arg(QString(request.toHex(' ')), QString(answer.toHex(' '))));
    }
}

// Rounds of 50 connections, each dropped in one of four ways.
void runChurn(quint16 port, qint64 deadlineMs, int maxRounds, Outcome &out, int &rounds)
{
    QElapsedTimer t;
    t.start();
    const QByteArray request = mbap(1, 1, QByteArray(1, 3) + be16(0) + be16(1));
    for (rounds = 0; rounds < maxRounds && t.elapsed() < deadlineMs; ++rounds) {
        std::vector<std::unique_ptr<QTcpSocket>> sockets;
        for (int i = 0; i < kChurnClients; ++i) {
            sockets.push_back(std::make_unique<QTcpSocket>());
            sockets.back()->connectToHost(QHostAddress(QHostAddress::LocalHost), port);
        }
        for (auto &s : sockets) {
            if (s->waitForConnected(5000))
                ++out.connections;
            else
                out.fail("churn: no connection: " + s->errorString());
        }
        for (int i = 0; i < kChurnClients; ++i) {
            QTcpSocket &s = *sockets[size_t(i)];
            switch (i % 4) {
            case 0:
                s.abort();  // a reset
                break;
            case 1:
                s.disconnectFromHost();
                break;
            case 2:  // half a request, then gone
                s.write(request.left(5));
                s.waitForBytesWritten(1000);
                s.abort();
                break;
            default:  // a whole request, gone before the answer
                s.write(request);
                s.waitForBytesWritten(1000);
                s.disconnectFromHost();
                break;
            }
        }
        for (auto &s : sockets)
            if (s->state() != QAbstractSocket::UnconnectedState)
                s->waitForDisconnected(1000);
    }
}

// Runs f in a thread of its own.
std::unique_ptr<QThread> spawn(std::function<void()> f)
{
    std::unique_ptr<QThread> t(QThread::create(std::move(f)));
    t->start();
    return t;
}

bool allFinished(const std::vector<std::unique_ptr<QThread>> &threads)
{
    for (const auto &t : threads)
        if (!t->isFinished())
            return false;
    return true;
}

// A read of holding register n by a fresh client; -1 when it fails.
int readRegister(quint16 port, int n)
{
    BlockingClient c;
    QByteArray answer;
    if (!c.connectTo(port) || !c.transact(mbap(77, 1, QByteArray(1, 3) + be16(unsigned(n)) + be16(1)), answer) ||
        answer.size() != 11)
        return -1;
    return uchar(answer[9]) << 8 | uchar(answer[10]);
}

// The byte-at-a-time client: writes and reads back registers 1000.., every
// request sent in single bytes with a pause between them.
void runTrickle(quint16 port, int rounds, Model &model, Outcome &out)
{
    BlockingClient c;
    if (!c.connectTo(port)) {
        out.fail("trickle: no connection");
        return;
    }
    c.socket().setSocketOption(QAbstractSocket::LowDelayOption, 1);
    ++out.connections;
    for (int i = 0; i < rounds; ++i) {
        const int reg = kNastyBase + i % 24;
        const uint16_t value = uint16_t(0xA000 + i);
        const QByteArray write = mbap(quint16(i), 9, QByteArray(1, 6) + be16(unsigned(reg)) + be16(value));
        const QByteArray read = mbap(quint16(i), 9, QByteArray(1, 3) + be16(unsigned(reg)) + be16(1));
        for (int which = 0; which < 2; ++which) {
            const QByteArray &req = which == 0 ? write : read;
            for (char b : req) {
                if (!c.send(QByteArray(1, b))) {
                    out.fail("trickle: send failed");
                    return;
                }
                QThread::msleep(2);
            }
            QByteArray answer;
            if (!c.receive(answer)) {
                out.fail("trickle: no answer");
                return;
            }
            ++out.requests;
            if (which == 0) {
                if (answer != write) {
                    out.fail("trickle: write answered " + QString(answer.toHex(' ')));
                    return;
                }
                model.regs[size_t(reg)] = value;
                ++out.writes;
                ++out.written;
            } else if (answer != read.left(5) + QByteArray("\x05\x09\x03\x02", 4) + be16(value)) {
                out.fail("trickle: read answered " + QString(answer.toHex(' ')));
            }
        }
    }
}

}  // namespace

class TestRobustSlaveTcp : public QObject {
    Q_OBJECT
private:
    QStringList boxes_;

    void openStation(TSLTCP_Form &f, quint16 &port)
    {
        for (int n = 0; n < kSlaveEntries; ++n)
            f.tables.inputRegisters[n] = inputRegisterValue(n);
        port = freeLoopbackPort();
        f.setListenPort(port);
        f.BitBtn1Click();
        QVERIFY(f.serverOpen());
    }

private slots:
    void init()
    {
        boxes_.clear();
        set_message_box_sink([this](const std::string &t, const std::string &c) {
            boxes_ << QString::fromStdString(c + "|" + t);
        });
    }
    void cleanup() { set_message_box_sink(nullptr); }

    // One hostile client at a time: what it does to its own connection, and
    // that a well-behaved client is answered correctly right after.
    void hostileClient_data()
    {
        QTest::addColumn<int>("which");
        QTest::addColumn<bool>("dropped");   // the station closes the connection
        QTest::addColumn<QString>("memo1");  // a line the station logs
        QTest::newRow("disconnect mid-request") << 0 << false << "";
        QTest::newRow("1 MB of garbage") << 1 << true << "Mod Slave TCP length field error len=";
        QTest::newRow("length field 0xFFFF") << 2 << true << "Mod Slave TCP length field error len=65535, connection closed";
        QTest::newRow("length field 0") << 3 << true << "Mod Slave TCP length field error len=0, connection closed";
        QTest::newRow("one byte at a time") << 4 << false << "";
        QTest::newRow("never reads its answers") << 5 << false << "";
    }
    void hostileClient()
    {
        QFETCH(int, which);
        QFETCH(bool, dropped);
        QFETCH(QString, memo1);
        TSLTCP_Form f;
        quint16 port = 0;
        openStation(f, port);
        f.tables.holdingRegisters[7] = 0x1234;

        Outcome out;
        Model model;
        bool closedByStation = false;
        qint64 garbageSent = 0;
        auto thread = spawn([&] {
            BlockingClient c;
            if (!c.connectTo(port)) {
                out.fail("no connection");
                return;
            }
            switch (which) {
            case 0:
                c.send(mbap(1, 1, QByteArray(1, 6) + be16(7) + be16(0x5555)).left(9));
                c.socket().abort();
                break;
            case 1: {
                std::mt19937 rnd(7);
                QByteArray chunk(64 * 1024, '\0');
                for (int i = 0; i < 16 && c.socket().state() == QAbstractSocket::ConnectedState; ++i) {
                    for (char &b : chunk)
                        b = char(rnd());
                    if (!c.send(chunk, 3000))
                        break;
                    garbageSent += chunk.size();
                }
                closedByStation = c.waitClosed(5000);
                break;
            }
            case 2:
            case 3: {
                QByteArray req = mbap(1, 1, QByteArray(1, 3) + be16(7) + be16(1));
                req[4] = which == 2 ? char(0xFF) : '\0';
                req[5] = which == 2 ? char(0xFF) : '\0';
                c.send(req);
                closedByStation = c.waitClosed(5000);
                if (!c.leftover().isEmpty())
                    out.fail("an answer to a request that cannot be framed");
                break;
            }
            case 4:
                runTrickle(port, 3, model, out);
                break;
            default: {
                // Requests for 120 registers as fast as they go, the answers never read.
                QByteArray burst;
                for (int i = 0; i < 1000; ++i)
                    burst += mbap(quint16(i), 1, QByteArray(1, 3) + be16(0) + be16(120));
                QElapsedTimer t;
                t.start();
                while (t.elapsed() < 3000 && c.socket().state() == QAbstractSocket::ConnectedState) {
                    c.socket().write(burst);
                    c.socket().waitForBytesWritten(100);
                    garbageSent += burst.size();
                }
                garbageSent -= c.socket().bytesToWrite();  // what really left
                closedByStation = c.socket().state() != QAbstractSocket::ConnectedState;
                break;
            }
            }
        });
        qint64 pending = 0;
        QVERIFY(waitUntil(
            [&] {
                for (QTcpSocket *s : f.ServerSocket1->findChildren<QTcpSocket *>())
                    pending = std::max(pending, s->bytesToWrite());
                return thread->isFinished();
            },
            30000));
        if (which == 5) {
            // The station holds back what it does not send instead of piling it up.
            qInfo("a client that never reads: %lld bytes of requests sent in 3 s, at most %lld bytes of answers "
                  "waiting in the station",
                  static_cast<long long>(garbageSent), static_cast<long long>(pending));
            QVERIFY2(pending < 1024 * 1024, qPrintable(QString::number(pending)));
        }
        thread->wait();
        QVERIFY2(out.errors.isEmpty(), qPrintable(out.errors.join('\n')));
        QCOMPARE(closedByStation, dropped);
        if (!memo1.isEmpty()) {
            const QStringList lines = f.Memo1->lines();
            QVERIFY2(std::any_of(lines.begin(), lines.end(), [&](const QString &l) { return l.startsWith(memo1); }),
                     qPrintable(lines.join('\n')));
        }
        if (which == 1)
            qInfo("1 MB of garbage: %lld bytes taken before the station closed the connection",
                  static_cast<long long>(garbageSent));
        if (which == 4)
            QCOMPARE(f.tables.holdingRegisters[kNastyBase + 2], uint16_t(0xA002));

        // Nothing of it was written, the station still answers, and no box came up.
        QCOMPARE(f.tables.holdingRegisters[7], uint16_t(0x1234));
        int value = -2;
        auto reader = spawn([&] { value = readRegister(port, 7); });
        QVERIFY(waitUntil([&] { return reader->isFinished(); }, 10000));
        reader->wait();
        QCOMPARE(value, 0x1234);
        QVERIFY(waitUntil([&] { return f.clientCount() == 0; }));
        QVERIFY2(boxes_.isEmpty(), qPrintable(boxes_.join('\n')));
        f.BitBtn2Click();
    }

    // A client that has stopped reading sends a header that cannot be framed:
    // the connection closes once its answers are out, but answers it never
    // takes do not hold the closing connection for ever.
    void closingClientThatNeverReads()
    {
        TSLTCP_Form f;
        quint16 port = 0;
        openStation(f, port);
        // A plain socket whose receive buffer is made small before it
        // connects, so the answers back up in the station.
        struct Fd {
            int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            ~Fd() { ::close(fd); }
        } c;
        QVERIFY(c.fd >= 0);
        const int small = 2048;
        QCOMPARE(::setsockopt(c.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QCOMPARE(::connect(c.fd, reinterpret_cast<const sockaddr *>(&to), sizeof to), 0);
        QVERIFY(waitUntil([&] { return f.clientCount() == 1; }));
        for (QTcpSocket *s : f.ServerSocket1->findChildren<QTcpSocket *>())
            s->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 4096);
        QByteArray burst;
        for (int i = 0; i < 200; ++i)
            burst += mbap(quint16(i), 1, QByteArray(1, 3) + be16(0) + be16(120));
        burst += QByteArray::fromHex("00610000000101");
        QCOMPARE(::write(c.fd, burst.constData(), size_t(burst.size())), ssize_t(burst.size()));
        const QString closing = "Mod Slave TCP length field error len=1, connection closed";
        QVERIFY(waitUntil([&] { return f.Memo1->lines().contains(closing); }));
        qint64 waiting = 0;
        for (QTcpSocket *s : f.ServerSocket1->findChildren<QTcpSocket *>())
            waiting += s->bytesToWrite();
        QVERIFY2(waiting > 0, "the answers all went out: nothing to wait for");
        QElapsedTimer t;
        t.start();
        QVERIFY(waitUntil([&] { return f.clientCount() == 0; }, 15000));
        qInfo("a closing client that never reads: dropped after %lld ms with %lld bytes of answers waiting",
              static_cast<long long>(t.elapsed()), static_cast<long long>(waiting));
        QVERIFY2(boxes_.isEmpty(), qPrintable(boxes_.join('\n')));
        f.BitBtn2Click();
    }

    // Everything at once.
    void loadWithChurnAndHostileClients()
    {
        TSLTCP_Form f;
        f.show();
        quint16 port = 0;
        openStation(f, port);
        const qint64 loadMs = 4000;

        std::vector<Model> models(kWorkers + 1);
        std::vector<Outcome> outcomes(kWorkers + 3);
        int churnRounds = 0;
        std::vector<std::unique_ptr<QThread>> threads;
        StallWatch watch;
        QElapsedTimer clock;
        clock.start();
        for (int k = 0; k < kWorkers; ++k)
            threads.push_back(spawn([&, k] { runWorker(k, port, loadMs, 20000, models[size_t(k)], outcomes[size_t(k)]); }));
        threads.push_back(spawn([&] { runChurn(port, loadMs, 200, outcomes[kWorkers], churnRounds); }));
        threads.push_back(spawn([&] { runTrickle(port, 24, models[kWorkers], outcomes[kWorkers + 1]); }));
        threads.push_back(spawn([&] {
            Outcome &o = outcomes[kWorkers + 2];
            // Garbage, then an impossible length field, then half a request.
            BlockingClient g;
            if (g.connectTo(port)) {
                QByteArray junk(1 << 20, '\0');
                std::mt19937 rnd(3);
                for (char &b : junk)
                    b = char(rnd());
                g.send(junk, 3000);
                if (!g.waitClosed(5000))
                    o.fail("garbage: connection kept");
            }
            BlockingClient l;
            if (l.connectTo(port)) {
                QByteArray req = mbap(1, 1, QByteArray(1, 3) + be16(0) + be16(1));
                req[4] = char(0xFF);
                req[5] = char(0xFF);
                l.send(req);
                if (!l.waitClosed(5000))
                    o.fail("length 0xFFFF: connection kept");
            }
            BlockingClient h;
            if (h.connectTo(port)) {
                h.send(mbap(1, 1, QByteArray(1, 6) + be16(0) + be16(1)).left(8));
                h.socket().abort();
            }
            o.connections += 3;
        }));

        int held = 0;
        const bool done = waitUntil(
            [&] {
                held = std::max(held, f.clientCount());
                return allFinished(threads);
            },
            90000);
        const qint64 elapsed = clock.elapsed();
        for (auto &t : threads)
            t->wait(done ? 10000 : 1);
        QVERIFY2(done, "the clients did not finish");

        long requests = 0, writes = 0, written = 0, connections = 0;
        for (const Outcome &o : outcomes) {
            QVERIFY2(o.errors.isEmpty(), qPrintable(o.errors.join('\n')));
            requests += o.requests;
            writes += o.writes;
            written += o.written;
            connections += o.connections;
        }
        QVERIFY(churnRounds > 0);

        // Every acknowledged write is in the tables and in the grids; the
        // read-only tables are as they were.
        int verified = 0;
        for (int n = 0; n < kSlaveEntries; ++n) {
            const Model &m = models[size_t(n < kNastyBase ? n / kSpan : kWorkers)];
            QCOMPARE(f.tables.holdingRegisters[n], m.regs[size_t(n)]);
            QCOMPARE(f.StringGrid3->cellText(2, n + 1), QString::asprintf("0x%04X", m.regs[size_t(n)]));
            QCOMPARE(f.tables.ReadCoil(uint16_t(n)), uint16_t(m.coils[size_t(n)]));
            // Coil n is in row n / 8 + 1, bits 7..0 of the row in columns 1..8.
            QCOMPARE(f.StringGrid1->cellText(8 - n % 8, n / 8 + 1),
                     QString(m.coils[size_t(n)] ? "On" : "Off"));
            QCOMPARE(f.tables.inputRegisters[n], inputRegisterValue(n));
            QCOMPARE(f.tables.ReadInputRelay(uint16_t(n)), uint16_t(0));
            verified += 2;
        }
        QVERIFY(waitUntil([&] { return f.clientCount() == 0; }, 10000));
        QVERIFY2(boxes_.isEmpty(), qPrintable(boxes_.join('\n')));
        f.BitBtn2Click();
        QVERIFY(!f.serverOpen());

        qInfo("ROBUST slave-tcp: %ld connections (%d churn rounds of %d clients, up to %d held at once), "
              "%ld requests answered and checked, %ld acknowledged writes setting %ld entries, "
              "%d table entries verified against the model, longest event-loop stall %.1f ms, %lld ms in all",
              connections, churnRounds, kChurnClients, held, requests, writes, written, verified, watch.longestMs(),
              static_cast<long long>(elapsed));
        // Loose bound: the window is never held for seconds.
        QVERIFY2(watch.longestMs() < 3000, qPrintable(QString::number(watch.longestMs())));
    }
};

QTEST_MAIN(TestRobustSlaveTcp)
#include "tst_robust_slave_tcp.moc"

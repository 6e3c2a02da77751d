// quillan-slave as a black box: the built program (or the one $QUILLAN_SLAVE
// names, such as an installed one) run with its options, against pymodbus,
// mbpoll and libmodbus clients over loopback and socat pty pairs.
#include <QtTest>
#include <QNetworkDatagram>
#include <QUdpSocket>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <modbus.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Headless_child.h"
#include "corvane.h"

namespace {

// libmodbus over TCP or a serial device; each call one request.
class Libmodbus {
public:
    explicit Libmodbus(modbus_t *ctx) : ctx_(ctx)
    {
        if (!ctx_)
            return;
        modbus_set_slave(ctx_, 1);
        modbus_set_response_timeout(ctx_, 3, 0);
        ok_ = modbus_connect(ctx_) == 0;
    }
    ~Libmodbus()
    {
        if (ctx_) {
            modbus_close(ctx_);
            modbus_free(ctx_);
        }
    }
    bool ok() const { return ok_; }
    modbus_t *ctx() { return ctx_; }

private:
    modbus_t *ctx_;
    bool ok_ = false;
};

// One read of holding register 0 as unit: "OK" (then the value, when not 0),
// "EXC n", "TIMEOUT", "BADCRC", or libmodbus's text for anything else.
QString readOnce(modbus_t *ctx, int unit)
{
    modbus_set_slave(ctx, unit);
    uint16_t value = 0;
    if (modbus_read_registers(ctx, 0, 1, &value) == 1)
        return value ? QString("OK %1").arg(value) : QString("OK");
    const int e = errno;
    if (e > MODBUS_ENOBASE && e <= EMBXGTAR)
        return QString("EXC %1").arg(e - MODBUS_ENOBASE);
    if (e == ETIMEDOUT)
        return "TIMEOUT";
    if (e == EMBBADCRC)
        return "BADCRC";
    return modbus_strerror(e);
}

QByteArray withCrc(const char *hex)
{
    QByteArray b = QByteArray::fromHex(hex);
    uint8_t crc[2];
    CRC_check(reinterpret_cast<const uint8_t *>(b.constData()), int32_t(b.size()), crc);
    return b + QByteArray(reinterpret_cast<const char *>(crc), 2);
}

// What arrives on a socket within ms.
QByteArray answerWithin(QAbstractSocket &s, int ms)
{
    QByteArray got;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms && s.waitForReadyRead(int(ms - t.elapsed())))
        got += s.readAll();
    return got;
}

// readOnce in frames made by hand, for the framings libmodbus does not
// speak: Modbus/UDP ("udp") and RTU over TCP ("rtutcp").
QString readByHand(QAbstractSocket &s, bool udp, int unit)
{
    const QByteArray request = QByteArray(1, char(unit)) + QByteArray::fromHex("0300000001");
    s.write(udp ? QByteArray::fromHex("000100000006") + request : withCrc(request.toHex().constData()));
    const QByteArray a = answerWithin(s, 1000);
    const QByteArray pdu = udp ? a.mid(7) : a.mid(1, a.size() - 3);  // less the header or address and CRC
    if (a.isEmpty())
        return "TIMEOUT";
    if (pdu.size() == 2 && uchar(pdu[0]) == 0x83)
        return QString("EXC %1").arg(uchar(pdu[1]));
    if (pdu.size() == 4 && pdu[0] == 3 && pdu[1] == 2) {
        const int value = uchar(pdu[2]) << 8 | uchar(pdu[3]);
        return value ? QString("OK %1").arg(value) : QString("OK");
    }
    return "BAD " + a.toHex();
}

QString readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString("(no file)");
}

QRegularExpression summaryLine()
{
    return QRegularExpression("^quillan-slave: Req (\\d+)  Ans (\\d+)  Exc (\\d+)  Err (\\d+)  Ign (\\d+)  Drop (\\d+)$",
                              QRegularExpression::MultilineOption);
}

}  // namespace

class TestHeadlessSlave : public QObject {
    Q_OBJECT
private slots:
    void badOptions_data();
    void badOptions();
    void noTransportShowsHelp();
    void helpAndVersion();
    void cannotOpen_data();
    void cannotOpen();
    void tcpClientsAndSigterm();
    void transportsShareOneSetOfTables();
    void delayedAnswersComeLateInOrder();
    void twoThousandConnections();
    void faultsAndUnitFilter_data();
    void faultsAndUnitFilter();
    void faultsSeenByPymodbus_data();
    void faultsSeenByPymodbus();
    void badTableFiles_data();
    void badTableFiles();
    void loadAndSaveRoundTrip();
    void sigtermWithSaveLosesNothingAnswered();
    void unreadOutputNeverStallsServingOrEnd();
    void logStampsAnswersWhenSent();
    void descriptorLimitRaised();
    void rtuOverTcpAndUdp();
    void udpAnyDatagramFromManySenders();
};

void TestHeadlessSlave::badOptions_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("named");  // the option the one line must name
    const QStringList tcp = {"--tcp", "1502"};
    QTest::newRow("unknown option") << QStringList{"--tcp", "1502", "--verbose"} << "--verbose";
    QTest::newRow("argument") << QStringList{"--tcp", "1502", "stray"} << "stray";
    QTest::newRow("no value") << QStringList{"--tcp"} << "--tcp";
    QTest::newRow("port too big") << QStringList{"--tcp", "70000"} << "--tcp 70000";
    QTest::newRow("port not a number") << QStringList{"--tcp", "127.0.0.1:http"} << "--tcp";
    QTest::newRow("host by name") << QStringList{"--tcp", "example.org:1502"} << "--tcp";
    QTest::newRow("ipv6 without brackets") << QStringList{"--tcp", "::1:1502"} << "--tcp";
    QTest::newRow("COM14") << QStringList{"--rtu", "COM14"} << "--rtu COM14";
    QTest::newRow("same device twice") << QStringList{"--rtu", "COM1", "--ascii", "COM1"} << "--ascii COM1";
    QTest::newRow("baud") << QStringList{"--rtu", "COM1", "--baud", "12345"} << "--baud 12345";
    QTest::newRow("parity") << QStringList{"--rtu", "COM1", "--parity", "X"} << "--parity X";
    QTest::newRow("data bits") << QStringList{"--rtu", "COM1", "--data-bits", "9"} << "--data-bits 9";
    QTest::newRow("stop bits") << QStringList{"--rtu", "COM1", "--stop-bits", "3"} << "--stop-bits 3";
    QTest::newRow("line settings without a line") << (tcp + QStringList{"--parity", "E"}) << "--parity";
    QTest::newRow("unit list") << (tcp + QStringList{"--unit", "a"}) << "--unit a";
    QTest::newRow("empty load") << (tcp + QStringList{"--load", ""}) << "--load";
    QTest::newRow("delay") << (tcp + QStringList{"--delay", "10001"}) << "--delay 10001";
    QTest::newRow("negative delay") << (tcp + QStringList{"--delay=-5"}) << "--delay -5";
    QTest::newRow("drop every") << (tcp + QStringList{"--drop-every", "x"}) << "--drop-every x";
    QTest::newRow("exception 05") << (tcp + QStringList{"--exception", "05"}) << "--exception 05";
    QTest::newRow("corrupt without a line") << (tcp + QStringList{"--corrupt"}) << "--corrupt";
    QTest::newRow("flag with a value") << (tcp + QStringList{"--log=yes"}) << "--log";
    QTest::newRow("flag with an empty value") << (tcp + QStringList{"--log="}) << "--log";
    QTest::newRow("duration 0") << (tcp + QStringList{"--duration", "0"}) << "--duration 0";
    QTest::newRow("idle timeout without tcp") << QStringList{"--rtu", "COM1", "--idle-timeout", "5"} << "--idle-timeout";
    QTest::newRow("idle timeout on udp") << QStringList{"--udp", "1502", "--idle-timeout", "5"} << "--idle-timeout";
    QTest::newRow("rtu over tcp port") << QStringList{"--rtu-over-tcp", "70000"} << "--rtu-over-tcp 70000";
    QTest::newRow("udp host by name") << QStringList{"--udp", "example.org:1502"} << "--udp";
}

void TestHeadlessSlave::badOptions()
{
    QFETCH(QStringList, args);
    QFETCH(QString, named);
    const Finished f = runToEnd(slaveProgram(), args);
    QCOMPARE(f.status, 2);
    const QStringList lines = f.err.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines[0].startsWith("quillan-slave: ") && lines[0].contains(named), qPrintable(lines[0]));
    QVERIFY(f.out.isEmpty());
}

void TestHeadlessSlave::noTransportShowsHelp()
{
    const Finished f = runToEnd(slaveProgram(), {"--log"});
    QCOMPARE(f.status, 2);
    QVERIFY(f.err.startsWith("Usage: quillan-slave [options]"));
}

void TestHeadlessSlave::helpAndVersion()
{
    const Finished help = runToEnd(slaveProgram(), {"--help"});
    QCOMPARE(help.status, 0);
    for (const char *option : {"--tcp [HOST:]PORT", "--rtu DEVICE", "--ascii DEVICE", "--baud N", "--parity N|E|O",
                               "--data-bits 7|8", "--stop-bits 1|2", "--unit LIST", "--load FILE.csv",
                               "--save FILE.csv", "--delay MS", "--drop-every N", "--exception CODE", "--corrupt",
                               "--log", "--duration S", "--idle-timeout S", "--help", "--version",
                               "--rtu-over-tcp [HOST:]PORT", "--udp [HOST:]PORT"})
        QVERIFY2(help.out.contains(option), option);
    const Finished version = runToEnd(slaveProgram(), {"--version"});
    QCOMPARE(version.status, 0);
    QVERIFY2(QRegularExpression("^quillan-slave \\d+\\.\\d+\\.\\d+\\n$").match(version.out).hasMatch(),
             qPrintable(version.out));
}

void TestHeadlessSlave::cannotOpen_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("reason");
    QTest::newRow("port in use") << QStringList{"--tcp", "PORT"} << "--tcp 127.0.0.1:PORT: Address already in use";
    QTest::newRow("udp port in use") << QStringList{"--udp", "PORT"} << "--udp 127.0.0.1:PORT: Address already in use";
    QTest::newRow("address not here") << QStringList{"--tcp", "192.0.2.1:1502"}
                                      << "--tcp 192.0.2.1:1502: Cannot assign requested address";
    QTest::newRow("no device") << QStringList{"--rtu", "/nonexistent/tty"}
                               << "--rtu /nonexistent/tty: No such file or directory";
    QTest::newRow("not a terminal") << QStringList{"--ascii", "/dev/null"}
                                    << "--ascii /dev/null: Inappropriate ioctl for device";
}

void TestHeadlessSlave::cannotOpen()
{
    QFETCH(QStringList, args);
    QFETCH(QString, reason);
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
    QUdpSocket takenUdp;
    QVERIFY(takenUdp.bind(QHostAddress::LocalHost, taken.serverPort()));
    const QString port = QString::number(taken.serverPort());
    args.replaceInStrings("PORT", "127.0.0.1:" + port);
    const Finished f = runToEnd(slaveProgram(), args);
    QCOMPARE(f.status, 1);
    QCOMPARE(f.err.trimmed(), "quillan-slave: " + reason.replace("PORT", port));
}

void TestHeadlessSlave::tcpClientsAndSigterm()
{
    const quint16 port = freeLoopbackPort();
    SlaveRun slave;
    QVERIFY2(slave.start({"--tcp", QString::number(port), "--log"}, 1), qPrintable(slave.err()));
    const QString where = "127.0.0.1:" + QString::number(port);

    QCOMPARE(pymodbus("tcp", where, {"wrs:10:1,65534,3", "wcs:5:1,0,1", "rh:10:3"}),
             QStringList({"OK", "OK", "OK 1 65534 3"}));
    QCOMPARE(mbpoll({"-t", "4", "-r", "10", "-c", "3", "-p", QString::number(port), "127.0.0.1"}),
             QStringList({"1", "65534", "3"}));
    {
        Libmodbus mb(modbus_new_tcp("127.0.0.1", port));
        QVERIFY(mb.ok());
        uint8_t bits[3] = {};
        QCOMPARE(modbus_read_bits(mb.ctx(), 5, 3, bits), 3);
        QCOMPARE(QList<int>({bits[0], bits[1], bits[2]}), QList<int>({1, 0, 1}));
        uint16_t reg = 0;
        QCOMPARE(modbus_read_registers(mb.ctx(), 1024, 1, &reg), -1);  // beyond the table
        QCOMPARE(errno, int(EMBXILADD));
    }

    QCOMPARE(slave.terminate(), 0);
    const auto m = summaryLine().match(slave.err());
    QVERIFY2(m.hasMatch(), qPrintable(slave.err()));
    QCOMPARE(m.captured(1), QString("6"));  // pymodbus 3, mbpoll 1, libmodbus 2
    QCOMPARE(m.captured(2), QString("6"));
    QCOMPARE(m.captured(3), QString("1"));
    // --log: one line per event, with the time to the millisecond and the peer.
    const QStringList log = slave.out().split('\n', Qt::SkipEmptyParts);
    static const QRegularExpression line(
        "^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} (RX|TX|--) 127\\.0\\.0\\.1:\\d+ \\S");
    for (const QString &l : log)
        QVERIFY2(line.match(l).hasMatch(), qPrintable(l));
    QCOMPARE(log.filter(QRegularExpression(" RX ")).size(), 6);
    QCOMPARE(log.filter(QRegularExpression(" TX ")).size(), 6);
    QCOMPARE(log.filter("Client Connect").size(), 3);
    QVERIFY(log.filter(QRegularExpression(" TX 127\\.0\\.0\\.1:\\d+ 00 01 00 00 00 06 01 10 00 0A 00 03  tid 1 unit 1 fn 16 ")).size() == 1);
}

void TestHeadlessSlave::transportsShareOneSetOfTables()
{
    PtyPair rtu, ascii;
    QVERIFY(rtu.ok() && ascii.ok());
    const quint16 port = freeLoopbackPort();
    SlaveRun slave;
    QVERIFY2(slave.start({"--tcp", QString::number(port), "--rtu", rtu.a(), "--ascii", ascii.a()}, 3),
             qPrintable(slave.err()));
    {
        Libmodbus tcp(modbus_new_tcp("127.0.0.1", port));
        QVERIFY(tcp.ok());
        QCOMPARE(modbus_write_register(tcp.ctx(), 7, 4321), 1);
    }
    // Written over TCP, read over RTU by pymodbus; written over ASCII, read
    // over RTU by mbpoll and over TCP by libmodbus.
    QCOMPARE(pymodbus("rtu", rtu.b(), {"rh:7:1"}), QStringList({"OK 4321"}));
    QCOMPARE(pymodbus("ascii", ascii.b(), {"wr:8:99", "rh:7:2"}), QStringList({"OK", "OK 4321 99"}));
    QCOMPARE(mbpoll({"-m", "rtu", "-b", "9600", "-P", "none", "-a", "1", "-t", "4", "-r", "8", rtu.b()}),
             QStringList({"99"}));
    {
        Libmodbus mb(modbus_new_rtu(rtu.b().toLocal8Bit().constData(), 9600, 'N', 8, 1));
        QVERIFY(mb.ok());
        QCOMPARE(modbus_write_bit(mb.ctx(), 3, 1), 1);
        Libmodbus tcp(modbus_new_tcp("127.0.0.1", port));
        uint8_t bit = 0;
        QCOMPARE(modbus_read_bits(tcp.ctx(), 3, 1, &bit), 1);
        QCOMPARE(int(bit), 1);
    }
    QCOMPARE(slave.terminate(), 0);
    QVERIFY2(slave.err().contains(QRegularExpression("Req 7  Ans 7  Exc 0  Err 0")), qPrintable(slave.err()));
}

void TestHeadlessSlave::delayedAnswersComeLateInOrder()
{
    const quint16 port = freeLoopbackPort();
    SlaveRun slave;
    QVERIFY(slave.start({"--tcp", QString::number(port), "--delay", "300"}, 1));
    QTcpSocket c;
    c.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(c.waitForConnected(3000));
    // Three reads in one segment: each answered 300 ms after it came, all
    // three together, in the order asked.
    QByteArray three;
    for (char t = 1; t <= 3; ++t)
        three += QByteArray::fromHex("000000000006010300000001").replace(1, 1, QByteArray(1, t));
    QElapsedTimer clock;
    clock.start();
    c.write(three);
    QByteArray got;
    while (got.size() < 33 && clock.elapsed() < 5000 && c.waitForReadyRead(5000))
        got += c.readAll();
    const qint64 ms = clock.elapsed();
    QByteArray want;
    for (char t = 1; t <= 3; ++t)
        want += QByteArray::fromHex("0000000000050103020000").replace(1, 1, QByteArray(1, t));
    QCOMPARE(got.toHex(), want.toHex());
    QVERIFY2(ms >= 290 && ms < 1500, qPrintable(QString::number(ms)));
    QCOMPARE(slave.terminate(), 0);
}

void TestHeadlessSlave::twoThousandConnections()
{
    constexpr int kClients = 2000, kRounds = 3;
    // Both this test and the program (which inherits the limit) need a
    // descriptor per connection.
    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    const rlim_t want = kClients + 200;
    if (rl.rlim_cur < want) {
        if (rl.rlim_max != RLIM_INFINITY && rl.rlim_max < want)
            QFAIL(qPrintable(QString("the hard limit of open files (%1) is below %2").arg(rl.rlim_max).arg(want)));
        rl.rlim_cur = want;
        QVERIFY(setrlimit(RLIMIT_NOFILE, &rl) == 0);
    }
    const quint16 port = freeLoopbackPort();
    SlaveRun slave;
    QVERIFY(slave.start({"--tcp", QString::number(port)}, 1));
    {
        Libmodbus mb(modbus_new_tcp("127.0.0.1", port));
        uint16_t values[100];
        for (int i = 0; i < 100; ++i)
            values[i] = uint16_t(5000 + i);
        QCOMPARE(modbus_write_registers(mb.ctx(), 0, 100, values), 100);
    }

    std::vector<pollfd> fds(kClients);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (auto &p : fds) {
        p.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        QVERIFY(p.fd >= 0);
        const int r = ::connect(p.fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        QVERIFY(r == 0 || errno == EINPROGRESS);
    }
    // Every client asks, in turn, for one register of its own and checks the
    // answer; all are connected at once the whole time.
    std::vector<int> done(kClients, 0);
    std::vector<qint64> askedAt(kClients, -1);
    QElapsedTimer clock;
    clock.start();
    qint64 longest = 0;
    int served = 0, wrong = 0;
    auto ask = [&](int i) {
        const int reg = i % 100;
        const uint8_t req[] = {uint8_t(i >> 8), uint8_t(i), 0, 0, 0, 6, 1, 3, 0, uint8_t(reg), 0, 1};
        if (::send(fds[size_t(i)].fd, req, sizeof req, MSG_NOSIGNAL) == ssize_t(sizeof req))
            askedAt[size_t(i)] = clock.elapsed();
    };
    for (auto &p : fds)
        p.events = POLLOUT;
    while (served < kClients * kRounds && clock.elapsed() < 30000) {
        if (poll(fds.data(), fds.size(), 1000) <= 0)
            continue;
        for (int i = 0; i < kClients; ++i) {
            pollfd &p = fds[size_t(i)];
            if ((p.revents & POLLOUT) && askedAt[size_t(i)] < 0) {
                ask(i);
                p.events = POLLIN;
            } else if (p.revents & POLLIN) {
                uint8_t b[64];
                const ssize_t n = ::recv(p.fd, b, sizeof b, 0);
                const int reg = i % 100;
                const uint8_t want[] = {uint8_t(i >> 8), uint8_t(i), 0, 0, 0, 5, 1, 3, 2,
                                        uint8_t((5000 + reg) >> 8), uint8_t(5000 + reg)};
                if (n != ssize_t(sizeof want) || memcmp(b, want, sizeof want) != 0)
                    ++wrong;
                longest = std::max(longest, clock.elapsed() - askedAt[size_t(i)]);
                ++served;
                if (++done[size_t(i)] < kRounds)
                    ask(i);
                else
                    p.events = 0;
            } else if (p.revents & (POLLERR | POLLHUP)) {
                ++wrong;
                p.events = 0;
            }
        }
    }
    const QString rss = slave.residentMemory();
    for (auto &p : fds)
        ::close(p.fd);
    qInfo("%d connections, %d requests served in %lld ms, longest wait %lld ms, program's resident memory %s",
          kClients, served, clock.elapsed(), longest, qPrintable(rss));
    QCOMPARE(wrong, 0);
    QCOMPARE(served, kClients * kRounds);
    QCOMPARE(slave.terminate(), 0);
}

void TestHeadlessSlave::faultsAndUnitFilter_data()
{
    // tcp or rtu (libmodbus over a pty pair), udp or rtutcp (frames by hand)
    QTest::addColumn<QString>("transport");
    QTest::addColumn<QStringList>("args");  // DIR holds a.csv and b.csv, maps of 40001 = 11 and 22
    QTest::addColumn<QStringList>("steps");  // "UNIT RESULT": one read of holding register 0 each
    QTest::addColumn<QString>("logged");     // a line --log must hold
    QTest::addColumn<QString>("summary");
    QTest::newRow("tcp drop every 2nd") << "tcp" << QStringList{"--drop-every", "2"}
                                        << QStringList{"1 OK", "1 TIMEOUT", "1 OK", "1 TIMEOUT"}
                                        << "Dropped (every 2nd)" << "Req 4  Ans 2  Exc 0  Err 0  Ign 0  Drop 2";
    QTest::newRow("tcp exception 04") << "tcp" << QStringList{"--exception", "04"} << QStringList{"1 EXC 4", "7 EXC 4"}
                                      << "Forced exception 04" << "Req 2  Ans 2  Exc 2  Err 0  Ign 0  Drop 0";
    QTest::newRow("tcp unit filter") << "tcp" << QStringList{"--unit", "1, 5-6"}
                                     << QStringList{"9 EXC 11", "5 OK", "0 EXC 11"} << "Ignored: unit 9"
                                     << "Req 3  Ans 3  Exc 2  Err 0  Ign 2  Drop 0";
    QTest::newRow("rtu unit filter") << "rtu" << QStringList{"--unit", "1"} << QStringList{"9 TIMEOUT", "1 OK"}
                                     << "Ignored: unit 9" << "Req 2  Ans 1  Exc 0  Err 0  Ign 1  Drop 0";
    QTest::newRow("rtu drop every 3rd") << "rtu" << QStringList{"--drop-every", "3"}
                                        << QStringList{"1 OK", "1 OK", "1 TIMEOUT", "1 OK"} << "Dropped (every 3rd)"
                                        << "Req 4  Ans 3  Exc 0  Err 0  Ign 0  Drop 1";
    QTest::newRow("rtu corrupt") << "rtu" << QStringList{"--corrupt"} << QStringList{"1 BADCRC", "1 BADCRC"}
                                 << "Checksum corrupted" << "Req 2  Ans 2  Exc 0  Err 0  Ign 0  Drop 0";
    QTest::newRow("rtu exception 02 delayed") << "rtu" << QStringList{"--exception", "2", "--delay", "300"}
                                              << QStringList{"1 EXC 2"} << "Delayed 300 ms"
                                              << "Req 1  Ans 1  Exc 1  Err 0  Ign 0  Drop 0";
    // Devices of their own: a unit no --device names is filtered, refused
    // with 0B where the framing has MBAP and unanswered where it is RTU.
    const QStringList devices{"--device", "1=DIR/a.csv", "--device", "2=DIR/b.csv"};
    QTest::newRow("udp devices") << "udp" << devices << QStringList{"1 OK 11", "2 OK 22", "3 EXC 11"}
                                 << "Ignored: unit 3" << "Req 3  Ans 3  Exc 1  Err 0  Ign 1  Drop 0";
    QTest::newRow("rtu over tcp devices") << "rtutcp" << devices << QStringList{"2 OK 22", "3 TIMEOUT", "1 OK 11"}
                                          << "Ignored: unit 3" << "Req 3  Ans 2  Exc 0  Err 0  Ign 1  Drop 0";
}

void TestHeadlessSlave::faultsAndUnitFilter()
{
    QFETCH(QString, transport);
    QFETCH(QStringList, args);
    QFETCH(QStringList, steps);
    QFETCH(QString, logged);
    QFETCH(QString, summary);
    PtyPair pty;
    const quint16 port = freeLoopbackPort();
    if (transport == "rtu")
        QVERIFY(pty.ok());
    QTemporaryDir dir;
    for (const char *map : {"a", "b"}) {
        QFile f(dir.filePath(QString(map) + ".csv"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray("name,address,initial\nsp,40001,") + (map[0] == 'a' ? "11\n" : "22\n"));
    }
    const QString option = transport == "rtutcp" ? "--rtu-over-tcp" : "--" + transport;
    const QStringList where = {option, transport == "rtu" ? pty.a() : QString::number(port)};
    SlaveRun slave;
    QVERIFY2(slave.start(where + args.replaceInStrings("DIR", dir.path()) + QStringList{"--log"}, 1),
             qPrintable(slave.err()));
    {
        const bool byHand = transport == "udp" || transport == "rtutcp";
        Libmodbus mb(byHand ? nullptr
                     : transport == "tcp" ? modbus_new_tcp("127.0.0.1", port)
                                          : modbus_new_rtu(pty.b().toLocal8Bit().constData(), 9600, 'N', 8, 1));
        QUdpSocket udp;
        QTcpSocket tcp;
        QAbstractSocket &socket = transport == "udp" ? static_cast<QAbstractSocket &>(udp) : tcp;
        if (byHand) {
            socket.connectToHost(QHostAddress::LocalHost, port);
            QVERIFY(socket.waitForConnected(3000));
        } else {
            QVERIFY(mb.ok());
            modbus_set_response_timeout(mb.ctx(), 1, 0);
        }
        QElapsedTimer clock;
        clock.start();
        QStringList got;
        for (const QString &step : steps) {
            const int unit = step.section(' ', 0, 0).toInt();
            got << QString::number(unit) + " " +
                       (byHand ? readByHand(socket, transport == "udp", unit) : readOnce(mb.ctx(), unit));
        }
        QCOMPARE(got, steps);
        if (args.contains("--delay"))
            QVERIFY2(clock.elapsed() >= 290, qPrintable(QString::number(clock.elapsed())));
    }
    QCOMPARE(slave.terminate(), 0);
    QVERIFY2(slave.out().contains(logged), qPrintable(slave.out()));
    QVERIFY2(slave.err().contains("quillan-slave: " + summary + "\n"), qPrintable(slave.err()));
}

void TestHeadlessSlave::faultsSeenByPymodbus_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("result");  // the start of pymodbus's result
    QTest::newRow("tcp exception 06") << "tcp" << QStringList{"--exception", "06"} << "EXC 6";
    QTest::newRow("ascii exception 0B") << "ascii" << QStringList{"--exception", "0b"} << "EXC 11";
    QTest::newRow("ascii corrupt") << "ascii" << QStringList{"--corrupt"} << "ERR";
}

void TestHeadlessSlave::faultsSeenByPymodbus()
{
    QFETCH(QString, mode);
    QFETCH(QStringList, args);
    QFETCH(QString, result);
    PtyPair pty;
    const quint16 port = freeLoopbackPort();
    const bool tcp = mode == "tcp";
    QVERIFY(tcp || pty.ok());
    SlaveRun slave;
    QVERIFY(slave.start((tcp ? QStringList{"--tcp", QString::number(port)} : QStringList{"--ascii", pty.a()}) + args, 1));
    const QStringList got = pymodbus(mode, tcp ? "127.0.0.1:" + QString::number(port) : pty.b(), {"rh:0:2"});
    QCOMPARE(got.size(), 1);
    QVERIFY2(got[0].startsWith(result), qPrintable(got[0]));
    QCOMPARE(slave.terminate(), 0);
}

void TestHeadlessSlave::badTableFiles_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("content");  // of DIR/t.csv; empty: no file
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("message");  // after "quillan-slave: "; DIR stands for the directory
    QTest::newRow("address twice") << "--load" << "40001,5\n40001,6\n# ok\n40002,70000\n" << "DIR/t.csv"
                                   << "--load: DIR/t.csv: line 2: 40001,6: address given twice (line 1)";
    QTest::newRow("value out of range") << "--load" << "address,value\r\n40001,70000\r\n" << "DIR/t.csv"
                                        << "--load: DIR/t.csv: line 2: 40001,70000: value out of range";
    QTest::newRow("missing file") << "--load" << "" << "DIR/none.csv"
                                  << "--load: cannot open DIR/none.csv: No such file or directory";
    QTest::newRow("save in no directory") << "--save" << "" << "DIR/none/t.csv"
                                          << "--save: cannot write in DIR/none: No such file or directory";
    QTest::newRow("save to a directory") << "--save" << "" << "DIR" << "--save: DIR: Is a directory";
}

void TestHeadlessSlave::badTableFiles()
{
    QFETCH(QString, option);
    QFETCH(QString, content);
    QFETCH(QString, file);
    QFETCH(QString, message);
    QTemporaryDir dir;
    if (!content.isEmpty()) {
        QFile f(dir.path() + "/t.csv");
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content.toUtf8());
    }
    const Finished f = runToEnd(slaveProgram(),
                                {"--tcp", QString::number(freeLoopbackPort()), option, file.replace("DIR", dir.path())});
    QCOMPARE(f.status, 2);
    QCOMPARE(f.err, "quillan-slave: " + message.replace("DIR", dir.path()) + "\n");
}

void TestHeadlessSlave::loadAndSaveRoundTrip()
{
    QTemporaryDir dir;
    const QString in = dir.path() + "/in.csv", out = dir.path() + "/out.csv";
    {
        QFile f(in);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("00002,1\n10003,1\n30004,-2\n40005,65535\n41024,7\n");
    }
    PtyPair rtu;
    QVERIFY(rtu.ok());
    const quint16 port = freeLoopbackPort();
    SlaveRun slave;
    QVERIFY(slave.start({"--tcp", QString::number(port), "--rtu", rtu.a(), "--load", in, "--save", out}, 2));
    {
        Libmodbus mb(modbus_new_tcp("127.0.0.1", port));
        QVERIFY(mb.ok());
        uint8_t bits[2] = {};
        uint16_t regs[2] = {};
        QCOMPARE(modbus_read_bits(mb.ctx(), 0, 2, bits), 2);
        QCOMPARE(QList<int>({bits[0], bits[1]}), QList<int>({0, 1}));
        QCOMPARE(modbus_read_input_bits(mb.ctx(), 2, 1, bits), 1);
        QCOMPARE(int(bits[0]), 1);
        QCOMPARE(modbus_read_input_registers(mb.ctx(), 3, 1, regs), 1);
        QCOMPARE(int(regs[0]), 65534);
        QCOMPARE(modbus_read_registers(mb.ctx(), 4, 1, regs), 1);
        QCOMPARE(int(regs[0]), 65535);
        QCOMPARE(modbus_write_register(mb.ctx(), 0, 100), 1);
    }
    QCOMPARE(pymodbus("rtu", rtu.b(), {"wc:1:0", "wr:1023:0"}), QStringList({"OK", "OK"}));
    QCOMPARE(slave.terminate(), 0);
    QCOMPARE(readFile(out), QString("10003,1\n30004,-2\n40001,100\n40005,-1\n"));
}

void TestHeadlessSlave::sigtermWithSaveLosesNothingAnswered()
{
    QTemporaryDir dir;
    const QString out = dir.path() + "/out.csv";
    const quint16 port = freeLoopbackPort();
    SlaveRun slave;
    QVERIFY(slave.start({"--tcp", QString::number(port), "--save", out}, 1));
    // Writes go on while SIGTERM arrives; every one the program answered
    // must be in the file, whichever came last.
    std::vector<int> answered(1024, 0);
    int writes = 0;
    {
        Libmodbus mb(modbus_new_tcp("127.0.0.1", port));
        QVERIFY(mb.ok());
        modbus_set_response_timeout(mb.ctx(), 1, 0);
        for (; writes < 20000; ++writes) {
            if (writes == 300)
                slave.signalTerm();
            const int value = writes + 1;
            if (modbus_write_register(mb.ctx(), writes % 1024, uint16_t(value)) != 1)
                break;
            answered[size_t(writes % 1024)] = value;
        }
    }
    QVERIFY2(writes >= 300 && writes < 20000, qPrintable(QString::number(writes)));
    QCOMPARE(slave.finished(), 0);
    QString want;
    for (int a = 0; a < 1024; ++a)
        if (answered[size_t(a)])
            want += QString("%1,%2\n").arg(40001 + a).arg(int16_t(answered[size_t(a)]));
    QCOMPARE(readFile(out), want);
}

// --log into a stdout nobody reads, and at the end a stderr that is full
// too: all 10 000 requests are served, and SIGTERM ends the program within
// 2 s with its tables saved.
void TestHeadlessSlave::unreadOutputNeverStallsServingOrEnd()
{
    QTemporaryDir dir;
    const QString out = dir.path() + "/out", err = dir.path() + "/err", saved = dir.path() + "/t.csv";
    QVERIFY(mkfifo(qPrintable(out), 0600) == 0 && mkfifo(qPrintable(err), 0600) == 0);
    // Read ends held open, so that the program can open the write ends.
    const int outR = open(qPrintable(out), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const int errR = open(qPrintable(err), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(outR >= 0 && errR >= 0);
    const quint16 port = freeLoopbackPort();
    QProcess p;
    p.setStandardOutputFile(out);
    p.setStandardErrorFile(err);
    p.start(slaveProgram(), {"--tcp", QString::number(port), "--log", "--save", saved});
    char started[64] = {};
    QVERIFY(waitUntil([&] { return read(errR, started, sizeof started - 1) > 0 && strstr(started, "serving"); }, 10000));
    QElapsedTimer t;
    t.start();
    int answered = 0;
    {
        Libmodbus mb(modbus_new_tcp("127.0.0.1", port));
        QVERIFY(mb.ok());
        modbus_set_response_timeout(mb.ctx(), 1, 0);
        while (answered < 10000 && modbus_write_register(mb.ctx(), answered % 100, uint16_t(answered)) == 1)
            ++answered;
    }
    QCOMPARE(answered, 10000);
    const qint64 servingMs = t.elapsed();
    const int errW = open(qPrintable(err), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(errW >= 0);
    while (write(errW, "x", 1) == 1) {
    }
    t.restart();
    p.terminate();
    QVERIFY(p.waitForFinished(5000));
    qInfo("stdout not read: 10000 requests served in %lld ms; with stderr full too, ended %lld ms after SIGTERM",
          servingMs, t.elapsed());
    QVERIFY2(t.elapsed() < 2000, qPrintable(QString::number(t.elapsed())));
    QCOMPARE(p.exitCode(), 0);
    QString want;
    for (int a = 0; a < 100; ++a)
        want += QString("%1,%2\n").arg(40001 + a).arg(9900 + a);
    QCOMPARE(readFile(saved), want);
    for (int fd : {outR, errR, errW})
        ::close(fd);
}

// --log with --delay: a TX line carries the time the answer went out, and
// an answer whose client left first gets a line that says it was not sent.
void TestHeadlessSlave::logStampsAnswersWhenSent()
{
    const quint16 port = freeLoopbackPort();
    SlaveRun slave;
    QVERIFY(slave.start({"--tcp", QString::number(port), "--delay", "300", "--log"}, 1));
    QTcpSocket c;
    c.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(c.waitForConnected(3000));
    c.write(QByteArray::fromHex("000100000006010300000001"));
    QVERIFY(c.waitForReadyRead(3000));
    c.write(QByteArray::fromHex("000200000006010300000001"));
    QVERIFY(waitUntil([&] { return slave.out().count(" RX ") == 2; }));
    const linger reset{.l_onoff = 1, .l_linger = 0};
    setsockopt(int(c.socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    c.abort();  // a reset, long before the second answer is due
    QVERIFY(waitUntil([&] { return slave.out().contains("DisConnect"); }));
    QCOMPARE(slave.terminate(), 0);
    const QStringList log = slave.out().split('\n', Qt::SkipEmptyParts);
    auto timeOf = [&](const QString &pattern) {
        const QStringList found = log.filter(QRegularExpression(pattern));
        return QDateTime::fromString(found.value(0).left(23), "yyyy-MM-dd HH:mm:ss.zzz");
    };
    const QDateTime rx = timeOf(" RX \\S+ 00 01 "), tx = timeOf(" TX \\S+ 00 01 ");
    QVERIFY2(rx.isValid() && tx.isValid() && rx.msecsTo(tx) >= 290, qPrintable(log.join('\n')));
    QCOMPARE(log.filter(" TX ").size(), 1);
    QCOMPARE(log.filter(QRegularExpression(" -- \\S+ 00 02 00 00 00 05 01 03 02 00 00  Answer not sent: the "
                                           "connection closed first$"))
                 .size(),
             1);
}

// A connection is a descriptor: the soft limit of open files goes up to
// the hard one.
void TestHeadlessSlave::descriptorLimitRaised()
{
    rlimit old{};
    getrlimit(RLIMIT_NOFILE, &old);
    if (old.rlim_max <= 1024)
        QSKIP("the hard limit of open files is 1024 or less here");
    rlimit low = old;
    low.rlim_cur = 1024;
    QVERIFY(setrlimit(RLIMIT_NOFILE, &low) == 0);
    SlaveRun slave;
    const bool started = slave.start({"--tcp", QString::number(freeLoopbackPort())}, 1);
    setrlimit(RLIMIT_NOFILE, &old);
    QVERIFY(started);
    const auto m = QRegularExpression("Max open files +(\\d+) +(\\d+)")
                       .match(readFile(QString("/proc/%1/limits").arg(slave.pid())));
    QVERIFY(m.hasMatch());
    QCOMPARE(m.captured(1).toULongLong(), quint64(old.rlim_max));
    QCOMPARE(slave.terminate(), 0);
}

// RTU over TCP and Modbus/UDP side by side, one set of tables: pymodbus in
// each framing, then what only hand-made frames show. The unit filter
// ignores on RTU over TCP (as on a line) and answers 0B on UDP; a wrong CRC
// is counted and unanswered, garbage is dropped with a line and the request
// behind it served, and an unfinished request is dropped after 1 s.
void TestHeadlessSlave::rtuOverTcpAndUdp()
{
    const quint16 rtuPort = freeLoopbackPort(), udpPort = freeLoopbackPort();
    SlaveRun slave;
    QVERIFY2(slave.start({"--rtu-over-tcp", QString::number(rtuPort), "--udp", QString::number(udpPort), "--unit",
                          "1-5", "--log"},
                         2),
             qPrintable(slave.err()));
    QVERIFY(slave.err().contains("serving RTU over TCP on 127.0.0.1:" + QString::number(rtuPort)));
    QVERIFY(slave.err().contains("serving Modbus/UDP on 127.0.0.1:" + QString::number(udpPort)));
    QCOMPARE(pymodbus("rtutcp", "127.0.0.1:" + QString::number(rtuPort), {"wrs:10:1,65534,3", "rh:10:3"}),
             QStringList({"OK", "OK 1 65534 3"}));
    QCOMPARE(pymodbus("udp", "127.0.0.1:" + QString::number(udpPort), {"rh:10:3", "wc:4:1", "rc:4:1"}),
             QStringList({"OK 1 65534 3", "OK", "OK 1"}));

    const QByteArray read = withCrc("010300000001");
    QTcpSocket rtu;
    rtu.connectToHost(QHostAddress::LocalHost, rtuPort);
    QVERIFY(rtu.waitForConnected(3000));
    rtu.write(withCrc("090300000001"));  // unit 9: ignored
    QCOMPARE(answerWithin(rtu, 300).toHex(), QByteArray());
    QByteArray spoilt = read;
    spoilt[7] = char(spoilt[7] ^ 0xFF);
    rtu.write(spoilt);
    QCOMPARE(answerWithin(rtu, 300).toHex(), QByteArray());
    rtu.write(QByteArray::fromHex("0183FFFF") + read);  // garbage, then a request
    QCOMPARE(answerWithin(rtu, 1000).toHex(), withCrc("0103020000").toHex());
    rtu.write(read.left(3));
    QVERIFY(waitUntil([&] { return slave.out().contains("not finished in 1 s"); }, 3000));

    QUdpSocket udp;
    udp.connectToHost(QHostAddress::LocalHost, udpPort);
    udp.write(QByteArray::fromHex("00070000000609030000000A"));  // unit 9: exception 0B
    QCOMPARE(answerWithin(udp, 2000).toHex(), QByteArray("00070000000309830b"));

    QCOMPARE(slave.terminate(), 0);
    const QString log = slave.out();
    QCOMPARE(log.count("Ignored: unit 9"), 2);
    QVERIFY2(log.contains(QRegularExpression(" -- 127\\.0\\.0\\.1:\\d+ 01 83 FF FF  Mod Slave RTU over TCP: 4 bytes "
                                             "dropped, no request starts there\n")),
             qPrintable(log));
    QVERIFY2(log.contains(QRegularExpression(" -- 127\\.0\\.0\\.1:\\d+ 01 03 00  Mod Slave RTU over TCP: request not "
                                             "finished in 1 s, 3 bytes dropped\n")),
             qPrintable(log));
    // RTU frames are logged and decoded as RTU, with the client's address.
    QVERIFY2(log.contains(QRegularExpression(" RX 127\\.0\\.0\\.1:\\d+ 01 03 00 00 00 01 84 0A  unit 1 fn 3 addr 0 count 1")),
             qPrintable(log));
    QVERIFY2(slave.err().contains("Req 9  Ans 7  Exc 1  Err 3  Ign 2  Drop 0"), qPrintable(slave.err()));
}

// Datagrams of every length from 0 to 1500 bytes, of random bytes, from 16
// senders: each one that is a message is answered once, to its sender; each
// other is refused with a line; the program serves on.
void TestHeadlessSlave::udpAnyDatagramFromManySenders()
{
    const quint16 port = freeLoopbackPort();
    SlaveRun slave;
    QVERIFY2(slave.start({"--udp", QString::number(port), "--log"}, 1), qPrintable(slave.err()));
    constexpr int kSenders = 16, kLongest = 1500;
    std::vector<std::unique_ptr<QUdpSocket>> senders;
    for (int i = 0; i < kSenders; ++i) {
        senders.push_back(std::make_unique<QUdpSocket>());
        QVERIFY(senders.back()->bind(QHostAddress::LocalHost, 0));
    }
    QRandomGenerator random(23);
    int messages = 0, refused = 0, answered = 0, wrong = 0, logged = 0;
    qsizetype read = 0;  // of the log
    // One datagram per sender at a time, so no receive buffer overflows, and
    // the log read as it comes, so that no line of it is dropped.
    for (int first = 0; first <= kLongest; first += kSenders) {
        QList<int> expected;  // per sender: the transaction id it waits for, or -1
        for (int i = 0; i < kSenders && first + i <= kLongest; ++i) {
            const int size = first + i;
            QByteArray d(size, Qt::Uninitialized);
            for (char &c : d)
                c = char(random.bounded(256));
            // Every other length that can frame a message is made one.
            const bool message = size >= 8 && size <= 260 && size % 2 == 0;
            if (message) {
                d[0] = char(size >> 8), d[1] = char(size);
                d[2] = d[3] = 0;
                d[4] = char((size - 6) >> 8), d[5] = char(size - 6);
                d[6] = 1;
            }
            (message ? messages : refused) += 1;
            expected << (message ? size : -1);
            senders[size_t(i)]->writeDatagram(d, QHostAddress::LocalHost, port);
        }
        QElapsedTimer t;
        t.start();
        int waiting = int(std::count_if(expected.begin(), expected.end(), [](int e) { return e >= 0; }));
        while ((waiting > 0 || logged < refused) && t.elapsed() < 3000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            for (int i = 0; i < expected.size(); ++i)
                while (senders[size_t(i)]->hasPendingDatagrams()) {
                    const QByteArray a = senders[size_t(i)]->receiveDatagram().data();
                    const int tid = a.size() >= 2 ? (uchar(a[0]) << 8 | uchar(a[1])) : -2;
                    if (tid == expected[i]) {
                        ++answered;
                        --waiting;
                        expected[i] = -1;
                    } else {
                        ++wrong;
                    }
                }
            const QString &log = slave.out();
            for (qsizetype at; (at = log.indexOf(" Mod Slave UDP datagram of ", read)) >= 0; read = at + 1)
                ++logged;
        }
    }
    QCOMPARE(wrong, 0);
    QCOMPARE(answered, messages);
    QVERIFY(slave.running());
    QCOMPARE(slave.terminate(), 0);
    slave.out();
    QCOMPARE(logged, refused);
    QVERIFY(!slave.out().contains("log lines dropped"));
    QVERIFY2(slave.err().contains(QString("Req %1  Ans %1 ").arg(messages)), qPrintable(slave.err()));
}

QTEST_GUILESS_MAIN(TestHeadlessSlave)
#include "tst_headless_slave.moc"

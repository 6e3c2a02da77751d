// Serial ports and clock of the link library, on real socat pty pairs.
#include <QtTest>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "Peers.h"
#include "corvane.h"

namespace
{

struct Box {
    QByteArray text, caption;
};
QList<Box> boxes;

void recordBox(const char *text, const char *caption, void *)
{
    boxes.append({QByteArray(text), QByteArray(caption)});
}

// The test's own, plain handle on a pty end (the far end of a station's port,
// or the station's own end to look at its line settings).
class Endpoint
{
public:
    explicit Endpoint(const QString &path)
        : fd_(::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
    {
    }
    ~Endpoint()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Endpoint(const Endpoint &) = delete;
    Endpoint &operator=(const Endpoint &) = delete;
    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    bool send(const QByteArray &bytes) const
    {
        return ::write(fd_, bytes.constData(), size_t(bytes.size())) == bytes.size();
    }
    // Collects n bytes, waiting at most ms for them.
    QByteArray receive(int n, int ms = 2000) const
    {
        QByteArray got;
        QElapsedTimer t;
        t.start();
        while (got.size() < n && t.elapsed() < ms) {
            char buf[512];
            ssize_t r = ::read(fd_, buf, sizeof buf);
            if (r > 0)
                got.append(buf, int(r));
            else
                QThread::msleep(1);
        }
        return got;
    }

private:
    int fd_;
};

int openDescriptors()
{
    return int(QDir("/proc/self/fd").entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size());
}

bool waitQueued(int port, int n)
{
    return waitUntil([&] { return serloc(port) >= n; }, 2000) && serloc(port) == n;
}

} // namespace

class TestSerial : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void openAndClose();
    void lineSettings_data();
    void lineSettings();
    void asciiSettingsReopenOnPty();
    void secondOpenRefused();
    void secondOpenFromAnotherProcessRefused();
    void closeTwice();
    void closedOrInvalidPortFailsQuietly_data();
    void closedOrInvalidPortFailsQuietly();
    void portOutOfRangeRefused_data();
    void portOutOfRangeRefused();
    void missingDeviceRefused();
    void rejectedSettingsReleaseTheDevice_data();
    void rejectedSettingsReleaseTheDevice();
    void serrecvWithNothingReceived();
    void serreadTakesOnlyWhatFits();
    void bytesTravelBothWays();
    void serflushDiscardsInput();
    void boxesGoToStderrWithoutHandler();
    void dateAndTime();
    void setDateTimeRefusesImpossibleDates_data();
    void setDateTimeRefusesImpossibleDates();

private:
    static bool open(int port, const QString &device, int baud = 9600, char parity = 'N', int databits = 8,
                     int stopbits = 1, int handshake = 0)
    {
        PtyPair::mapPort(port, device);
        return seropen(port, baud, parity, databits, stopbits, handshake) == 1;
    }
    static bool close(int port) { return serclose(port) == 1; }
};

void TestSerial::initTestCase()
{
    corvane_set_message_handler(recordBox, nullptr);
}

void TestSerial::init()
{
    boxes.clear();
}

void TestSerial::cleanup()
{
    // A test that failed half-way leaves no port open for the next one.
    for (int port = 0; port <= 13; ++port)
        serclose(port);
    boxes.clear();
    for (int port = 0; port <= 14; ++port)
        qunsetenv(QByteArray("CORVANE_COM") + QByteArray::number(port));
}

void TestSerial::openAndClose()
{
    PtyPair pair;
    QVERIFY(pair.ok());
    QVERIFY(open(1, pair.a()));
    QVERIFY(boxes.isEmpty());
    QElapsedTimer t;
    t.start();
    QVERIFY(close(1));
    const qint64 ms = t.elapsed();
    qInfo("serclose took %lld ms", ms);
    QVERIFY(ms >= 95); // drops DTR and RTS, then waits 100 ms
    QVERIFY(ms < 1000);
    QVERIFY(boxes.isEmpty());
}

void TestSerial::lineSettings_data()
{
    QTest::addColumn<int>("baud");
    QTest::addColumn<char>("parity");
    QTest::addColumn<int>("databits");
    QTest::addColumn<int>("stopbits");
    QTest::addColumn<int>("handshake");
    QTest::addColumn<int>("speed");
    QTest::addColumn<bool>("twoStops");
    QTest::addColumn<bool>("flowControl");
    QTest::newRow("9600 8N1") << 9600 << 'N' << 8 << 1 << 0 << int(B9600) << false << false;
    QTest::newRow("19200 8E2") << 19200 << 'E' << 8 << 2 << 0 << int(B19200) << true << false;
    QTest::newRow("115200 7O1 ascii") << 115200 << 'O' << 7 << 1 << 0 << int(B115200) << false << false;
    QTest::newRow("1200 parity X stop 3") << 1200 << 'X' << 8 << 3 << 0 << int(B1200) << false << false;
    QTest::newRow("38400 handshake on") << 38400 << 'N' << 8 << 1 << 1 << int(B38400) << false << true;
    QTest::newRow("handshake 2 is off") << 4800 << 'N' << 8 << 1 << 2 << int(B4800) << false << false;
}

void TestSerial::lineSettings()
{
    QFETCH(int, baud);
    QFETCH(char, parity);
    QFETCH(int, databits);
    QFETCH(int, stopbits);
    QFETCH(int, handshake);
    QFETCH(int, speed);
    QFETCH(bool, twoStops);
    QFETCH(bool, flowControl);
    PtyPair pair;
    QVERIFY(pair.ok());
    // A handle taken before the station's open sees the settings it applies.
    Endpoint look(pair.a());
    QVERIFY(look.ok());
    QVERIFY(open(2, pair.a(), baud, parity, databits, stopbits, handshake));
    QVERIFY(boxes.isEmpty());
    termios t{};
    QCOMPARE(tcgetattr(look.fd(), &t), 0);
    QCOMPARE(int(cfgetospeed(&t)), speed);
    QCOMPARE(int(cfgetispeed(&t)), speed);
    QCOMPARE(bool(t.c_cflag & CSTOPB), twoStops);
    QCOMPARE(bool(t.c_cflag & CRTSCTS), flowControl);
    QCOMPARE(bool(t.c_iflag & IXON), flowControl);
    QCOMPARE(bool(t.c_iflag & IXOFF), flowControl);
    QVERIFY(t.c_cflag & CLOCAL);
    QVERIFY(t.c_cflag & CREAD);
    // Raw: no echo, no line editing, no translation either way.
    QCOMPARE(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), tcflag_t(0));
    QCOMPARE(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP), tcflag_t(0));
    QCOMPARE(t.c_oflag & OPOST, tcflag_t(0));
    QVERIFY(close(2));
}

void TestSerial::asciiSettingsReopenOnPty()
{
    // A pty takes neither 7 data bits nor parity; ASCII stations (7 O 1) must
    // still open, close and open again on one as on a real port.
    PtyPair pair;
    QVERIFY(pair.ok());
    Endpoint far(pair.b());
    QVERIFY(far.ok());
    const struct {
        char parity;
        int databits, stopbits;
    } runs[] = {{'O', 7, 1}, {'O', 7, 1}, {'E', 7, 2}, {'N', 8, 1}, {'O', 7, 1}};
    for (const auto &r : runs) {
        QVERIFY(open(3, pair.a(), 9600, r.parity, r.databits, r.stopbits));
        QVERIFY2(boxes.isEmpty(), boxes.isEmpty() ? "" : boxes.first().text.constData());
        const QByteArray frame(":010300000001FB\r\n");
        QCOMPARE(serwrite(3, frame.constData(), int32_t(frame.size())), int32_t(frame.size()));
        QCOMPARE(far.receive(int(frame.size())), frame);
        QVERIFY(far.send("\r\n"));
        QVERIFY(waitQueued(3, 2));
        QCOMPARE(int(serrecv(3)), int('\r'));
        QCOMPARE(int(serrecv(3)), int('\n'));
        QVERIFY(close(3));
    }
}

void TestSerial::secondOpenRefused()
{
    PtyPair pair;
    QVERIFY(pair.ok());
    Endpoint far(pair.b());
    QVERIFY(far.ok());
    QVERIFY(open(4, pair.a()));

    // Another port number on the same device.
    PtyPair::mapPort(5, pair.a());
    QCOMPARE(seropen(5, 9600, 'N', 8, 1, 0), 0);
    // The same port number again.
    QCOMPARE(seropen(4, 9600, 'N', 8, 1, 0), 0);
    QCOMPARE(boxes.size(), 2);
    QCOMPARE(boxes[0].text, QByteArray("Unable to open port COM5:"));
    QCOMPARE(boxes[0].caption, QByteArray("RS232C SUB."));
    QCOMPARE(boxes[1].text, QByteArray("Unable to open port COM4:"));
    QCOMPARE(boxes[1].caption, QByteArray("RS232C SUB."));

    // The first opening is intact.
    QCOMPARE(sersend(4, 0x42), 0);
    QCOMPARE(far.receive(1), QByteArray("B"));
    QCOMPARE(serloc(5), 0);
    QVERIFY(close(4));
}

void TestSerial::secondOpenFromAnotherProcessRefused()
{
    PtyPair pair;
    QVERIFY(pair.ok());
    QVERIFY(open(6, pair.a()));
    PtyPair::mapPort(7, pair.a());
    std::fflush(nullptr);
    const pid_t child = fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        // Plain C only in the child: open, compare the box, report by exit code.
        static char text[64];
        corvane_set_message_handler(
            [](const char *t, const char *, void *) { std::snprintf(text, sizeof text, "%s", t); }, nullptr);
        const int opened = seropen(7, 9600, 'N', 8, 1, 0);
        _exit(opened == 0 && std::strcmp(text, "Unable to open port COM7:") == 0 ? 0 : 1);
    }
    int status = 0;
    QCOMPARE(waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);
    QVERIFY(close(6));
}

void TestSerial::closeTwice()
{
    PtyPair pair;
    QVERIFY(pair.ok());
    QVERIFY(open(8, pair.a()));
    QVERIFY(close(8));
    QVERIFY(boxes.isEmpty());
    QCOMPARE(serclose(8), 0);
    QCOMPARE(serclose(9), 0); // never opened
    QCOMPARE(boxes.size(), 2);
    for (const Box &b : std::as_const(boxes)) {
        QCOMPARE(b.text, QByteArray("Port is already close"));
        QCOMPARE(b.caption, QByteArray("RS232C SUB."));
    }
}

void TestSerial::closedOrInvalidPortFailsQuietly_data()
{
    QTest::addColumn<int>("port");
    QTest::newRow("closed 10") << 10;
    QTest::newRow("closed 0") << 0;
    QTest::newRow("14") << 14;
    QTest::newRow("-1") << -1;
    QTest::newRow("100000") << 100000;
}

void TestSerial::closedOrInvalidPortFailsQuietly()
{
    QFETCH(int, port);
    char buf[8] = {};
    QElapsedTimer t;
    t.start();
    QCOMPARE(int(serrecv(port)), -1);
    const qint64 recvMs = t.elapsed();
    QVERIFY2(recvMs < 20, qPrintable(QString::number(recvMs)));
    QCOMPARE(serwrite(port, "abc", 3), 0);
    QCOMPARE(sersend(port, 'a'), 1);
    QCOMPARE(serread(port, buf, sizeof buf), 0);
    QCOMPARE(serloc(port), 0);
    serflush(port);
    QVERIFY(boxes.isEmpty());
    // Closing: the "already close" box for a port of the table, nothing for
    // a number outside it.
    QCOMPARE(serclose(port), 0);
    QCOMPARE(boxes.size(), port >= 0 && port <= 13 ? 1 : 0);
}

void TestSerial::portOutOfRangeRefused_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("14") << 14 << QByteArray("Unable to open port COM14:");
    QTest::newRow("-1") << -1 << QByteArray("Unable to open port COM-1:");
    QTest::newRow("99") << 99 << QByteArray("Unable to open port COM99:");
}

void TestSerial::portOutOfRangeRefused()
{
    QFETCH(int, port);
    QFETCH(QByteArray, message);
    PtyPair pair;
    QVERIFY(pair.ok());
    PtyPair::mapPort(port, pair.a()); // even with a device behind it
    QCOMPARE(seropen(port, 9600, 'N', 8, 1, 0), 0);
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes[0].text, message);
    QCOMPARE(boxes[0].caption, QByteArray("RS232C SUB."));
    qunsetenv(QByteArray("CORVANE_COM") + QByteArray::number(port));
}

void TestSerial::missingDeviceRefused()
{
    PtyPair::mapPort(11, "/nonexistent/ttyX");
    QCOMPARE(seropen(11, 9600, 'N', 8, 1, 0), 0);
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes[0].text, QByteArray("Unable to open port COM11:"));
    QCOMPARE(boxes[0].caption, QByteArray("RS232C SUB."));
    QVERIFY(!QFileInfo::exists("/nonexistent/ttyX")); // not created by the open

    // An empty variable means the system's own device, /dev/ttyS12 for COM13.
    // Its node exists on many machines without a port behind it, which
    // opens no better than a missing one; only a real port there would open.
    if (const int fd = ::open("/dev/ttyS12", O_RDWR | O_NOCTTY | O_NONBLOCK); fd >= 0) {
        ::close(fd);
        QSKIP("a real serial port answers at /dev/ttyS12");
    }
    qputenv("CORVANE_COM13", "");
    QCOMPARE(seropen(13, 9600, 'N', 8, 1, 0), 0);
    QCOMPARE(boxes.size(), 2);
    QCOMPARE(boxes[1].text, QByteArray("Unable to open port COM13:"));
}

void TestSerial::rejectedSettingsReleaseTheDevice_data()
{
    QTest::addColumn<bool>("pty");
    QTest::addColumn<int>("baud");
    QTest::newRow("not a terminal") << false << 9600;
    QTest::newRow("unknown baud rate") << true << 12345;
    QTest::newRow("baud rate 0") << true << 0;
}

void TestSerial::rejectedSettingsReleaseTheDevice()
{
    QFETCH(bool, pty);
    QFETCH(int, baud);
    PtyPair pair;
    QVERIFY(pair.ok());
    PtyPair::mapPort(12, pty ? pair.a() : QStringLiteral("/dev/null"));
    const int before = openDescriptors();
    QCOMPARE(seropen(12, baud, 'N', 8, 1, 0), 0);
    QCOMPARE(openDescriptors(), before);
    // Again: the device was released, so it is the settings that are refused
    // again, not the open.
    QCOMPARE(seropen(12, baud, 'N', 8, 1, 0), 0);
    QCOMPARE(boxes.size(), 2);
    for (const Box &b : std::as_const(boxes)) {
        QCOMPARE(b.text, QByteArray("Unable to configure the serial port COM12:"));
        QCOMPARE(b.caption, QByteArray("RS232C SUB."));
    }
    if (pty) {
        QVERIFY(open(12, pair.a(), 9600));
        QVERIFY(close(12));
    }
}

void TestSerial::serrecvWithNothingReceived()
{
    PtyPair pair;
    QVERIFY(pair.ok());
    QVERIFY(open(1, pair.a()));
    const int rounds = 20;
    qint64 worst = 0;
    QElapsedTimer all;
    all.start();
    for (int i = 0; i < rounds; ++i) {
        QElapsedTimer t;
        t.start();
        QCOMPARE(int(serrecv(1)), -1);
        worst = qMax(worst, t.nsecsElapsed());
    }
    const double mean = double(all.nsecsElapsed()) / rounds / 1e6;
    qInfo("serrecv with nothing received: mean %.2f ms, worst %.2f ms", mean, worst / 1e6);
    QVERIFY(worst < 50 * 1000000LL);
    QVERIFY(close(1));
}

void TestSerial::serreadTakesOnlyWhatFits()
{
    PtyPair pair;
    QVERIFY(pair.ok());
    Endpoint far(pair.b());
    QVERIFY(far.ok());
    QVERIFY(open(2, pair.a()));
    char buf[32] = {};
    QElapsedTimer t;
    t.start();
    QCOMPARE(serread(2, buf, sizeof buf), 0); // nothing there: no wait
    QVERIFY(t.elapsed() < 20);

    QVERIFY(far.send("0123456789"));
    QVERIFY(waitQueued(2, 10));
    QCOMPARE(serread(2, buf, 4), 4);
    QCOMPARE(QByteArray(buf, 4), QByteArray("0123"));
    QCOMPARE(serloc(2), 6);
    QCOMPARE(serread(2, buf, sizeof buf), 6);
    QCOMPARE(QByteArray(buf, 6), QByteArray("456789"));
    QCOMPARE(serloc(2), 0);
    QCOMPARE(serread(2, buf, 0), 0);
    QVERIFY(close(2));
}

void TestSerial::bytesTravelBothWays()
{
    PtyPair pair;
    QVERIFY(pair.ok());
    Endpoint far(pair.b());
    QVERIFY(far.ok());
    QVERIFY(open(3, pair.a()));

    // Every byte value passes untouched (CR, LF, XON, XOFF, NUL, 0xFF ...).
    QByteArray all(256, '\0');
    for (int i = 0; i < 256; ++i)
        all[i] = char(i);
    QElapsedTimer t;
    t.start();
    QCOMPARE(serwrite(3, all.constData(), int32_t(all.size())), 256);
    qInfo("serwrite of 256 bytes took %.2f ms", t.nsecsElapsed() / 1e6);
    QCOMPARE(far.receive(256), all);

    QCOMPARE(sersend(3, 0x1A5), 0); // low 8 bits only
    QCOMPARE(far.receive(1), QByteArray("\xA5"));
    QCOMPARE(serwrite(3, all.constData(), 0), 0);
    QCOMPARE(serwrite(3, nullptr, 5), 0);

    const QByteArray reply = QByteArray::fromHex("0103020011F8D4");
    QVERIFY(far.send(reply));
    QVERIFY(waitQueued(3, int(reply.size())));
    QByteArray got;
    for (int b; (b = serrecv(3)) != -1 && got.size() < 64;)
        got.append(char(b));
    QCOMPARE(got.toHex(), reply.toHex());
    QVERIFY(close(3));
}

void TestSerial::serflushDiscardsInput()
{
    PtyPair pair;
    QVERIFY(pair.ok());
    Endpoint far(pair.b());
    QVERIFY(far.ok());
    QVERIFY(open(4, pair.a()));
    QVERIFY(far.send("stale"));
    QVERIFY(waitQueued(4, 5));
    serflush(4);
    QCOMPARE(serloc(4), 0);
    QCOMPARE(int(serrecv(4)), -1);
    // The port works on after the purge.
    QVERIFY(far.send("x"));
    QVERIFY(waitQueued(4, 1));
    QCOMPARE(int(serrecv(4)), int('x'));
    QVERIFY(close(4));
}

void TestSerial::boxesGoToStderrWithoutHandler()
{
    QTemporaryFile capture;
    QVERIFY(capture.open());
    std::fflush(stderr);
    const int saved = dup(STDERR_FILENO);
    QVERIFY(saved >= 0);
    dup2(capture.handle(), STDERR_FILENO);
    corvane_set_message_handler(nullptr, nullptr);
    const int result = serclose(5);
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    ::close(saved);
    corvane_set_message_handler(recordBox, nullptr);
    QCOMPARE(result, 0);
    capture.seek(0);
    QCOMPARE(capture.readAll(), QByteArray("[RS232C SUB.] Port is already close\n"));
    QVERIFY(boxes.isEmpty());
}

void TestSerial::dateAndTime()
{
    int16_t f[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
    const QDateTime before = QDateTime::currentDateTime();
    QCOMPARE(get_date_time(&f[0], &f[1], &f[2], &f[3], &f[4], &f[5], &f[6], &f[7]), 0);
    const QDateTime read(QDate(f[0], f[1], f[2]), QTime(f[3], f[4], f[5], f[6]));
    QVERIFY(read.isValid());
    QVERIFY2(qAbs(before.msecsTo(read)) < 2000, qPrintable(read.toString(Qt::ISODateWithMs)));
    QCOMPARE(int(f[7]), read.date().dayOfWeek() % 7); // 0 is Sunday
    QVERIFY(f[6] >= 0 && f[6] <= 999);

    QCOMPARE(tsleep(0), 0);
    QElapsedTimer t;
    t.start();
    QCOMPARE(tsleep(30), 0);
    QVERIFY(t.elapsed() >= 29);
}

void TestSerial::setDateTimeRefusesImpossibleDates_data()
{
    // Only dates the system must refuse: the test never sets the clock.
    QTest::addColumn<QList<int>>("fields");
    QTest::newRow("month 13") << QList<int>{2024, 13, 1, 12, 0, 0};
    QTest::newRow("month 0") << QList<int>{2024, 0, 1, 12, 0, 0};
    QTest::newRow("31 April") << QList<int>{2024, 4, 31, 12, 0, 0};
    QTest::newRow("29 February 2023") << QList<int>{2023, 2, 29, 12, 0, 0};
    QTest::newRow("hour 24") << QList<int>{2024, 5, 1, 24, 0, 0};
    QTest::newRow("minute 60") << QList<int>{2024, 5, 1, 10, 60, 0};
    QTest::newRow("second -1") << QList<int>{2024, 5, 1, 10, 0, -1};
    QTest::newRow("day 0") << QList<int>{2024, 5, 0, 10, 0, 0};
}

void TestSerial::setDateTimeRefusesImpossibleDates()
{
    QFETCH(QList<int>, fields);
    QCOMPARE(set_date_time(fields[0], fields[1], fields[2], fields[3], fields[4], fields[5]), -1);
}

QTEST_GUILESS_MAIN(TestSerial)
#include "tst_serial.moc"

// The traffic history: its bound under a flood (count and memory), the lines
// it shows, and the endpoints it keeps.
#include <QtTest>

#include <malloc.h>

#include <cstdlib>
#include <ctime>

#include "Traffic_history.h"
#include "Wall_time.h"

Q_DECLARE_METATYPE(Traffic_framing)
Q_DECLARE_METATYPE(Traffic_side)
Q_DECLARE_METATYPE(Traffic_direction)

namespace {
// 2026-12-08 14:03:07.125 UTC
constexpr int64_t kT0 = 1796738587125;

QByteArray hex(const char *text) { return QByteArray::fromHex(text); }

size_t heap_in_use() { return mallinfo2().uordblks; }
}  // namespace

class TestTrafficHistory : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void lines_data();
    void lines();
    void keepsTheLastEventsOfAFlood();
    void memoryStaysBounded();
    void clearEmptiesAndTells();
    void endpoints_data();
    void endpoints();
    void isoTimeNamesTheZone();
};

void TestTrafficHistory::initTestCase()
{
    qputenv("TZ", "UTC");
    tzset();
}

void TestTrafficHistory::lines_data()
{
    QTest::addColumn<Traffic_framing>("framing");
    QTest::addColumn<Traffic_side>("side");
    QTest::addColumn<Traffic_direction>("direction");
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<bool>("tcp");  // the frame comes from 127.0.0.1:40512
    QTest::addColumn<int>("responseMs");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("line");
    const auto rtu = Traffic_framing::Rtu, ascii = Traffic_framing::Ascii, tcp = Traffic_framing::Tcp;
    const auto master = Traffic_side::Master, slave = Traffic_side::Slave;
    const auto tx = Traffic_direction::Tx, rx = Traffic_direction::Rx, ev = Traffic_direction::Event;

    QTest::newRow("master request") << rtu << master << tx << hex("0103000000 0AC5CD") << false << -1 << ""
        << "2026-12-08 14:03:07.125 TX 01 03 00 00 00 0A C5 CD  unit 1 fn 3 addr 0 count 10";
    QTest::newRow("master answer, response time") << rtu << master << rx << hex("110306AE415652434049AD") << false << 12 << ""
        << "2026-12-08 14:03:07.125 RX 11 03 06 AE 41 56 52 43 40 49 AD  unit 17 fn 3 bytes 6 in 12 ms";
    QTest::newRow("slave request over tcp") << tcp << slave << rx << hex("000100000006 1103006B0003") << true << -1 << ""
        << "2026-12-08 14:03:07.125 RX 127.0.0.1:40512 00 01 00 00 00 06 11 03 00 6B 00 03  tid 1 unit 17 fn 3 addr 107 count 3";
    QTest::newRow("slave answer with a remark") << rtu << slave << tx << hex("01830 2C0F1") << false << -1 << "injected"
        << "2026-12-08 14:03:07.125 TX 01 83 02 C0 F1  unit 1 fn 3 exception 2 illegal data address; injected";
    QTest::newRow("ascii text") << ascii << slave << rx << QByteArray(":1103006B00037E\r\n") << false << -1 << ""
        << "2026-12-08 14:03:07.125 RX :1103006B00037E<CR><LF>  unit 17 fn 3 addr 107 count 3";
    QTest::newRow("ascii control byte") << ascii << slave << rx << QByteArray(":01\x01\r") << false << -1 << ""
        << "2026-12-08 14:03:07.125 RX :01<01><CR>  not Modbus ASCII text (odd number of digits)";
    QTest::newRow("event") << rtu << master << ev << QByteArray() << false << -1 << "time-out, no answer"
        << "2026-12-08 14:03:07.125 -- time-out, no answer";
    QTest::newRow("event of a connection") << tcp << slave << ev << QByteArray() << true << -1 << "connected"
        << "2026-12-08 14:03:07.125 -- 127.0.0.1:40512 connected";
    QTest::newRow("event with bytes") << rtu << slave << ev << hex("0103") << false << -1 << "partial frame dropped"
        << "2026-12-08 14:03:07.125 -- 01 03  partial frame dropped";
}

void TestTrafficHistory::lines()
{
    QFETCH(Traffic_framing, framing);
    QFETCH(Traffic_side, side);
    QFETCH(Traffic_direction, direction);
    QFETCH(QByteArray, frame);
    QFETCH(bool, tcp);
    QFETCH(int, responseMs);
    QFETCH(QString, text);
    QFETCH(QString, line);
    Traffic_history history(framing, side, [] { return kT0; });
    Traffic_info info{.response_ms = responseMs};
    if (tcp) {
        info.local = Traffic_endpoint::ipv4(0x7F000001, 502);
        info.peer = Traffic_endpoint::ipv4(0x7F000001, 40512);
    }
    const std::string data(frame.constData(), size_t(frame.size()));
    if (direction == Traffic_direction::Event)
        history.add_event(text.toStdString(), info, data);
    else {
        info.text = text.toStdString();
        history.add_frame(direction, data, info);
    }
    QCOMPARE(QString::fromStdString(history.line(history.at(0))), line);
}

void TestTrafficHistory::keepsTheLastEventsOfAFlood()
{
    int64_t now = 0;
    Traffic_history history(Traffic_framing::Rtu, Traffic_side::Slave, [&now] { return now++; });
    const QByteArray request = hex("0103000000 0AC5CD");
    const QByteArray huge(2000, '\x55');
    for (int i = 0; i < 250000; ++i)
        history.add_frame(Traffic_direction::Rx, reinterpret_cast<const uint8_t *>(request.constData()),
                          size_t(request.size()));
    history.add_frame(Traffic_direction::Rx, std::string_view(huge.constData(), size_t(huge.size())));

    QCOMPARE(history.size(), Traffic_history::kCapacity);
    QCOMPARE(history.end_seq(), uint64_t(250001));
    QCOMPARE(history.first_seq(), uint64_t(150001));
    QCOMPARE(history.at(0).time_ms, int64_t(150001));  // the oldest kept
    QVERIFY(history.find(150000) == nullptr);
    QCOMPARE(history.find(250000)->length, uint32_t(2000));
    QCOMPARE(history.find(250000)->data.size(), Traffic_history::kMaxData);
    QVERIFY(history.note(*history.find(250000)).ends_with("(2000 bytes, first 512 kept)"));
    QCOMPARE(history.changes(), uint64_t(250001));
}

void TestTrafficHistory::memoryStaysBounded()
{
    // Typical traffic of a TCP slave: 12-byte requests and 25-byte answers
    // with both ends of the connection.
    const QByteArray request = hex("000100000006 01030000000A");
    const QByteArray answer = hex("000100000017 010314 0001000200030004000500060007000800090010");
    const Traffic_info info{.local = Traffic_endpoint::ipv4(0x7F000001, 502),
                            .peer = Traffic_endpoint::ipv4(0x7F000001, 40512)};
    auto flood = [&](Traffic_history &history, int events) {
        for (int i = 0; i < events; i += 2) {
            history.add_frame(Traffic_direction::Rx, std::string_view(request.constData(), size_t(request.size())), info);
            history.add_frame(Traffic_direction::Tx, std::string_view(answer.constData(), size_t(answer.size())), info);
        }
    };
    const size_t before = heap_in_use();
    Traffic_history history(Traffic_framing::Tcp, Traffic_side::Slave);
    flood(history, int(Traffic_history::kCapacity));
    const size_t full = heap_in_use();
    if (full <= before)
        QSKIP("this build's allocator does not report its heap (sanitizer build)");
    flood(history, 4 * int(Traffic_history::kCapacity));
    const size_t after = heap_in_use();

    const double perEvent = double(full - before) / double(Traffic_history::kCapacity);
    qInfo("traffic history: %.0f bytes per event, %.1f MB at %zu events", perEvent,
          double(full - before) / 1e6, Traffic_history::kCapacity);
    QVERIFY2(perEvent < 300, "an event of typical traffic takes more memory than it should");
    QVERIFY2(after < full + full / 20, "the history kept growing past its capacity");
}

void TestTrafficHistory::clearEmptiesAndTells()
{
    Traffic_history history(Traffic_framing::Rtu, Traffic_side::Master);
    int told = 0;
    history.set_listener([&told] { ++told; });
    history.add_event("opened");
    history.add_event("time-out");
    history.clear();
    QCOMPARE(told, 3);
    QVERIFY(history.empty());
    QCOMPARE(history.first_seq(), history.end_seq());
    QVERIFY(history.find(1) == nullptr);
    history.add_event("opened");
    QCOMPARE(history.find(2)->text, std::string("opened"));
}

void TestTrafficHistory::endpoints_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("text");  // empty: refused
    QTest::newRow("ipv4") << "127.0.0.1" << "127.0.0.1:40512";
    QTest::newRow("ipv4 as ipv6") << "::ffff:127.0.0.1" << "127.0.0.1:40512";
    QTest::newRow("ipv6") << "::1" << "[::1]:40512";
    QTest::newRow("ipv6 with scope") << "fe80::1%eth0" << "[fe80::1]:40512";
    QTest::newRow("bracketed") << "[::1]" << "[::1]:40512";
    QTest::newRow("host name") << "localhost" << "";
    QTest::newRow("empty") << "" << "";
    QTest::newRow("overlong") << QString(100, QLatin1Char('1')) << "";
}

void TestTrafficHistory::endpoints()
{
    QFETCH(QString, host);
    QFETCH(QString, text);
    const auto e = Traffic_endpoint::parse(host.toStdString(), 40512);
    QCOMPARE(e ? QString::fromStdString(e->text()) : QString(), text);
}

void TestTrafficHistory::isoTimeNamesTheZone()
{
    qputenv("TZ", "IST-5:30");
    tzset();
    QCOMPARE(QString::fromStdString(iso_time_text(kT0)), QString("2026-12-08T19:33:07.125+05:30"));
    QCOMPARE(QString::fromStdString(local_time_text(kT0)), QString("2026-12-08 19:33:07.125"));
    qputenv("TZ", "UTC");
    tzset();
    QCOMPARE(QString::fromStdString(iso_time_text(-1)), QString("1969-12-31T23:59:59.999+00:00"));
}

QTEST_APPLESS_MAIN(TestTrafficHistory)
#include "tst_traffic_history.moc"

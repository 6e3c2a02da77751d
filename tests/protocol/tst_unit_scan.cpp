// The scan for devices on a fake line: a table of devices (what each
// answers, how late, at which line setting) against the rows the scan keeps.
#include <QtTest>
#include <map>
#include <optional>

#include "Unit_scan.h"
#include "corvane.h"

namespace {

struct Device {
    int unit = 0;
    QByteArray pdu{};  // the answer's PDU
    int delayMs = 5;
    bool badChecksum = false;
    int staleTransaction = 0;  // answers with a transaction this many before the request's
    std::optional<Scan_setting> only{};  // answers at this line setting only
};

QByteArray frame(Scan_transport t, int unit, uint16_t transaction, const QByteArray &pdu, bool bad)
{
    QByteArray body = char(unit) + pdu;
    if (t == Scan_transport::Tcp || t == Scan_transport::Udp)
        return QByteArray::fromHex(QByteArray::number(transaction, 16).rightJustified(4, '0')) +
               QByteArray::fromHex("0000") + char(body.size() >> 8) + char(body.size()) + body;
    if (t == Scan_transport::Ascii) {
        uint8_t sum = 0;
        for (char c : body)
            sum = uint8_t(sum + uint8_t(c));
        return ':' + (body + char(uint8_t(-sum) ^ (bad ? 1 : 0))).toHex().toUpper() + "\r\n";
    }
    uint8_t crc[2];
    CRC_check(reinterpret_cast<const uint8_t *>(body.constData()), int32_t(body.size()), crc);
    return body + char(crc[0] ^ (bad ? 1 : 0)) + char(crc[1]);
}

// Devices behind a line and a clock moved by the test.
class FakeLine : public Scan_line {
public:
    Scan_transport transport = Scan_transport::Rtu;
    std::vector<Device> devices;
    Scan_setting line{};
    QStringList settingsSet;
    int64_t now = 0;
    int late = 0;
    std::multimap<int64_t, QByteArray> arrivals;

    bool set_line(const Scan_setting &s) override
    {
        line = s;
        settingsSet << QString::fromStdString(scan_setting_text(s));
        return true;
    }
    void send(const uint8_t *b, size_t n) override
    {
        const bool header = transport == Scan_transport::Tcp || transport == Scan_transport::Udp;
        const QByteArray req(reinterpret_cast<const char *>(b), qsizetype(n));
        const int unit = header ? uint8_t(req[6]) : transport == Scan_transport::Ascii ? req.mid(1, 2).toInt(nullptr, 16)
                                                                                        : uint8_t(req[0]);
        const uint16_t transaction = header ? uint16_t(uint8_t(req[0]) << 8 | uint8_t(req[1])) : 0;
        for (const Device &d : devices)
            if (d.unit == unit && (!d.only || *d.only == line))
                arrivals.insert({now + d.delayMs,
                                  frame(transport, unit, uint16_t(transaction - d.staleTransaction), d.pdu, d.badChecksum)});
    }
    void answer(const uint8_t *, size_t) override {}
    void dropped(const uint8_t *, size_t, bool isLate) override { late += isLate ? 1 : 0; }

    // Runs the scan to its end, delivering each answer at its time.
    void run(Unit_scan &scan)
    {
        int64_t next = scan.wake(now);
        for (int guard = 0; next >= 0 && guard < 100000; ++guard) {
            now = std::max(now, arrivals.empty() ? next : std::min(next, arrivals.begin()->first));
            while (!arrivals.empty() && arrivals.begin()->first <= now) {
                const QByteArray b = arrivals.begin()->second;
                arrivals.erase(arrivals.begin());
                scan.received(reinterpret_cast<const uint8_t *>(b.constData()), size_t(b.size()), now);
            }
            next = scan.wake(now);
        }
    }
};

QStringList shown(const Unit_scan &scan)
{
    QStringList out;
    for (const Scan_row &r : scan.rows())
        out << QString("%1|%2|%3|%4").arg(r.unit).arg(QString::fromStdString(r.setting),
                                                      QString::fromStdString(r.answer),
                                                      QString::fromStdString(r.identity));
    return out;
}

const QByteArray kReg1234 = QByteArray::fromHex("030204D2");

}  // namespace

Q_DECLARE_METATYPE(Scan_transport)
Q_DECLARE_METATYPE(std::vector<Device>)

class TestUnitScan : public QObject {
    Q_OBJECT
private slots:
    void lines_data()
    {
        QTest::addColumn<Scan_transport>("transport");
        QTest::addColumn<std::vector<Device>>("devices");
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<int>("late");
        const std::vector<Device> mixed{
            {.unit = 1, .pdu = kReg1234},
            {.unit = 2, .pdu = QByteArray::fromHex("8302")},
            {.unit = 3, .pdu = QByteArray::fromHex("830A")},  // gateway: no device there
            {.unit = 4, .pdu = QByteArray::fromHex("830B")},
            {.unit = 5, .pdu = kReg1234, .badChecksum = true},
            {.unit = 7, .pdu = QByteArray::fromHex("03020007")},
            {.unit = 8, .pdu = QByteArray::fromHex("0304000100020003")},  // not one register: another request's
        };
        QTest::newRow("rtu") << Scan_transport::Rtu << mixed
                             << QStringList{"1|9600 N 8 1|1234|", "2|9600 N 8 1|exception 02|", "5|9600 N 8 1|CRC error|",
                                            "7|9600 N 8 1|7|"}
                             << 1;
        QTest::newRow("ascii") << Scan_transport::Ascii << mixed
                               << QStringList{"1|9600 N 8 1|1234|", "2|9600 N 8 1|exception 02|",
                                              "5|9600 N 8 1|LRC error|", "7|9600 N 8 1|7|"}
                               << 1;
        QTest::newRow("tcp: no checksum") << Scan_transport::Tcp << mixed
                                          << QStringList{"1|net|1234|", "2|net|exception 02|", "5|net|1234|", "7|net|7|"}
                                          << 1;
        // Unit 2 answers after its time-out, while unit 3 is probed: its
        // answer is dropped, and unit 3's own answer is the one kept.
        const std::vector<Device> slow{{.unit = 2, .pdu = QByteArray::fromHex("03020002"), .delayMs = 250},
                                       {.unit = 3, .pdu = QByteArray::fromHex("03020003"), .delayMs = 100}};
        QTest::newRow("late rtu") << Scan_transport::Rtu << slow << QStringList{"3|9600 N 8 1|3|"} << 1;
        QTest::newRow("late rtu over tcp") << Scan_transport::Rtu_over_tcp << slow << QStringList{"3|net|3|"} << 1;
        // The unit probed, but with the transaction of an earlier request.
        QTest::newRow("earlier transaction")
            << Scan_transport::Udp
            << std::vector<Device>{{.unit = 3, .pdu = QByteArray::fromHex("03020003"), .staleTransaction = 1}}
            << QStringList{} << 1;
    }
    void lines()
    {
        QFETCH(Scan_transport, transport);
        QFETCH(std::vector<Device>, devices);
        QFETCH(QStringList, rows);
        QFETCH(int, late);
        FakeLine line;
        line.transport = transport;
        line.devices = devices;
        Unit_scan scan(line);
        QVERIFY(scan.start({.transport = transport, .first_unit = 1, .last_unit = 9, .setting_text = "net"}, 0)
                    .empty());
        line.run(scan);
        QCOMPARE(shown(scan), rows);
        QCOMPARE(line.late, late);
        QCOMPARE(scan.probesDone(), 9);
    }

    // The sweep goes through the settings in order and stops after the
    // first one where a device answered; a device identifies itself.
    void sweepStopsAtFirstAnswer()
    {
        const Scan_setting right{.baud = 19200, .parity = 'E'};
        const QByteArray ident = QByteArray::fromHex("2B0E010100000300075175696C6C616E010251530203312E30");
        FakeLine line;
        line.devices = {{.unit = 3, .pdu = ident, .only = right}, {.unit = 9, .pdu = QByteArray::fromHex("AB01"), .only = right},
                        {.unit = 10, .pdu = kReg1234, .only = Scan_setting{.baud = 38400}}};
        Unit_scan scan(line);
        QVERIFY(scan.start({.probe = Scan_probe::Device_identification,
                            .last_unit = 10,
                            .settings = scan_sweep_settings(8),
                            .sweep = true},
                           0)
                    .empty());
        line.run(scan);
        QCOMPARE(shown(scan), (QStringList{"3|19200 E 8 1|ok|Quillan / QS / 1.0", "9|19200 E 8 1|exception 01|"}));
        QCOMPARE(line.settingsSet.size(), 18);  // 1200 to 9600 in four settings each, then 19200 N and E
        QCOMPARE(line.settingsSet.first(), "1200 N 8 1");
        QCOMPARE(line.settingsSet.last(), "19200 E 8 1");
        QVERIFY(scan.rows()[0].line == right);
        QCOMPARE(scan_sweep_settings(7)[3].data_bits, int16_t(7));
    }

    void stopKeepsRows()
    {
        FakeLine line;
        line.devices = {{.unit = 1, .pdu = kReg1234}};
        Unit_scan scan(line);
        QVERIFY(scan.start({.last_unit = 247}, 0).empty());
        int64_t next = scan.wake(0);
        line.now = 5;
        const QByteArray b = line.arrivals.begin()->second;
        scan.received(reinterpret_cast<const uint8_t *>(b.constData()), size_t(b.size()), 5);
        next = scan.wake(20);
        QVERIFY(next > 20);
        scan.stop();
        QCOMPARE(scan.wake(300), int64_t(-1));
        QCOMPARE(scan.rows().size(), size_t(1));
    }

    void refusedOptions()
    {
        FakeLine line;
        Unit_scan scan(line);
        QVERIFY(!scan.start({.first_unit = 9, .last_unit = 8}, 0).empty());
        QVERIFY(!scan.start({.last_unit = 248}, 0).empty());
        QVERIFY(!scan.start({.timeout_ms = 19}, 0).empty());
        QVERIFY(!scan.running());
    }

    void csv()
    {
        const std::vector<Scan_row> rows{{.unit = 3, .setting = "9600 N 8 1", .answer = "ok", .time_ms = 12,
                                          .identity = "Acme, Inc / X / 1"}};
        QCOMPARE(QString::fromStdString(scan_csv(rows)),
                 "Unit,Setting,Answer,Time,Identity\n3,9600 N 8 1,ok,12 ms,\"Acme, Inc / X / 1\"\n");
    }
};

QTEST_GUILESS_MAIN(TestUnitScan)
#include "tst_unit_scan.moc"

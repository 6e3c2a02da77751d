// Request framing of the three transports.
#include <QtTest>

#include "Query.h"

namespace {
QByteArray hex(const QString &spaced) { return QByteArray::fromHex(spaced.toLatin1()); }
}  // namespace

class TestQuery : public QObject {
    Q_OBJECT
private slots:
    void frames_data();
    void frames();
    void refusedCodes_data();
    void refusedCodes();
    void asciiDeviceAbove255Refused();
};

void TestQuery::frames_data()
{
    QTest::addColumn<uint>("function");
    QTest::addColumn<uint>("device");
    QTest::addColumn<uint>("address");
    QTest::addColumn<uint>("count");
    QTest::addColumn<uint>("value");
    QTest::addColumn<QString>("rtu");
    QTest::addColumn<QString>("tcp");
    QTest::addColumn<QString>("ascii");

    QTest::newRow("read 1 holding") << 3u << 1u << 1u << 1u << 0u << "01 03 00 00 00 01 84 0A"
                                    << "00 00 00 00 00 06 01 03 00 00 00 01" << ":010300000001FB";
    QTest::newRow("37 coils at 20") << 1u << 17u << 20u << 37u << 0u << "11 01 00 13 00 25 0E 84"
                                    << "00 00 00 00 00 06 11 01 00 13 00 25" << ":110100130025B6";
    QTest::newRow("coil on") << 5u << 1u << 1u << 1u << 1u << "01 05 00 00 FF 00 8C 3A"
                             << "00 00 00 00 00 06 01 05 00 00 FF 00" << ":01050000FF00FB";
    QTest::newRow("coil on 0xFFFF") << 5u << 1u << 1u << 1u << 0xFFFFu << "01 05 00 00 FF 00 8C 3A"
                                    << "00 00 00 00 00 06 01 05 00 00 FF 00" << ":01050000FF00FB";
    QTest::newRow("coil off") << 5u << 1u << 1u << 1u << 0u << "01 05 00 00 00 00 CD CA"
                              << "00 00 00 00 00 06 01 05 00 00 00 00" << ":010500000000FA";
    QTest::newRow("register 2 := 0x1234") << 6u << 1u << 2u << 1u << 0x1234u << "01 06 00 01 12 34 D5 7D"
                                          << "00 00 00 00 00 06 01 06 00 01 12 34" << ":010600011234B2";
    QTest::newRow("address 9999") << 4u << 247u << 9999u << 120u << 0u << "F7 04 27 0E 00 78 8F C9"
                                  << "00 00 00 00 00 06 F7 04 27 0E 00 78" << ":F704270E007858";
}

void TestQuery::frames()
{
    QFETCH(uint, function);
    QFETCH(uint, device);
    QFETCH(uint, address);
    QFETCH(uint, count);
    QFETCH(uint, value);
    QFETCH(QString, rtu);
    QFETCH(QString, tcp);
    QFETCH(QString, ascii);

    uint8_t buf[512] = {};
    int32_t len = -7;
    QCOMPARE(prepare_rtu_query(function, uint8_t(device), uint16_t(address), uint16_t(count), uint16_t(value),
                               &len, buf),
             0);
    QCOMPARE(len, 8);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(buf), 8), hex(rtu));

    uint8_t tbuf[512] = {};
    len = -7;
    QCOMPARE(prepare_tcp_query(function, uint8_t(device), uint16_t(address), uint16_t(count), uint16_t(value),
                               &len, tbuf),
             0);
    QCOMPARE(len, 12);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(tbuf), 12), hex(tcp));

    char abuf[512] = {};
    len = -7;
    QCOMPARE(prepare_ascii_query(function, uint16_t(device), uint16_t(address), uint16_t(count), uint16_t(value),
                                 &len, abuf),
             0);
    QCOMPARE(len, 17);
    QCOMPARE(QByteArray(abuf, 17), ascii.toLatin1() + "\r\n");
    QCOMPARE(abuf[17], '\0');
}

void TestQuery::refusedCodes_data()
{
    QTest::addColumn<uint>("function");
    QTest::newRow("0") << 0u;
    QTest::newRow("7") << 7u;
    QTest::newRow("15") << 15u;
    QTest::newRow("0x103") << 0x103u;
}

void TestQuery::refusedCodes()
{
    QFETCH(uint, function);
    uint8_t buf[512];
    memset(buf, 0xAA, sizeof buf);
    int32_t len = 99;
    QCOMPARE(prepare_rtu_query(function, 1, 1, 1, 0, &len, buf), -1);
    QCOMPARE(len, 99);
    QCOMPARE(buf[0], uint8_t(0xAA));  // nothing written

    QCOMPARE(prepare_tcp_query(function, 1, 1, 1, 0, &len, buf), -1);
    QCOMPARE(len, 99);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(buf), 7), QByteArray("\0\0\0\0\0\0\xAA", 7));

    char abuf[512];
    memset(abuf, 'z', sizeof abuf);
    QCOMPARE(prepare_ascii_query(function, 1, 1, 1, 0, &len, abuf), -1);
    QCOMPARE(len, 99);
    QCOMPARE(abuf[0], ':');
    QCOMPARE(abuf[1], 'z');
}

void TestQuery::asciiDeviceAbove255Refused()
{
    char abuf[512] = {};
    int32_t len = 5;
    QCOMPARE(prepare_ascii_query(3, 256, 1, 1, 0, &len, abuf), -1);
    QCOMPARE(len, 5);
    QCOMPARE(prepare_ascii_query(3, 255, 1, 1, 0, &len, abuf), 0);
    QCOMPARE(QByteArray(abuf, 3), QByteArray(":FF"));
}

QTEST_APPLESS_MAIN(TestQuery)
#include "tst_query.moc"

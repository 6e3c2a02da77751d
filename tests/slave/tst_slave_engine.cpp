// The serving engine against the worked examples of the three transports, byte
// for byte and line for line, and the edge cases where a real slave goes wrong.
#include <QtTest>

#include <cstring>

#include "Slave_test_util.h"

Q_DECLARE_METATYPE(std::vector<uint8_t>)

namespace {

const SlaveProfile &profileOf(int p)
{
    return p == 0 ? kSlaveRtuProfile : p == 1 ? kSlaveAsciiProfile : kSlaveTcpProfile;
}

QByteArray responseOf(const SlaveReply &r)
{
    return QByteArray(reinterpret_cast<const char *>(r.response.data()), qsizetype(r.response.size()));
}

// A request of up to 40 random bytes with one of codes, framed for profile p
// with a valid checksum, so that it reaches the function-code handling.
template <size_t N>
QByteArray randomRequest(QRandomGenerator &rng, int p, const uint8_t (&codes)[N])
{
    const int len = int(rng.bounded(0, 40));
    QByteArray body(len, 0);
    for (char &c : body)
        c = char(rng.bounded(256));
    if (len > 1)
        body[1] = char(codes[rng.bounded(int(N))]);
    if (len > 2 && rng.bounded(2))
        body[2] = char(rng.bounded(5));  // starts near the table
    if (len > 4 && rng.bounded(2))
        body[4] = 0;  // modest counts
    if (p == 0)
        return body + referenceCrc(body);
    if (p == 1)
        return ":" + body.toHex().toUpper() + referenceLrc(body) + "\r\n";
    return hexBytes("00010000") + QByteArray(1, char((len + 1) >> 8)) + QByteArray(1, char(len + 1)) +
           QByteArray(1, 1) + body;
}

}  // namespace

class TestSlaveEngine : public QObject {
    Q_OBJECT
private slots:
    // ---- worked examples: the whole event trace --------------------------------
    void workedExamples_data()
    {
        QTest::addColumn<int>("profile");
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QString>("after");

        // RTU
        QTest::newRow("rtu read holding") << 0 << "H0=1234" << hexBytes("0103000000 01840A") << hexBytes("0103021234B533")
            << QStringList{"clear", "1:Query message: 01 03 00 00 00 01 84 0A ", "send",
                           "2:Response message: 01 03 02 12 34 B5 33 "}
            << "";
        QTest::newRow("rtu read coils") << 0 << "C0;C2;C9" << hexBytes("01010000000ABC0D") << hexBytes("010102050 23B6D")
            << QStringList{"clear", "1:Query message: 01 01 00 00 00 0A BC 0D ", "send",
                           "2:Response message: 01 01 02 05 02 3B 6D "}
            << "";
        QTest::newRow("rtu force coil") << 0 << "" << hexBytes("01050000FF008C3A") << hexBytes("01050000FF008C3A")
            << QStringList{"clear", "1:Query message: 01 05 00 00 FF 00 8C 3A ", "chg 1 0",
                           "2:Fun-05 Coil set addr=1 set=FF", "send", "2:Response message: 01 05 00 00 FF 00 8C 3A "}
            << "C0";
        QTest::newRow("rtu preset register") << 0 << "" << hexBytes("010600010003980B") << hexBytes("010600010003980B")
            << QStringList{"clear", "1:Query message: 01 06 00 01 00 03 98 0B ", "chg 3 1",
                           "2:Fun-06 Register set addr=2 value=3", "send",
                           "2:Response message: 01 06 00 01 00 03 98 0B "}
            << "H1=3";
        QTest::newRow("rtu preset registers") << 0 << "" << hexBytes("011000000002040 00A010253FC")
            << hexBytes("01100000000241C8")
            << QStringList{"clear", "1:Query message: 01 10 00 00 00 02 04 00 0A 01 02 53 FC ",
                           "2:Fun-16 Multi-Point Register set addr=1 words=2", "chg 3 0", "chg 3 1", "send",
                           "2:Response message: 01 10 00 00 00 02 41 C8 "}
            << "H0=000A;H1=0102";
        QTest::newRow("rtu code 7") << 0 << "" << hexBytes("010741E2") << hexBytes("0187018230")
            << QStringList{"clear", "1:Query message: 01 07 41 E2 ", "1:RTU illegal function fun no.=7 ",
                           "2:Exception Message: 01 87 01 82 30 ", "send"}
            << "";
        QTest::newRow("rtu code 17") << 0 << "" << hexBytes("0111C02C") << hexBytes("0191018C50")
            << QStringList{"clear", "1:Query message: 01 11 C0 2C ", "1:RTU illegal function fun no.=17 ",
                           "2:Exception Message: 01 91 01 8C 50 ", "send"}
            << "";
        QTest::newRow("rtu 30 registers from 1000") << 0 << "" << hexBytes("010303E8001E45B2") << hexBytes("018302C0F1")
            << QStringList{"clear", "1:Query message: 01 03 03 E8 00 1E 45 B2 ",
                           "1:Mod Slave RTU Reg. addr=1001 or words=30 over range ",
                           "2:Exception Message: 01 83 02 C0 F1 ", "send"}
            << "";

        // ASCII
        QTest::newRow("asc read holding") << 1 << "H0=1234" << QByteArray(":010300000001FB\r\n")
            << QByteArray(":0103021234B4\r\n")
            << QStringList{"clear", "1:Query Message: :010300000001FB\r\n", "send",
                           "2:Response Message: :0103021234B4\r\n"}
            << "";
        QTest::newRow("asc read 0x8000") << 1 << "H0=8000" << QByteArray(":010300000001FB\r\n")
            << QByteArray(":01030280007A\r\n")
            << QStringList{"clear", "1:Query Message: :010300000001FB\r\n", "send",
                           "2:Response Message: :01030280007A\r\n"}
            << "";
        QTest::newRow("asc read coils") << 1 << "C0;C2;C9" << QByteArray(":01010000000AF4\r\n")
            << QByteArray(":0101020502F5\r\n")
            << QStringList{"clear", "1:Query Message: :01010000000AF4\r\n", "send",
                           "2:Response Message: :0101020502F5\r\n"}
            << "";
        QTest::newRow("asc force coil") << 1 << "" << QByteArray(":01050000FF00FB\r\n") << QByteArray(":01050000FF00FB\r\n")
            << QStringList{"clear", "1:Query Message: :01050000FF00FB\r\n", "chg 1 0",
                           "2:Fun-05 Coil set addr=1 set=FF", "send", "2:Response Message: :01050000FF00FB\r\n"}
            << "C0";
        QTest::newRow("asc preset register") << 1 << "" << QByteArray(":010600010003F5\r\n")
            << QByteArray(":010600010003F5\r\n")
            << QStringList{"clear", "1:Query Message: :010600010003F5\r\n", "chg 3 1",
                           "2:Fun-06 Register addr=2 value=3", "send", "2:Response Message: :010600010003F5\r\n"}
            << "H1=3";
        QTest::newRow("asc code 7") << 1 << "" << QByteArray(":0107F8\r\n") << QByteArray(":01870177\r\n")
            << QStringList{"clear", "1:Query Message: :0107F8\r\n", "2:Exception Message: :01870177\r\n", "send",
                           "1:ASCII illegal function fun no.=7 "}
            << "";
        QTest::newRow("asc code 17") << 1 << "" << QByteArray(":0111EE\r\n") << QByteArray(":0191016D\r\n")
            << QStringList{"clear", "1:Query Message: :0111EE\r\n", "2:Exception Message: :0191016D\r\n", "send",
                           "1:ASCII illegal function fun no.=17 "}
            << "";
        QTest::newRow("asc 30 registers from 1000")
            << 1 << "" << QByteArray(":010303E8001EF3\r\n") << QByteArray(":0183027A\r\n")
            << QStringList{"clear", "1:Query Message: " + QString(":010303E8001EF3\r\n"),
                           "1:Mod Slave ASC Reg. addr=1001 or words=30 over range ",
                           "2:Exception Message: :0183027A\r\n", "send"}
            << "";

        // TCP
        QTest::newRow("tcp read holding") << 2 << "H0=1234" << hexBytes("000100000006010300000001")
            << hexBytes("0001000000050103021234")
            << QStringList{"clear", "1:Query Message: 00 01 00 00 00 06 01 03 00 00 00 01 ", "send",
                           "2:Response Message: 00 01 00 00 00 05 01 03 02 12 34 "}
            << "";
        QTest::newRow("tcp read coils") << 2 << "C0;C2;C9" << hexBytes("00020000000601010000000A")
            << hexBytes("0002000000050101020502")
            << QStringList{"clear", "1:Query Message: 00 02 00 00 00 06 01 01 00 00 00 0A ", "send",
                           "2:Response Message: 00 02 00 00 00 05 01 01 02 05 02 "}
            << "";
        QTest::newRow("tcp force coil") << 2 << "" << hexBytes("000300000006FF050000FF00")
            << hexBytes("000300000006FF050000FF00")
            << QStringList{"clear", "1:Query Message: 00 03 00 00 00 06 FF 05 00 00 FF 00 ", "chg 1 0",
                           "2:Fun-05 Coil set addr=1 set=FF", "send",
                           "2:Response Message: 00 03 00 00 00 06 FF 05 00 00 FF 00 "}
            << "C0";
        QTest::newRow("tcp preset registers") << 2 << "" << hexBytes("00040000000B01100000000204000A0102")
            << hexBytes("000400000006011000000002")
            << QStringList{"clear", "1:Query Message: 00 04 00 00 00 0B 01 10 00 00 00 02 04 00 0A 01 02 ",
                           "2:Fun-16 Multi-Point Register set addr=1 words=2", "chg 3 0", "chg 3 1", "send",
                           "2:Response Message: 00 04 00 00 00 06 01 10 00 00 00 02 "}
            << "H0=000A;H1=0102";
        QTest::newRow("tcp code 7") << 2 << "" << hexBytes("0005000000020107") << hexBytes("000500000003018701")
            << QStringList{"clear", "1:Query Message: 00 05 00 00 00 02 01 07 ", "send",
                           "1:TCP illegal function fun no.=7 ", "2:Response Message: 00 05 00 00 00 03 01 87 01 "}
            << "";
        QTest::newRow("tcp 30 registers from 1000") << 2 << "" << hexBytes("000600000006010303E8001E")
            << hexBytes("000600000003018302")
            << QStringList{"clear", "1:Query Message: 00 06 00 00 00 06 01 03 03 E8 00 1E ", "send",
                           "1:Mod Slave TCP Reg. addr=1001 or words=30 over range "}
            << "";
    }
    void workedExamples()
    {
        QFETCH(int, profile);
        QFETCH(QString, setup);
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, response);
        QFETCH(QStringList, expected);
        QFETCH(QString, after);
        SlaveTables t;
        applyTables(t, setup);
        const SlaveReply r = serveBytes(profileOf(profile), t, request);
        QCOMPARE(trace(r), expected);
        QCOMPARE(spaced(responseOf(r)), spaced(response));
        QCOMPARE(checkTables(t, after), QString());
    }

    // ---- edge cases: response and the memo lines after the query ------------
    void edgeCases_data()
    {
        QTest::addColumn<int>("profile");
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("response");  // empty: nothing sent
        QTest::addColumn<QStringList>("memo1");     // after the query line
        QTest::addColumn<QStringList>("memo2");
        QTest::addColumn<QString>("after");

        const QStringList none;

        // Bounds of the reads.
        QTest::newRow("rtu 1000+24 coils")
            << 0 << "C1023" << hexBytes("010103E80018 BC70") << hexBytes("010103000080 3DEE") << none
            << QStringList{"Response message: " + spaced(hexBytes("010103000080 3DEE"))} << "";
        QTest::newRow("rtu 1000+25 coils")
            << 0 << "" << hexBytes("010103E80019 7DB0") << hexBytes("018102 C191")
            << QStringList{"Mod Slave RTU Relay addr=1001 or bits=25 over range "}
            << QStringList{"Exception Message: " + spaced(hexBytes("018102 C191"))} << "";
        QTest::newRow("rtu 2000 coils")
            << 0 << "" << hexBytes("0101000007D0 3FA6") << hexBytes("018102 C191")
            << QStringList{"Mod Slave RTU Relay addr=1 or bits=2000 over range "}
            << QStringList{"Exception Message: " + spaced(hexBytes("018102 C191"))} << "";
        QTest::newRow("rtu 121 registers")
            << 0 << "" << hexBytes("010300000079 8428") << hexBytes("018302 C0F1")
            << QStringList{"Mod Slave RTU Reg. addr=1 words=121 over(max. TAG= 120)"}
            << QStringList{"Exception Message: " + spaced(hexBytes("018302 C0F1"))} << "";
        {
            // Byte count 240, register 0 = 0x1200, the rest 0.
            const QByteArray resp = hexBytes("0103F0 12") + QByteArray(239, 0) + hexBytes("1276");
            QTest::newRow("rtu 120 registers")
                << 0 << "H0=1200" << hexBytes("010300000078 45E8") << resp << none
                << QStringList{"Response message: " + spaced(resp)} << "";
        }
        QTest::newRow("rtu 0 coils") << 0 << "" << hexBytes("010100000000 3C0A") << hexBytes("010100 2190")
                                     << none
                                     << QStringList{"Response message: " + spaced(hexBytes("010100 2190"))}
                                     << "";
        QTest::newRow("rtu input relays 7 from 1017")
            << 0 << "R1017;R1023" << hexBytes("010203F90007 E9BD") << hexBytes("01020141 61B8") << none
            << QStringList{"Response message: " + spaced(hexBytes("01020141 61B8"))} << "";
        QTest::newRow("rtu input registers")
            << 0 << "I1022=FFFF;I1023=8000" << hexBytes("010403FE0002 107F")
            << hexBytes("010404FFFF8000 9A60") << none
            << QStringList{"Response message: " + spaced(hexBytes("010404FFFF8000 9A60"))} << "";

        // Writes at the top of the tables.
        QTest::newRow("rtu code 15 from 1023 for 1")
            << 0 << "" << hexBytes("010F03FF00010101 FB70") << hexBytes("010F03FF0001 A47F") << none
            << QStringList{"Fun-15 Multi-Point Coil set addr=1024 bits=1",
                           "Response message: " + spaced(hexBytes("010F03FF0001 A47F"))}
            << "C1023";
        QTest::newRow("rtu code 16 from 1023 for 1")
            << 0 << "" << hexBytes("011003FF000102ABCD 3FFA") << hexBytes("011003FF0001 31BD") << none
            << QStringList{"Fun-16 Multi-Point Register set addr=1024 words=1",
                           "Response message: " + spaced(hexBytes("011003FF0001 31BD"))}
            << "H1023=ABCD";
        QTest::newRow("rtu code 16 from 1023 for 2")
            << 0 << "" << hexBytes("011003FF000204ABCD1234 14F7") << hexBytes("019002 CDC1")
            << QStringList{"Mod Slave RTU Reg. addr=1024 or words=2 over range "}
            << QStringList{"Exception Message: " + spaced(hexBytes("019002 CDC1"))} << "H1023=0";
        QTest::newRow("rtu code 15 from 1020 for 5")
            << 0 << "" << hexBytes("010F03FC0005011F 7EB9") << hexBytes("018F02 C5F1")
            << QStringList{"Mod Slave RTU Relay addr=1021 or bits=5 over range "}
            << QStringList{"Exception Message: " + spaced(hexBytes("018F02 C5F1"))} << "C1020=0";
        QTest::newRow("rtu code 6 on 1023")
            << 0 << "" << hexBytes("010603FF0007 F87C") << hexBytes("010603FF0007 F87C") << none
            << QStringList{"Fun-06 Register set addr=1024 value=7",
                           "Response message: " + spaced(hexBytes("010603FF0007 F87C"))}
            << "H1023=7";
        QTest::newRow("rtu code 6 on 1024")
            << 0 << "" << hexBytes("010604000007 C938") << hexBytes("018602 C3A1")
            << QStringList{"Mod Slave RTU Reg. addr=1025 over range "}
            << QStringList{"Exception Message: " + spaced(hexBytes("018602 C3A1"))} << "";
        QTest::newRow("rtu code 5 on 1024")
            << 0 << "" << hexBytes("01050400FF00 8D0A") << hexBytes("018502 C351")
            << QStringList{"Mod Slave RTU Relay addr=1025 over range "}
            << QStringList{"Exception Message: " + spaced(hexBytes("018502 C351"))} << "";
        QTest::newRow("rtu code 6 FFFF")
            << 0 << "" << hexBytes("01060000FFFF 887A") << hexBytes("01060000FFFF 887A") << none
            << QStringList{"Fun-06 Register set addr=1 value=-1",
                           "Response message: " + spaced(hexBytes("01060000FFFF 887A"))}
            << "H0=FFFF";
        QTest::newRow("rtu code 15 pattern")
            << 0 << "C1;C10" << hexBytes("010F0000000A020502 67A9") << hexBytes("010F0000000A D5CC") << none
            << QStringList{"Fun-15 Multi-Point Coil set addr=1 bits=10",
                           "Response message: " + spaced(hexBytes("010F0000000A D5CC"))}
            << "C0;C1=0;C2;C9;C10";

        // Code 5 values: only the high byte counts; the answer is the request.
        struct Frame {
            const char *name;
            const char *request;
            const char *response = nullptr;  // none: the answer is the request
        };
        for (const Frame &c : {Frame{.name = "0000", .request = "010500070000 7C0B"},
                               Frame{.name = "00FF", .request = "0105000700FF 3C4B"},
                               Frame{.name = "1234", .request = "010500071234 717C"}}) {
            const QByteArray req = hexBytes(c.request);
            QTest::newRow(qPrintable(QString("rtu code 5 %1 off").arg(c.name)))
                << 0 << "C7" << req << req << none
                << QStringList{QString("Fun-05 Coil set addr=8 set=%1").arg(QString(c.name).left(2)),
                               "Response message: " + spaced(req)}
                << "C7=0";
        }
        for (const Frame &c : {Frame{.name = "FF00", .request = "01050007FF00 3DFB"},
                               Frame{.name = "FFFF", .request = "01050007FFFF 7DBB"}}) {
            const QByteArray req = hexBytes(c.request);
            QTest::newRow(qPrintable(QString("rtu code 5 %1 on").arg(c.name)))
                << 0 << "" << req << req << none
                << QStringList{"Fun-05 Coil set addr=8 set=FF", "Response message: " + spaced(req)} << "C7";
        }
        // Any slave address is answered and echoed.
        for (const Frame &c :
             {Frame{.name = "00", .request = "000300000001 85DB", .response = "0003020000 8584"},
              Frame{.name = "F7", .request = "F70300000001 909C", .response = "F703020000 7051"},
              Frame{.name = "FF", .request = "FF0300000001 91D4", .response = "FF03020000 9190"}}) {
            const QByteArray resp = hexBytes(c.response);
            QTest::newRow(qPrintable(QString("rtu address %1").arg(c.name)))
                << 0 << "" << hexBytes(c.request) << resp << none
                << QStringList{"Response message: " + spaced(resp)} << "";
        }

        // Frames that cannot be served.
        QTest::newRow("rtu crc error") << 0 << "" << hexBytes("0103000000018400") << QByteArray()
            << QStringList{"Mod Slave RTU CRC err RECV=132 0 CALC=132 10 len=8"} << none << "";
        QTest::newRow("rtu one byte") << 0 << "" << hexBytes("01") << QByteArray()
            << QStringList{"Mod Slave RTU CRC err RECV=0 1 CALC=255 255 len=1"} << none << "";
        // Two or three bytes with a correct CRC hold no function code: refused
        // like any request too short for its fields, the missing address and
        // function code taken as 0 rather than read from the CRC.
        QTest::newRow("rtu two bytes, the CRC of nothing")
            << 0 << "" << hexBytes("FFFF") << hexBytes("008003 5001")
            << QStringList{"Mod Slave RTU req. too short len=2"}
            << QStringList{"Exception Message: 00 80 03 50 01 "} << "";
        QTest::newRow("rtu three bytes, an address alone")
            << 0 << "" << hexBytes("01 7E80") << hexBytes("018003 01C1")
            << QStringList{"Mod Slave RTU req. too short len=3"}
            << QStringList{"Exception Message: 01 80 03 01 C1 "} << "";
        QTest::newRow("rtu fields missing")
            << 0 << "" << hexBytes("010300 20F0") << hexBytes("018303 0131")
            << QStringList{"Mod Slave RTU req. too short len=5"}
            << QStringList{"Exception Message: " + spaced(hexBytes("018303 0131"))} << "";
        QTest::newRow("rtu code 16 data short")
            << 0 << "H1=5" << hexBytes("01100000000204000A C612") << hexBytes("019003 0C01")
            << QStringList{"Mod Slave RTU Reg. addr=1 words=2 data too short len=2"}
            << QStringList{"Exception Message: " + spaced(hexBytes("019003 0C01"))} << "H0=0;H1=5";
        QTest::newRow("rtu code 15 data short")
            << 0 << "" << hexBytes("010F0000001002FF 3E22") << hexBytes("018F03 0431")
            << QStringList{"Mod Slave RTU Relay addr=1 bits=16 data too short len=1"}
            << QStringList{"Exception Message: " + spaced(hexBytes("018F03 0431"))} << "C0=0";
        QTest::newRow("rtu code 16 count beyond any frame")
            << 0 << "" << hexBytes("011000000400000001 366C") << hexBytes("019003 0C01")
            << QStringList{"Mod Slave RTU Reg. addr=1 words=1024 data too short len=2"}
            << QStringList{"Exception Message: " + spaced(hexBytes("019003 0C01"))} << "H0=0";

        // ASCII
        QTest::newRow("asc 1000+25 coils")
            << 1 << "" << QByteArray(":010103E80019FA\r\n") << QByteArray(":0181027C\r\n")
            << QStringList{"Mod Slave ASC Relay addr=1001 or bits=25 over range "}
            << QStringList{"Exception Message: " + QString(":0181027C\r\n")} << "";
        QTest::newRow("asc 961 coils")
            << 1 << "" << QByteArray(":0101000003C13A\r\n") << QByteArray(":0181027C\r\n")
            << QStringList{"Mod Slave ASC Relay addr=1 bits=961 over(max. TAG= 960)"}
            << QStringList{"Exception Message: " + QString(":0181027C\r\n")} << "";
        QTest::newRow("asc 61 registers")
            << 1 << "" << QByteArray(":01030000003DBF\r\n") << QByteArray(":0183027A\r\n")
            << QStringList{"Mod Slave ASC Register addr=1 words=61 over(max. TAG= 60)"}
            << QStringList{"Exception Message: " + QString(":0183027A\r\n")} << "";
        {
            // 120 data bytes, the first holding coils 0..7.
            const QByteArray resp = ":010178C0" + QByteArray(238, '0') + "C6\r\n";
            QTest::newRow("asc 960 coils")
                << 1 << "C6;C7" << QByteArray(":0101000003C03B\r\n") << resp << none
                << QStringList{"Response Message: " + QString::fromLatin1(resp)} << "";
        }
        QTest::newRow("asc code 15 from 1023 for 1")
            << 1 << "" << QByteArray(":010F03FF00010101EB\r\n") << QByteArray(":010F03FF0001ED\r\n") << none
            << QStringList{"Fun-15 Multi-Point Coil set addr=1024 bits=1",
                           "Response Message: " + QString(":010F03FF0001ED\r\n")}
            << "C1023";
        QTest::newRow("asc code 5 on 1023")
            << 1 << "" << QByteArray(":010503FFFF00F9\r\n") << QByteArray(":010503FFFF00F9\r\n") << none
            << QStringList{"Fun-05 Coil set addr=1024 set=FF",
                           "Response Message: " + QString(":010503FFFF00F9\r\n")}
            << "C1023";
        QTest::newRow("asc code 5 00FF off")
            << 1 << "C3" << QByteArray(":0105000300FFF8\r\n") << QByteArray(":0105000300FFF8\r\n") << none
            << QStringList{"Fun-05 Coil set addr=4 set=00",
                           "Response Message: " + QString(":0105000300FFF8\r\n")}
            << "C3=0";
        QTest::newRow("asc code 6 FFFF")
            << 1 << "" << QByteArray(":01060000FFFFFB\r\n") << QByteArray(":01060000FFFFFB\r\n") << none
            << QStringList{"Fun-06 Register addr=1 value=-1",
                           "Response Message: " + QString(":01060000FFFFFB\r\n")}
            << "H0=FFFF";
        QTest::newRow("asc read FFFF")
            << 1 << "H5=FFFF" << QByteArray(":010300050001F6\r\n") << QByteArray(":010302FFFFFC\r\n") << none
            << QStringList{"Response Message: " + QString(":010302FFFFFC\r\n")} << "";
        QTest::newRow("asc code 15 pattern")
            << 1 << "C1" << QByteArray(":010F0000000A020502DD\r\n") << QByteArray(":010F0000000AE6\r\n")
            << none
            << QStringList{"Fun-15 Multi-Point Coil set addr=1 bits=10",
                           "Response Message: " + QString(":010F0000000AE6\r\n")}
            << "C0;C1=0;C2;C9";
        for (const Frame &c :
             {Frame{.name = "00", .request = ":000300000001FC\r\n", .response = ":0003020000FB\r\n"},
              Frame{.name = "F7", .request = ":F7030000000105\r\n", .response = ":F70302000004\r\n"}}) {
            QTest::newRow(qPrintable(QString("asc address %1").arg(c.name)))
                << 1 << "" << QByteArray(c.request) << QByteArray(c.response) << none
                << QStringList{"Response Message: " + QString(c.response)} << "";
        }
        // Lower case: the LRC pair must be upper case; the body may be either,
        // and what is echoed comes back upper case.
        QTest::newRow("asc lower-case LRC") << 1 << "" << QByteArray(":010300000001fb\r\n") << QByteArray()
            << QStringList{"Mod Slave ASCII LRC err RECV=102 98 CALC=70 66 len=17"} << none << "";
        QTest::newRow("asc lower-case body") << 1 << "" << QByteArray(":01050000ff00FB\r\n")
            << QByteArray(":01050000FF00FB\r\n") << none
            << QStringList{"Fun-05 Coil set addr=1 set=FF", "Response Message: :01050000FF00FB\r\n"} << "C0";
        QTest::newRow("asc lower-case address")
            << 1 << "" << QByteArray(":0a0300000001F2\r\n") << QByteArray(":0A03020000F1\r\n") << none
            << QStringList{"Response Message: " + QString(":0A03020000F1\r\n")} << "";
        // The odd character would not change the sum: only the count refuses it.
        QTest::newRow("asc odd length") << 1 << "" << QByteArray(":0103000000010FB\r\n") << QByteArray()
            << QStringList{"Mod Slave ASCII LRC err RECV=70 66 CALC=70 66 len=18"} << none << "";
        QTest::newRow("asc wrong LRC") << 1 << "" << QByteArray(":010300000001FC\r\n") << QByteArray()
            << QStringList{"Mod Slave ASCII LRC err RECV=70 67 CALC=70 66 len=17"} << none << "";
        QTest::newRow("asc fields missing")
            << 1 << "" << QByteArray(":0103FC\r\n") << QByteArray()
            << QStringList{"Mod Slave ASC req. too short len=9"} << none << "";
        QTest::newRow("asc under 5 characters") << 1 << "" << QByteArray(":\r\n") << QByteArray()
            << QStringList{"Mod Slave ASC req. too short len=3"} << none << "";
        QTest::newRow("asc function not hex")
            << 1 << "" << QByteArray(":01G3FF\r\n") << QByteArray()
            << QStringList{"Mod Slave ASC req. not hex. data len=9"} << none << "";
        QTest::newRow("asc count not hex")
            << 1 << "" << QByteArray(":01030000000GFC\r\n") << QByteArray()
            << QStringList{"Mod Slave ASC req. not hex. data len=17"} << none << "";
        QTest::newRow("asc code 16 data not hex")
            << 1 << "H0=5" << QByteArray(":01100000000204000A01G2DE\r\n") << QByteArray()
            << QStringList{"Mod Slave ASC req. not hex. data len=27"} << none << "H0=5";
        QTest::newRow("asc code 16 data short")
            << 1 << "H0=5" << QByteArray(":011000000002040001E8\r\n") << QByteArray(":0190036C\r\n")
            << QStringList{"Mod Slave ASC Reg. addr=1 words=2 data too short len=4"}
            << QStringList{"Exception Message: " + QString(":0190036C\r\n")} << "H0=5";

        // TCP
        auto tcp = [](const QString &h) { return hexBytes(h); };
        {
            QByteArray resp = tcp("0007000000830101") + QByteArray(1, char(0x80)) + QByteArray(128, 0);
            resp[9] = 0x01;
            QTest::newRow("tcp 1024 coils") << 2 << "C0" << tcp("000700000006010100000400") << resp << none
                << QStringList{"Response Message: " + spaced(resp)} << "";
            QCOMPARE(resp.size(), 137);
        }
        QTest::newRow("tcp 1000+25 coils") << 2 << "" << tcp("000900000006010103E80019") << tcp("000900000003018102")
            << QStringList{"Mod Slave TCP Relay addr=1001 or bits=25 over range "} << none << "";
        QTest::newRow("tcp 121 registers") << 2 << "" << tcp("000A00000006010300000079") << tcp("000A00000003018302")
            << QStringList{"Mod Slave TCP Reg. addr=1 words=121 over(max. TAG= 120)"} << none << "";
        {
            const QByteArray resp = tcp("000B000000F30103F0") + QByteArray(240, 0);
            QTest::newRow("tcp 120 registers") << 2 << "" << tcp("000B00000006010300000078") << resp << none
                << QStringList{"Response Message: " + spaced(resp)} << "";
        }
        QTest::newRow("tcp code 16 from 1023") << 2 << "" << tcp("000D00000009011003FF0001021234")
            << tcp("000D00000006011003FF0001") << none
            << QStringList{"Fun-16 Multi-Point Register set addr=1024 words=1",
                           "Response Message: 00 0D 00 00 00 06 01 10 03 FF 00 01 "}
            << "H1023=1234";
        for (const char *v : {"0000", "00FF", "1234"}) {
            const QByteArray req = tcp(QString("000F00000006010500FF") + v);
            QTest::newRow(qPrintable(QString("tcp code 5 %1 off").arg(v))) << 2 << "C255" << req << req << none
                << QStringList{QString("Fun-05 Coil set addr=256 set=%1").arg(QString(v).left(2)),
                               "Response Message: " + spaced(req)}
                << "C255=0";
        }
        QTest::newRow("tcp code 5 FFFF on, length 6 echo") << 2 << "" << tcp("000F000000060105000AFFFF")
            << tcp("000F000000060105000AFFFF") << none
            << QStringList{"Fun-05 Coil set addr=11 set=FF",
                           "Response Message: 00 0F 00 00 00 06 01 05 00 0A FF FF "}
            << "C10";
        QTest::newRow("tcp unit FF, protocol id and length ignored") << 2 << "" << tcp("ABCD12340010FF0300000001")
            << tcp("ABCD12340005FF03020000") << none
            << QStringList{"Response Message: AB CD 12 34 00 05 FF 03 02 00 00 "} << "";
        QTest::newRow("tcp fields missing") << 2 << "" << tcp("00010000000301030000") << tcp("000100000003018303")
            << QStringList{"Mod Slave TCP req. too short len=10"} << none << "";
        QTest::newRow("tcp code 16 data short") << 2 << "" << tcp("00010000000901100000000204000A")
            << tcp("000100000003019003")
            << QStringList{"Mod Slave TCP Reg. addr=1 words=2 data too short len=2"} << none << "H0=0";
        QTest::newRow("tcp code 0") << 2 << "" << tcp("0001000000020100") << tcp("000100000003018001")
            << QStringList{"TCP illegal function fun no.=0 "}
            << QStringList{"Response Message: 00 01 00 00 00 03 01 80 01 "} << "";
    }
    void edgeCases()
    {
        QFETCH(int, profile);
        QFETCH(QString, setup);
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, response);
        QFETCH(QStringList, memo1);
        QFETCH(QStringList, memo2);
        QFETCH(QString, after);
        SlaveTables t;
        applyTables(t, setup);
        const SlaveReply r = serveBytes(profileOf(profile), t, request);
        const QStringList tr = trace(r);
        QStringList m1 = memoLines(tr, 1);
        QVERIFY(!m1.isEmpty());
        QVERIFY(m1.first().startsWith(profileOf(profile).queryCaption));
        m1.removeFirst();
        QCOMPARE(m1, memo1);
        QCOMPARE(memoLines(tr, 2), memo2);
        QCOMPARE(r.sent(), !response.isEmpty());
        QCOMPARE(spaced(responseOf(r)), spaced(response));
        QCOMPARE(checkTables(t, after), QString());
        // A refused or unanswered request changes nothing.
        if (!r.sent() || response.size() < 5 || (uint8_t(response[profile == 2 ? 7 : 1]) & 0x80))
            QVERIFY(tr.filter("chg").isEmpty());
    }

    // A code-15 write of every coil reports each coil right after writing it,
    // after the Fun-15 line and before the response.
    void changesInOrder()
    {
        SlaveTables t;
        const QByteArray req = hexBytes("000100000087010F00000400") + QByteArray(1, char(0x80)) + QByteArray(128, char(0xAA));
        const SlaveReply r = serveBytes(kSlaveTcpProfile, t, req);
        const QStringList tr = trace(r);
        const int fun = int(tr.indexOf("2:Fun-15 Multi-Point Coil set addr=1 bits=1024"));
        QVERIFY(fun > 0);
        for (int n = 0; n < 1024; ++n)
            QCOMPARE(tr[fun + 1 + n], QString("chg 1 %1").arg(n));
        QCOMPARE(tr[fun + 1025], QString("send"));
        for (int n = 0; n < 1024; ++n)
            QCOMPARE(t.ReadCoil(uint16_t(n)), uint16_t(n % 2));
    }

    // The request is never read beyond what was handed over: a frame cut
    // anywhere is refused, not completed with zeros or with stale bytes.
    void truncatedFramesNeverWrite_data()
    {
        QTest::addColumn<int>("profile");
        QTest::addColumn<QByteArray>("full");
        QTest::newRow("tcp 16") << 2 << hexBytes("00040000000B01100000000204000A0102");
        QTest::newRow("tcp 15") << 2 << hexBytes("000400000009010F000000100233CC");
    }
    void truncatedFramesNeverWrite()
    {
        QFETCH(int, profile);
        QFETCH(QByteArray, full);
        for (int cut = 1; cut < full.size(); ++cut) {
            SlaveTables t;
            t.holdingRegisters[0] = 0x5555;
            t.holdingRegisters[1] = 0x5555;
            const SlaveReply r = serveBytes(profileOf(profile), t, full.left(cut));
            QCOMPARE(t.holdingRegisters[0], uint16_t(0x5555));
            QCOMPARE(t.holdingRegisters[1], uint16_t(0x5555));
            QCOMPARE(t.coils[0], uint8_t(0));
            QVERIFY(trace(r).filter("chg").isEmpty());
        }
    }

    // Random requests with valid checksums reach every path: whatever comes,
    // the response fits a frame buffer and is framed as its transport frames it.
    void randomRequests()
    {
        QCOMPARE(spaced(referenceCrc(hexBytes("010300000001"))), spaced(hexBytes("840A")));
        QCOMPARE(referenceLrc(hexBytes("01050000FF00")), QByteArray("FB"));
        QRandomGenerator rng(1234);
        const uint8_t codes[] = {1, 2, 3, 4, 5, 6, 15, 16, 7, 0, 0x83};
        for (int p = 0; p < 3; ++p) {
            SlaveTables t;
            for (int i = 0; i < 6000; ++i) {
                const QByteArray req = randomRequest(rng, p, codes);
                const SlaveReply r = serveBytes(profileOf(p), t, req);
                QVERIFY(r.response.size() <= kSlaveFrameMax);
                if (!r.sent())
                    continue;
                if (p == 0) {
                    const QByteArray frame = responseOf(r);
                    QCOMPARE(spaced(referenceCrc(frame.chopped(2))), spaced(frame.right(2)));
                } else if (p == 1) {
                    QCOMPARE(r.response.front(), uint8_t(':'));
                    QCOMPARE(r.response.back(), uint8_t('\n'));
                } else {
                    QCOMPARE(size_t(r.response[5]) + 6, r.response.size());
                }
            }
        }
    }

    // A caller that wants no texts gets the same answers, writes, change
    // notes and code 11 count, every code served, and no memo event at all.
    void withoutTextsTheSameAnswers()
    {
        QRandomGenerator rng(4321);
        const uint8_t codes[] = {1, 2, 3, 4, 5, 6, 15, 16, 7, 8, 11, 17, 22, 23, 43, 0x41};
        SlaveServeOptions texts, none;
        texts.codes = none.codes = SlaveCodes::All;
        none.logTexts = false;
        for (int p = 0; p < 3; ++p) {
            SlaveTables a, b;
            SlaveServeState sa, sb;
            for (int i = 0; i < 6000; ++i) {
                const QByteArray req = randomRequest(rng, p, codes);
                const auto *bytes = reinterpret_cast<const uint8_t *>(req.constData());
                const SlaveReply ra = serve_slave_request(profileOf(p), a, bytes, size_t(req.size()), texts, sa);
                const SlaveReply rb = serve_slave_request(profileOf(p), b, bytes, size_t(req.size()), none, sb);
                QCOMPARE(spaced(rb.response), spaced(ra.response));
                QCOMPARE(trace(rb), traceWithoutTexts(ra));
                QCOMPARE(sb.commEvents, sa.commEvents);
            }
            QVERIFY(std::memcmp(&a, &b, sizeof a) == 0);
        }
    }

    // An exception answer carries the request's own address (and, over TCP,
    // its transaction and protocol identifiers), not those of any example.
    void exceptionsCarryTheRequestIds_data()
    {
        QTest::addColumn<int>("profile");
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("rtu") << 0 << hexBytes("F70303E8001E 5124") << hexBytes("F78302 20C3");
        QTest::newRow("ascii") << 1 << QByteArray(":F70702\r\n") << QByteArray(":F7870181\r\n");
        QTest::newRow("tcp") << 2 << hexBytes("123456780006F70303E8001E") << hexBytes("123456780003F78302");
    }
    void exceptionsCarryTheRequestIds()
    {
        QFETCH(int, profile);
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, expected);
        SlaveTables t;
        const SlaveReply r = serveBytes(profileOf(profile), t, request);
        QVERIFY(r.sent());
        QCOMPARE(spaced(responseOf(r)), spaced(expected));
    }
};

QTEST_GUILESS_MAIN(TestSlaveEngine)
#include "tst_slave_engine.moc"

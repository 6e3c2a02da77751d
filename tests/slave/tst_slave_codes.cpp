// The function codes beyond the classic eight, served with SlaveCodes::All:
// one table per code, request then answer as they travel, with the table
// contents before and after and a memo line the request must log.
#include <QtTest>

#include "Slave_test_util.h"

namespace {

const SlaveProfile &profileOf(int p)
{
    return p == 0 ? kSlaveRtuProfile : p == 1 ? kSlaveAsciiProfile : kSlaveTcpProfile;
}

SlaveServeOptions allCodes()
{
    SlaveServeOptions o;
    o.codes = SlaveCodes::All;
    o.identity = {.vendor = "Quillan", .product = "Slave RTU", .revision = "1.0"};
    return o;
}

void columns()
{
    QTest::addColumn<int>("profile");  // 0 RTU, 1 ASCII, 2 TCP
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("response");
    QTest::addColumn<QString>("after");
    QTest::addColumn<QString>("line");  // a memo line the trace holds; "" none checked
}

// Frames in the tables: RTU and TCP as hexadecimal, ASCII as text.
QByteArray rtu(const char *hex) { return hexBytes(hex); }

void serveRow()
{
    QFETCH(int, profile);
    QFETCH(QString, setup);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, response);
    QFETCH(QString, after);
    QFETCH(QString, line);
    SlaveTables t;
    applyTables(t, setup);
    const SlaveTables before = t;
    SlaveServeState state{.commEvents = 0x0102};
    const SlaveReply r = serve_slave_request(profileOf(profile), t, reinterpret_cast<const uint8_t *>(request.data()),
                                             size_t(request.size()), allCodes(), state);
    const QByteArray got(reinterpret_cast<const char *>(r.response.data()), qsizetype(r.response.size()));
    QCOMPARE(spaced(got), spaced(response));
    QCOMPARE(checkTables(t, after), QString());
    if (after.isEmpty())  // nothing written
        QVERIFY(std::memcmp(before.holdingRegisters, t.holdingRegisters, sizeof t.holdingRegisters) == 0);
    if (!line.isEmpty())
        QVERIFY2(trace(r).contains("1:" + line) || trace(r).contains("2:" + line), qPrintable(trace(r).join('|')));

    // A caller that wants no texts: the same answer, tables and count, and
    // only the events that are no memo text.
    SlaveTables quiet = before;
    SlaveServeOptions noTexts = allCodes();
    noTexts.logTexts = false;
    SlaveServeState quietState{.commEvents = 0x0102};
    const SlaveReply q = serve_slave_request(profileOf(profile), quiet, reinterpret_cast<const uint8_t *>(request.data()),
                                             size_t(request.size()), noTexts, quietState);
    QCOMPARE(spaced(q.response), spaced(r.response));
    QVERIFY(std::memcmp(&quiet, &t, sizeof t) == 0);
    QCOMPARE(quietState.commEvents, state.commEvents);
    QCOMPARE(trace(q), traceWithoutTexts(r));
}

}  // namespace

class TestSlaveCodes : public QObject {
    Q_OBJECT
private slots:
    void readExceptionStatus_data()
    {
        columns();
        QTest::newRow("rtu coils 1, 3, 8") << 0 << "C0;C2;C7;C8" << rtu("010741E2") << rtu("010785E393") << ""
                                           << "Fun-07 Exception status=85";
        QTest::newRow("tcp") << 2 << "C0;C2;C7" << rtu("0001000000020107") << rtu("000100000003010785") << "" << "";
        QTest::newRow("ascii") << 1 << "C0;C2;C7" << QByteArray(":0107F8\r\n") << QByteArray(":01078573\r\n") << ""
                               << "";
        QTest::newRow("rtu a byte too many") << 0 << "" << rtu("0107002230") << rtu("01870303F1") << ""
                                             << "Mod Slave RTU req. too long len=5";
    }
    void readExceptionStatus() { serveRow(); }

    void diagnostics_data()
    {
        columns();
        QTest::newRow("rtu echo") << 0 << "" << rtu("01080000A537DA8D") << rtu("01080000A537DA8D") << ""
                                  << "Fun-08 Diagnostics echo bytes=2";
        QTest::newRow("tcp echo, no data") << 2 << "" << rtu("00020000000401080000") << rtu("00020000000401080000")
                                           << "" << "";
        QTest::newRow("ascii echo") << 1 << "" << QByteArray(":01080000A5371B\r\n")
                                    << QByteArray(":01080000A5371B\r\n") << "" << "";
        QTest::newRow("rtu sub-function 1") << 0 << "" << rtu("01080001A5378B4D") << rtu("01880187C0") << ""
                                            << "Mod Slave RTU Diag. sub-function=1 not served";
        QTest::newRow("tcp sub-function 1") << 2 << "" << rtu("00020000000401080001") << rtu("000200000003018801")
                                            << "" << "";
        QTest::newRow("ascii sub-function 1") << 1 << "" << QByteArray(":01080001F6\r\n")
                                              << QByteArray(":01880176\r\n") << "" << "";
        QTest::newRow("rtu odd data") << 0 << "" << rtu("01080000A5DBDB") << rtu("0188030601") << ""
                                      << "Mod Slave RTU Diag. data bytes=1 not whole words";
        QTest::newRow("rtu no sub-function") << 0 << "" << rtu("01080027C0") << rtu("0188030601") << ""
                                             << "Mod Slave RTU req. too short len=5";
    }
    void diagnostics() { serveRow(); }

    // The counter before each row is 0x0102.
    void commEventCounter_data()
    {
        columns();
        QTest::newRow("rtu") << 0 << "" << rtu("010B41E7") << rtu("010B00000102245A") << ""
                             << "Fun-11 Comm event counter=258";
        QTest::newRow("tcp") << 2 << "" << rtu("000300000002110B") << rtu("000300000006110B00000102") << "" << "";
        QTest::newRow("ascii") << 1 << "" << QByteArray(":010BF4\r\n") << QByteArray(":010B00000102F1\r\n") << ""
                               << "";
        QTest::newRow("rtu a byte too many") << 0 << "" << rtu("010B002730") << rtu("018B0306F1") << "" << "";
    }
    void commEventCounter() { serveRow(); }

    // The counter counts normal answers, not exceptions nor its own reads.
    void commEventsCounted()
    {
        SlaveTables t;
        SlaveServeState state;
        const SlaveServeOptions o = allCodes();
        const QByteArray sequence[] = {rtu("010300000001840A"), rtu("010303E8001E45B2"), rtu("010B41E7"),
                                       rtu("0116000400F2002567EE"), rtu("01080001A5378B4D")};
        for (const QByteArray &q : sequence)
            serve_slave_request(kSlaveRtuProfile, t, reinterpret_cast<const uint8_t *>(q.data()), size_t(q.size()),
                                o, state);
        QCOMPARE(state.commEvents, uint16_t(2));
        state.commEvents = 0xFFFF;
        serve_slave_request(kSlaveRtuProfile, t, reinterpret_cast<const uint8_t *>(sequence[0].data()),
                            size_t(sequence[0].size()), o, state);
        QCOMPARE(state.commEvents, uint16_t(0));
    }

    void reportServerId_data()
    {
        columns();
        QTest::newRow("rtu unit 17") << 0 << "" << rtu("1111CDEC") << rtu("11110911FF5175696C6C616E35E1") << ""
                                     << "Fun-17 Report server ID unit=17";
        QTest::newRow("tcp unit 5") << 2 << "" << rtu("0004000000020511")
                                    << rtu("00040000000C05110905FF5175696C6C616E") << "" << "";
        QTest::newRow("ascii unit 17") << 1 << "" << QByteArray(":1111DE\r\n")
                                       << QByteArray(":11110911FF5175696C6C616EEF\r\n") << "" << "";
        QTest::newRow("rtu a byte too many") << 0 << "" << rtu("1111002D95") << rtu("1191030C54") << "" << "";
    }
    void reportServerId() { serveRow(); }

    void maskWriteRegister_data()
    {
        columns();
        QTest::newRow("rtu 12 and F2 or 25") << 0 << "H4=0012" << rtu("0116000400F2002567EE")
                                             << rtu("0116000400F2002567EE") << "H4=0017"
                                             << "Fun-22 Mask Write Register addr=5 and=00F2 or=0025 value=23";
        QTest::newRow("tcp") << 2 << "H4=0012" << rtu("0005000000080116000400F20025")
                             << rtu("0005000000080116000400F20025") << "H4=0017" << "";
        QTest::newRow("ascii") << 1 << "H4=0012" << QByteArray(":0116000400F20025CE\r\n")
                               << QByteArray(":0116000400F20025CE\r\n") << "H4=0017" << "";
        QTest::newRow("rtu address 1024") << 0 << "" << rtu("0116040000F2002597AA") << rtu("019602CE61") << ""
                                          << "Mod Slave RTU Reg. addr=1025 over range ";
        QTest::newRow("tcp address 1024") << 2 << "" << rtu("0005000000080116040000F20025")
                                          << rtu("000500000003019602") << "" << "";
        QTest::newRow("ascii address 1024") << 1 << "" << QByteArray(":0116040000F20025CE\r\n")
                                            << QByteArray(":01960267\r\n") << "" << "";
        QTest::newRow("rtu or mask short") << 0 << "H4=0012" << rtu("0116000400F2004D66") << rtu("0196030FA1")
                                           << "H4=0012" << "Mod Slave RTU req. too short len=9";
    }
    void maskWriteRegister() { serveRow(); }

    void readWriteRegisters_data()
    {
        columns();
        const char *six = "H3=1;H4=2;H5=3;H6=4;H7=5;H8=6";
        QTest::newRow("rtu read 3+6, write 14+3")
            << 0 << six << rtu("011700030006000E00030600FF00FF00FF4691") << rtu("01170C000100020003000400050006C83B")
            << "H14=00FF;H15=00FF;H16=00FF"
            << "Fun-23 Read/Write Registers read addr=4 words=6 write addr=15 words=3";
        QTest::newRow("tcp read 3+6, write 14+3")
            << 2 << six << rtu("000600000011011700030006000E00030600FF00FF00FF")
            << rtu("00060000000F01170C000100020003000400050006") << "H14=00FF;H15=00FF;H16=00FF" << "";
        QTest::newRow("ascii write before read")
            << 1 << "H0=0000;H1=0000" << QByteArray(":0117000000020001000102ABCD6A\r\n")
            << QByteArray(":0117040000ABCD6C\r\n") << "H1=ABCD" << "";
        QTest::newRow("rtu write before read") << 0 << "" << rtu("0117000000020001000102ABCDABCF")
                                               << rtu("0117040000ABCD4782") << "H1=ABCD" << "";
        QTest::newRow("rtu read 0") << 0 << "" << rtu("0117000000000001000102ABCD2A16") << rtu("0197030E31") << ""
                                    << "Mod Slave RTU Reg. read words=0 write words=1 bytes=2 out of range";
        QTest::newRow("rtu read 126") << 0 << "" << rtu("01170000007E0001000102ABCDACBE") << rtu("0197030E31") << ""
                                      << "";
        QTest::newRow("rtu write 122") << 0 << "" << rtu("0117000000010001007AF4909D") << rtu("0197030E31") << ""
                                       << "";
        QTest::newRow("rtu byte count not 2 x write") << 0 << "" << rtu("0117000000010001000202ABCDEB9E")
                                                      << rtu("0197030E31") << "" << "";
        QTest::newRow("rtu data short") << 0 << "" << rtu("0117000000010001000102ABEB6A") << rtu("0197030E31") << ""
                                        << "Mod Slave RTU Reg. addr=2 words=1 data too short len=1";
        QTest::newRow("rtu data long") << 0 << "" << rtu("0117000000010001000102ABCDEFDBC3") << rtu("0197030E31")
                                       << "" << "Mod Slave RTU req. too long len=16";
        QTest::newRow("rtu no byte count") << 0 << "" << rtu("011700000001000176C6") << rtu("0197030E31") << ""
                                           << "Mod Slave RTU req. too short len=10";
        QTest::newRow("rtu read beyond 1024") << 0 << "" << rtu("011703FF00020001000102ABCD9178") << rtu("019702CFF1")
                                              << "" << "Mod Slave RTU Reg. addr=1024 or words=2 over range ";
        QTest::newRow("rtu write beyond 1024") << 0 << "" << rtu("01170000000103FF000204ABCDABCD63C5")
                                               << rtu("019702CFF1") << "" << "";
    }
    void readWriteRegisters() { serveRow(); }

    // Identity: "Quillan", "Slave RTU", "1.0".
    void deviceIdentification_data()
    {
        columns();
        const char *basic = "012B0E018100000300075175696C6C616E0109536C617665205254550203312E30833D";
        QTest::newRow("rtu basic stream") << 0 << "" << rtu("012B0E01007077") << rtu(basic) << ""
                                          << "Fun-43 Device identification code=1 objects=3";
        QTest::newRow("rtu unknown object restarts") << 0 << "" << rtu("012B0E0105B074") << rtu(basic) << "" << "";
        QTest::newRow("rtu stream from object 2") << 0 << "" << rtu("012B0E0102F1B6")
                                                  << rtu("012B0E01810000010203312E30585B") << "" << "";
        QTest::newRow("rtu regular: the basic objects")
            << 0 << "" << rtu("012B0E02007087")
            << rtu("012B0E028100000300075175696C6C616E0109536C617665205254550203312E3080CD") << "" << "";
        QTest::newRow("rtu object 1") << 0 << "" << rtu("012B0E0401B2E7")
                                      << rtu("012B0E04810000010109536C61766520525455E31C") << "" << "";
        QTest::newRow("tcp object 1") << 2 << "" << rtu("000700000005012B0E0401")
                                      << rtu("000700000013012B0E04810000010109536C61766520525455") << "" << "";
        QTest::newRow("ascii object 2") << 1 << "" << QByteArray(":012B0E0402C0\r\n")
                                        << QByteArray(":012B0E04810000010203312E30AC\r\n") << "" << "";
        QTest::newRow("rtu object 3") << 0 << "" << rtu("012B0E04033326") << rtu("01AB02DEF1") << ""
                                      << "Mod Slave RTU Dev. id. object=3 unknown";
        QTest::newRow("rtu read code 0") << 0 << "" << rtu("012B0E000071E7") << rtu("01AB031F31") << ""
                                         << "Mod Slave RTU Dev. id. read code=0 illegal";
        QTest::newRow("rtu read code 5") << 0 << "" << rtu("012B0E050072B7") << rtu("01AB031F31") << "" << "";
        QTest::newRow("rtu MEI 13") << 0 << "" << rtu("012B0D01008077") << rtu("01AB019EF0") << ""
                                    << "Mod Slave RTU MEI type=13 not served";
        QTest::newRow("rtu no read code") << 0 << "" << rtu("012B0EBF34") << rtu("01AB031F31") << "" << "";
        QTest::newRow("rtu a byte too many") << 0 << "" << rtu("012B0E01000076E4") << rtu("01AB031F31") << "" << "";
    }
    void deviceIdentification() { serveRow(); }
};

QTEST_GUILESS_MAIN(TestSlaveCodes)
#include "tst_slave_codes.moc"

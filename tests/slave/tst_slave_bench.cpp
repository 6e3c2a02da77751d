// The test-bench layer over the serving engine: the unit filter in front of
// it, forced exceptions, drops, corrupted checksums and delays behind it, and
// the counters. Expected frames are worked examples or were worked out by hand.
#include <QtTest>

#include "Slave_bench.h"
#include "Slave_test_util.h"

namespace {

const SlaveProfile &profileOf(int p)
{
    return p == 0 ? kSlaveRtuProfile : p == 1 ? kSlaveAsciiProfile : kSlaveTcpProfile;
}

SlaveBenchReply serveOn(SlaveBench &b, const SlaveProfile &p, SlaveTables &t, const QByteArray &req)
{
    return b.serve(p, t, reinterpret_cast<const uint8_t *>(req.constData()), size_t(req.size()));
}

QByteArray sentOf(const SlaveBenchReply &r)
{
    if (!r.reply.sent())
        return {};
    return QByteArray(reinterpret_cast<const char *>(r.reply.response.data()), qsizetype(r.reply.response.size()));
}

}  // namespace

class TestSlaveBench : public QObject {
    Q_OBJECT
private slots:
    void serve_data()
    {
        QTest::addColumn<int>("profile");
        QTest::addColumn<QString>("units");
        QTest::addColumn<int>("exception");
        QTest::addColumn<bool>("corrupt");
        QTest::addColumn<int>("delay");
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("response");  // empty: nothing sent
        QTest::addColumn<QStringList>("lines");    // must be among the memo lines
        QTest::addColumn<QString>("after");
        QTest::addColumn<QString>("stats");

        const QString none = "Req 1  Ans 0  Exc 0  Err 0  Ign 0  Drop 0";
        const QString one = "Req 1  Ans 1  Exc 0  Err 0  Ign 0  Drop 0";
        const QString oneExc = "Req 1  Ans 1  Exc 1  Err 0  Ign 0  Drop 0";

        // Unit filter.
        QTest::newRow("rtu unit listed") << 0 << "1, 5" << 0 << false << 0 << "" << hexBytes("010600010003980B")
            << hexBytes("010600010003980B") << QStringList{} << "H1=3" << one;
        QTest::newRow("rtu unit ignored, no write") << 0 << "1, 5" << 0 << false << 0 << "" << hexBytes("0206000100039838")
            << QByteArray() << QStringList{"1:Ignored: unit 2"} << "H1=0" << "Req 1  Ans 0  Exc 0  Err 0  Ign 1  Drop 0";
        QTest::newRow("rtu broadcast served, not answered") << 0 << "7" << 0 << false << 0 << "" << hexBytes("00060001000399DA")
            << QByteArray() << QStringList{"2:Broadcast: not answered"} << "H1=3" << none;
        QTest::newRow("rtu broadcast without filter answered") << 0 << "" << 0 << false << 0 << "" << hexBytes("00060001000399DA")
            << hexBytes("00060001000399DA") << QStringList{} << "H1=3" << one;
        QTest::newRow("rtu bad crc with filter") << 0 << "2" << 0 << false << 0 << "" << hexBytes("0206000100039839")
            << QByteArray() << QStringList{"1:Mod Slave RTU CRC err RECV=152 57 CALC=152 56 len=8"} << "H1=0"
            << "Req 1  Ans 0  Exc 0  Err 1  Ign 0  Drop 0";
        QTest::newRow("rtu three bytes, unit ignored") << 0 << "2" << 0 << false << 0 << "" << hexBytes("017E80")
            << QByteArray() << QStringList{"1:Ignored: unit 1"} << "" << "Req 1  Ans 0  Exc 0  Err 0  Ign 1  Drop 0";
        QTest::newRow("rtu two bytes, no address to filter") << 0 << "2" << 0 << false << 0 << "" << hexBytes("FFFF")
            << QByteArray() << QStringList{"1:Mod Slave RTU req. too short len=2"} << ""
            << "Req 1  Ans 0  Exc 0  Err 1  Ign 0  Drop 0";
        QTest::newRow("ascii unit ignored") << 1 << "1" << 0 << false << 0 << "" << QByteArray(":020600010003F4\r\n")
            << QByteArray() << QStringList{"1:Ignored: unit 2"} << "H1=0" << "Req 1  Ans 0  Exc 0  Err 0  Ign 1  Drop 0";
        QTest::newRow("ascii broadcast") << 1 << "1" << 0 << false << 0 << "" << QByteArray(":000600010003F6\r\n")
            << QByteArray() << QStringList{"2:Broadcast: not answered"} << "H1=3" << none;
        QTest::newRow("tcp unit ignored gets 0B") << 2 << "1-10" << 0 << false << 0 << "" << hexBytes("000700000006 0C 0600010003")
            << hexBytes("000700000003 0C 860B") << QStringList{"1:Ignored: unit 12", "2:Response Message: 00 07 00 00 00 03 0C 86 0B "}
            << "H1=0" << "Req 1  Ans 1  Exc 1  Err 0  Ign 1  Drop 0";
        QTest::newRow("tcp unit 0 is no broadcast") << 2 << "1" << 0 << false << 0 << "" << hexBytes("000100000006 00 0300000001")
            << hexBytes("000100000003 00 830B") << QStringList{"1:Ignored: unit 0"} << "" << "Req 1  Ans 1  Exc 1  Err 0  Ign 1  Drop 0";

        // Forced exception: the request is not carried out.
        QTest::newRow("rtu forced 02") << 0 << "" << 2 << false << 0 << "H0=1234" << hexBytes("01030000000184 0A")
            << hexBytes("018302C0F1") << QStringList{"2:Exception Message: 01 83 02 C0 F1 ", "2:Forced exception 02"} << "" << oneExc;
        QTest::newRow("rtu forced 04 writes nothing") << 0 << "" << 4 << false << 0 << "" << hexBytes("010600010003980B")
            << hexBytes("01860443A3") << QStringList{"2:Forced exception 04"} << "H1=0" << oneExc;
        QTest::newRow("ascii forced 04") << 1 << "" << 4 << false << 0 << "" << QByteArray(":010300000001FB\r\n")
            << QByteArray(":01830478\r\n") << QStringList{"2:Exception Message: :01830478\r\n"} << "" << oneExc;
        QTest::newRow("tcp forced 0B") << 2 << "" << 0x0B << false << 0 << "" << hexBytes("002A00000006 01 0300000001")
            << hexBytes("002A00000003 01 830B") << QStringList{"2:Forced exception 0B"} << "" << oneExc;

        // Corrupted checksum: the logged answer is the one sent.
        QTest::newRow("rtu corrupt") << 0 << "" << 0 << true << 0 << "H0=1234" << hexBytes("010300000001840A")
            << hexBytes("01030212344ACC")
            << QStringList{"2:Response message: 01 03 02 12 34 4A CC ", "2:Checksum corrupted"} << "" << one;
        QTest::newRow("ascii corrupt") << 1 << "" << 0 << true << 0 << "H0=1234" << QByteArray(":010300000001FB\r\n")
            << QByteArray(":01030212344B\r\n") << QStringList{"2:Checksum corrupted"} << "" << one;
        QTest::newRow("rtu forced and corrupt") << 0 << "" << 2 << true << 0 << "" << hexBytes("010300000001840A")
            << hexBytes("0183023F0E") << QStringList{"2:Forced exception 02", "2:Checksum corrupted"} << "" << oneExc;
        QTest::newRow("tcp has no checksum") << 2 << "" << 0 << true << 0 << "H0=1234" << hexBytes("000100000006 01 0300000001")
            << hexBytes("000100000005 01 03021234") << QStringList{} << "" << one;

        // Delay: the answer itself is untouched.
        QTest::newRow("rtu delay") << 0 << "" << 0 << false << 250 << "H0=1234" << hexBytes("010300000001840A")
            << hexBytes("0103021234B533") << QStringList{"2:Delayed 250 ms"} << "" << one;
    }
    void serve()
    {
        QFETCH(int, profile);
        QFETCH(QString, units);
        QFETCH(int, exception);
        QFETCH(bool, corrupt);
        QFETCH(int, delay);
        QFETCH(QString, setup);
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, response);
        QFETCH(QStringList, lines);
        QFETCH(QString, after);
        QFETCH(QString, stats);

        SlaveBench bench;
        std::string error;
        QVERIFY(UnitFilter::parse(units.toStdString(), bench.units, error));
        bench.faults = {.delayMs = delay, .dropEvery = 0, .exceptionCode = uint8_t(exception), .corruptChecksum = corrupt};
        SlaveTables t;
        applyTables(t, setup);
        const SlaveBenchReply r = serveOn(bench, profileOf(profile), t, request);

        QCOMPARE(spaced(sentOf(r)), spaced(response));
        QCOMPARE(r.delayMs, delay);
        const QStringList got = trace(r.reply);
        for (const QString &line : lines)
            QVERIFY2(got.contains(line), qPrintable(got.join(" | ")));
        QCOMPARE(checkTables(t, after), QString());
        QCOMPARE(QString::fromStdString(bench.stats.label()), stats);
        bench.stats.reset();
        QCOMPARE(QString::fromStdString(bench.stats.label()), QString("Req 0  Ans 0  Exc 0  Err 0  Ign 0  Drop 0"));
    }

    // With nothing set the bench adds nothing to what the engine does.
    void defaultIsTheEngine()
    {
        const QByteArray requests[] = {hexBytes("010300000001840A"), hexBytes("010741E2"), hexBytes("0206000100039839")};
        for (const QByteArray &req : requests) {
            SlaveTables a, b;
            SlaveBench bench;
            const SlaveBenchReply r = serveOn(bench, kSlaveRtuProfile, a, req);
            QCOMPARE(trace(r.reply), trace(serveBytes(kSlaveRtuProfile, b, req)));
            QCOMPARE(r.delayMs, 0);
        }
    }

    // Every third answerable request goes unanswered; ignored ones do not count.
    void dropEvery()
    {
        SlaveBench bench;
        std::string error;
        QVERIFY(UnitFilter::parse("1", bench.units, error));
        bench.faults.dropEvery = 3;
        SlaveTables t;
        const QByteArray mine = hexBytes("010300000001840A"), other = hexBytes("0203000000018439");
        const QByteArray sequence[] = {mine, mine, other, mine, mine, mine, mine, other};
        QString answered;
        for (const QByteArray &req : sequence) {
            const SlaveBenchReply r = serveOn(bench, kSlaveRtuProfile, t, req);
            answered += r.reply.sent() ? 'A' : '-';
            if (!r.reply.sent() && req == mine)
                QVERIFY(memoLines(trace(r.reply), 2).contains("Dropped (every 3rd)"));
        }
        QCOMPARE(answered, QString("AA--AA--"));
        QCOMPARE(QString::fromStdString(bench.stats.label()), QString("Req 8  Ans 4  Exc 0  Err 0  Ign 2  Drop 2"));
    }

    void ordinals_data()
    {
        QTest::addColumn<unsigned>("n");
        QTest::addColumn<QString>("text");
        const std::pair<unsigned, const char *> rows[] = {{1, "1st"},    {2, "2nd"},     {3, "3rd"},     {4, "4th"},
                                                          {11, "11th"},  {12, "12th"},   {13, "13th"},   {21, "21st"},
                                                          {22, "22nd"},  {23, "23rd"},   {100, "100th"}, {101, "101st"},
                                                          {111, "111th"}, {112, "112th"}, {1013, "1013th"}};
        for (const auto &[n, text] : rows)
            QTest::newRow(text) << n << text;
    }
    void ordinals()
    {
        QFETCH(unsigned, n);
        QFETCH(QString, text);
        QCOMPARE(QString::fromStdString(ordinal(n)), text);
    }

    void forcedExceptionText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("code");  // -1: refused
        QTest::newRow("none") << "None" << 0;
        QTest::newRow("item text") << "0B Gateway target failed to respond" << 0x0B;
        QTest::newRow("two digits") << "04" << 4;
        QTest::newRow("one digit") << "6" << 6;
        QTest::newRow("prefixed lower") << "0x0b" << 0x0B;
        QTest::newRow("not offered") << "05" << -1;
        QTest::newRow("decimal eleven") << "11" << -1;
        QTest::newRow("empty") << "" << -1;
        QTest::newRow("junk") << "0xZZ" << -1;
    }
    void forcedExceptionText()
    {
        QFETCH(QString, text);
        QFETCH(int, code);
        uint8_t got = 0xEE;
        QCOMPARE(parse_forced_exception(text.toStdString(), got), code >= 0);
        QCOMPARE(int(got), code >= 0 ? code : 0xEE);
    }
};

QTEST_GUILESS_MAIN(TestSlaveBench)
#include "tst_slave_bench.moc"

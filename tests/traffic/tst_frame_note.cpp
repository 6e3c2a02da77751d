// The short decoding beside each frame of the traffic history, for the three
// framings, and its robustness against bytes that are no frame at all.
#include <QtTest>

#include <random>
#include <vector>

#include "Frame_note.h"

Q_DECLARE_METATYPE(Traffic_framing)
Q_DECLARE_METATYPE(Frame_role)

class TestFrameNote : public QObject {
    Q_OBJECT
private slots:
    void notes_data();
    void notes();
    void moreCodes_data();
    void moreCodes() { notes(); }
    void garbageNeverReadsPastTheFrame();
};

void TestFrameNote::notes_data()
{
    QTest::addColumn<Traffic_framing>("framing");
    QTest::addColumn<Frame_role>("role");
    QTest::addColumn<QByteArray>("frame");  // hexadecimal, or the text for ASCII
    QTest::addColumn<QString>("note");
    const auto rtu = Traffic_framing::Rtu, ascii = Traffic_framing::Ascii, tcp = Traffic_framing::Tcp;
    const auto rq = Frame_role::Request, an = Frame_role::Answer;

    QTest::newRow("rtu read request") << rtu << rq << QByteArray("11 03 00 6B 00 03 76 87") << "unit 17 fn 3 addr 107 count 3";
    QTest::newRow("rtu read answer") << rtu << an << QByteArray("11 03 06 AE 41 56 52 43 40 49 AD") << "unit 17 fn 3 bytes 6";
    QTest::newRow("rtu exception") << rtu << an << QByteArray("01 83 02 C0 F1") << "unit 1 fn 3 exception 2 illegal data address";
    QTest::newRow("rtu bad crc") << rtu << rq << QByteArray("01 03 00 00 00 0A C5 CE") << "unit 1 fn 3 addr 0 count 10 bad CRC";
    QTest::newRow("rtu write register") << rtu << rq << QByteArray("01 06 00 04 04 D2 4A 96") << "unit 1 fn 6 addr 4 value 1234";
    QTest::newRow("rtu write coil on") << rtu << an << QByteArray("01 05 00 0A FF 00 AC 38") << "unit 1 fn 5 addr 10 on";
    QTest::newRow("rtu write coils") << rtu << rq << QByteArray("01 0F 00 13 00 0A 02 CD 01 72 CB") << "unit 1 fn 15 addr 19 count 10";
    QTest::newRow("rtu too short") << rtu << rq << QByteArray("01 03") << "short frame (2 bytes)";
    QTest::newRow("rtu cut request") << rtu << rq << QByteArray("01 03 00 C5 CD") << "unit 1 fn 3 short frame bad CRC";
    QTest::newRow("ascii request") << ascii << rq << QByteArray(":1103006B00037E\r\n") << "unit 17 fn 3 addr 107 count 3";
    QTest::newRow("ascii lower case") << ascii << rq << QByteArray(":1103006b00037e\r\n") << "unit 17 fn 3 addr 107 count 3";
    QTest::newRow("ascii bad lrc") << ascii << rq << QByteArray(":1103006B00037F\r\n") << "unit 17 fn 3 addr 107 count 3 bad LRC";
    QTest::newRow("ascii exception") << ascii << an << QByteArray(":0183027A\r\n") << "unit 1 fn 3 exception 2 illegal data address";
    QTest::newRow("ascii no colon") << ascii << rq << QByteArray("1103006B00037E\r\n") << "not Modbus ASCII text";
    QTest::newRow("ascii odd digits") << ascii << rq << QByteArray(":110\r\n") << "not Modbus ASCII text (odd number of digits)";
    QTest::newRow("ascii bad digit") << ascii << rq << QByteArray(":11G3\r\n") << "not Modbus ASCII text";
    QTest::newRow("ascii one byte") << ascii << rq << QByteArray(":01\r\n") << "short frame (1 byte)";
    QTest::newRow("tcp read request") << tcp << rq << QByteArray("00 01 00 00 00 06 11 03 00 6B 00 03") << "tid 1 unit 17 fn 3 addr 107 count 3";
    QTest::newRow("tcp read answer") << tcp << an << QByteArray("00 01 00 00 00 09 11 03 06 02 2B 00 00 00 64") << "tid 1 unit 17 fn 3 bytes 6";
    QTest::newRow("tcp exception") << tcp << an << QByteArray("00 02 00 00 00 03 01 81 01") << "tid 2 unit 1 fn 1 exception 1 illegal function";
    QTest::newRow("tcp length field off") << tcp << rq << QByteArray("00 07 00 00 00 09 01 03 00 00 00 01") << "tid 7 unit 1 fn 3 addr 0 count 1 length field 9";
    QTest::newRow("tcp other protocol") << tcp << rq << QByteArray("00 07 00 05 00 06 01 03 00 00 00 01") << "tid 7 unit 1 fn 3 addr 0 count 1 protocol 5";
    QTest::newRow("tcp other function") << tcp << rq << QByteArray("00 03 00 00 00 03 01 14 0E") << "tid 3 unit 1 fn 20 data bytes 1";
    QTest::newRow("tcp header only") << tcp << rq << QByteArray("00 01 00 00 00 01 01") << "short frame (7 bytes)";
}

void TestFrameNote::notes()
{
    QFETCH(Traffic_framing, framing);
    QFETCH(Frame_role, role);
    QFETCH(QByteArray, frame);
    QFETCH(QString, note);
    const QByteArray bytes = framing == Traffic_framing::Ascii ? frame : QByteArray::fromHex(frame);
    const std::vector<uint8_t> exact(bytes.begin(), bytes.end());
    QCOMPARE(QString::fromStdString(frame_note(framing, role, exact.data(), exact.size())), note);
}

// The codes beyond the classic eight.
void TestFrameNote::moreCodes_data()
{
    QTest::addColumn<Traffic_framing>("framing");
    QTest::addColumn<Frame_role>("role");
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QString>("note");
    const auto rtu = Traffic_framing::Rtu, ascii = Traffic_framing::Ascii, tcp = Traffic_framing::Tcp;
    const auto rq = Frame_role::Request, an = Frame_role::Answer;

    QTest::newRow("7 answer") << rtu << an << QByteArray("01 07 85 E3 93") << "unit 1 fn 7 status 0x85";
    QTest::newRow("8 request") << rtu << rq << QByteArray("01 08 00 00 A5 37 DA 8D") << "unit 1 fn 8 sub 0 data bytes 2";
    QTest::newRow("8 short") << ascii << rq << QByteArray(":0108F7\r\n") << "unit 1 fn 8 short frame";
    QTest::newRow("11 answer") << tcp << an << QByteArray("00 03 00 00 00 06 11 0B 00 00 01 02")
                               << "tid 3 unit 17 fn 11 status 0x0000 events 258";
    QTest::newRow("17 answer") << rtu << an << QByteArray("11 11 09 11 FF 51 75 69 6C 6C 61 6E 35 E1")
                               << "unit 17 fn 17 bytes 9";
    QTest::newRow("22 request") << rtu << rq << QByteArray("01 16 00 04 00 F2 00 25 67 EE")
                                << "unit 1 fn 22 addr 4 and 0x00F2 or 0x0025";
    QTest::newRow("23 request") << rtu << rq << QByteArray("01 17 00 03 00 06 00 0E 00 03 06 00 FF 00 FF 00 FF 46 91")
                                << "unit 1 fn 23 read addr 3 count 6 write addr 14 count 3";
    QTest::newRow("23 answer") << rtu << an << QByteArray("01 17 0C 00 01 00 02 00 03 00 04 00 05 00 06 C8 3B")
                               << "unit 1 fn 23 bytes 12";
    QTest::newRow("43 request") << tcp << rq << QByteArray("00 07 00 00 00 05 01 2B 0E 04 01")
                                << "tid 7 unit 1 fn 43 mei 14 code 4 object 1";
    QTest::newRow("43 answer") << tcp << an
                               << QByteArray("00 07 00 00 00 13 01 2B 0E 04 81 00 00 01 01 09 53 6C 61 76 65 20 52 54 55")
                               << "tid 7 unit 1 fn 43 mei 14 code 4 objects 1";
    QTest::newRow("43 mei only") << tcp << rq << QByteArray("00 03 00 00 00 03 01 2B 0E") << "tid 3 unit 1 fn 43 mei 14";
}

void TestFrameNote::garbageNeverReadsPastTheFrame()
{
    // Each input in a buffer of exactly its size, so that the sanitizer
    // build catches a read past the end; every length up to past the
    // largest frame, for every framing and role.
    std::mt19937 random(14);
    for (int round = 0; round < 20; ++round) {
        for (size_t n = 0; n <= 300; ++n) {
            std::vector<uint8_t> bytes(n);
            for (uint8_t &b : bytes)
                b = uint8_t(random());
            if (n > 0 && round % 2)
                bytes[0] = ':';  // ASCII framing gets past its first check
            for (auto framing : {Traffic_framing::Rtu, Traffic_framing::Ascii, Traffic_framing::Tcp})
                for (auto role : {Frame_role::Request, Frame_role::Answer})
                    QVERIFY(frame_note(framing, role, n ? bytes.data() : nullptr, n).size() < 200);
        }
    }
}

QTEST_APPLESS_MAIN(TestFrameNote)
#include "tst_frame_note.moc"

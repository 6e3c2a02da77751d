// Checksums, hexadecimal text codecs and bit fields of the link library.
#include <QtTest>
#include <cstring>
#include <memory>

#include "corvane.h"

class TestCodec : public QObject
{
    Q_OBJECT
private slots:
    void crcCheck_data();
    void crcCheck();
    void crcCalcIsTheStepOfCheck();
    void crcNegativeCountPassesNothing();

    void lrcCheck_data();
    void lrcCheck();
    void lrcOddCountStaysWithinCount_data();
    void lrcOddCountStaysWithinCount();

    void itascxr_data();
    void itascxr();

    void ascxti_data();
    void ascxti();

    void bitrd_data();
    void bitrd();
    void bitwt_data();
    void bitwt();
    void bitwtSetAndClearRestoresWord();
};

// ---- CRC-16 -----------------------------------------------------------------

void TestCodec::crcCheck_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("read holding 1") << QByteArray::fromHex("010300000001") << QByteArray::fromHex("840A");
    QTest::newRow("read holding 10") << QByteArray::fromHex("01030000000A") << QByteArray::fromHex("C5CD");
    QTest::newRow("force coil on") << QByteArray::fromHex("01050000FF00") << QByteArray::fromHex("8C3A");
    QTest::newRow("123456789") << QByteArray("123456789") << QByteArray::fromHex("374B");
    QTest::newRow("no bytes") << QByteArray() << QByteArray::fromHex("FFFF");
}

void TestCodec::crcCheck()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    // Exactly two bytes are written: the guard bytes around them stay.
    uint8_t out[4] = {0x55, 0x55, 0x55, 0x55};
    CRC_check(reinterpret_cast<const uint8_t *>(input.constData()), int32_t(input.size()), out + 1);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(out + 1), 2).toHex(), expected.toHex());
    QCOMPARE(out[0], uint8_t(0x55));
    QCOMPARE(out[3], uint8_t(0x55));
}

void TestCodec::crcCalcIsTheStepOfCheck()
{
    const uint8_t frame[] = {0x11, 0x03, 0x00, 0x6B, 0x00, 0x03};
    uint16_t crc = 0xFFFF;
    for (uint8_t b : frame)
        CRC_calc(b, &crc);
    QCOMPARE(crc, uint16_t(0x8776)); // the usual Modbus example frame: 11 03 00 6B 00 03 76 87
    uint8_t out[2];
    CRC_check(frame, sizeof frame, out);
    QCOMPARE(out[0], uint8_t(0x76));
    QCOMPARE(out[1], uint8_t(0x87));
}

void TestCodec::crcNegativeCountPassesNothing()
{
    uint8_t out[2] = {0, 0};
    CRC_check(nullptr, -5, out);
    QCOMPARE(out[0], uint8_t(0xFF));
    QCOMPARE(out[1], uint8_t(0xFF));
}

// ---- LRC --------------------------------------------------------------------

void TestCodec::lrcCheck_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("count");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QByteArray>("textAfter");
    QTest::newRow("read holding 1") << QByteArray("010300000001") << 12 << QByteArray("FB")
                                    << QByteArray("010300000001");
    QTest::newRow("lower case upcased")
        << QByteArray("01030000000a") << 12 << QByteArray("F2") << QByteArray("01030000000A");
    QTest::newRow("force coil") << QByteArray("01050000FF00") << 12 << QByteArray("FB")
                                << QByteArray("01050000FF00");
    QTest::newRow("lower case letters")
        << QByteArray("01050000ff00") << 12 << QByteArray("FB") << QByteArray("01050000FF00");
    QTest::newRow("count 0") << QByteArray("0103") << 0 << QByteArray("00") << QByteArray("0103");
    QTest::newRow("negative count") << QByteArray("0103") << -4 << QByteArray("00") << QByteArray("0103");
    QTest::newRow("sum wraps") << QByteArray("FF02") << 4 << QByteArray("FF") << QByteArray("FF02");
    // A pair that is not hexadecimal adds nothing to the sum.
    QTest::newRow("non-hex pair") << QByteArray("01GG03") << 6 << QByteArray("FC") << QByteArray("01GG03");
    // A pair "aG": the valid letter before the failure is upcased (ascxti), nothing is added.
    QTest::newRow("half hex pair") << QByteArray("01aG03") << 6 << QByteArray("FC") << QByteArray("01AG03");
    // Only the count matters: text beyond it is neither read nor changed.
    QTest::newRow("count shorter than text")
        << QByteArray("0103ff") << 4 << QByteArray("FC") << QByteArray("0103ff");
}

void TestCodec::lrcCheck()
{
    QFETCH(QByteArray, text);
    QFETCH(int, count);
    QFETCH(QByteArray, expected);
    QFETCH(QByteArray, textAfter);
    char out[4] = {'#', '#', '#', '#'};
    LRC_check(text.data(), count, out + 1);
    QCOMPARE(QByteArray(out + 1, 2), expected);
    QCOMPARE(out[0], '#');
    QCOMPARE(out[3], '#');
    QCOMPARE(text, textAfter);
}

void TestCodec::lrcOddCountStaysWithinCount_data()
{
    // An odd count: the last single character counts as a pair with "0" in
    // front. The poison character just beyond the count must neither change
    // the sum nor be upper-cased.
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<char>("poison");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("01 03 0 | a") << QByteArray("01030") << 'a' << QByteArray("FC");
    QTest::newRow("01 03 f | f") << QByteArray("01030") << 'f' << QByteArray("FC");
    QTest::newRow("01 03 a | 1") << QByteArray("0103a") << '1' << QByteArray("F2");
    QTest::newRow("single char") << QByteArray("7") << 'b' << QByteArray("F9");
}

void TestCodec::lrcOddCountStaysWithinCount()
{
    QFETCH(QByteArray, text);
    QFETCH(char, poison);
    QFETCH(QByteArray, expected);
    // Exactly count + 1 bytes, so a sanitizer build also sees any read past it.
    const int n = int(text.size());
    std::unique_ptr<char[]> buf(new char[n + 1]);
    std::memcpy(buf.get(), text.constData(), n);
    buf[n] = poison;
    char out[2];
    LRC_check(buf.get(), n, out);
    QCOMPARE(QByteArray(out, 2), expected);
    QCOMPARE(buf[n], poison);
    QCOMPARE(QByteArray(buf.get(), n), text.toUpper());
}

// ---- integer to hexadecimal text ---------------------------------------------

void TestCodec::itascxr_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("width");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<int>("result");
    QTest::newRow("1234 -4") << 0x1234 << -4 << QByteArray("1234") << 0;
    QTest::newRow("3A -2") << 0x3A << -2 << QByteArray("3A") << 0;
    QTest::newRow("0 -4") << 0 << -4 << QByteArray("0000") << 0;
    QTest::newRow("0 2") << 0 << 2 << QByteArray(" 0") << 0;
    QTest::newRow("5 4") << 5 << 4 << QByteArray("   5") << 0;
    QTest::newRow("ABC 5") << 0xABC << 5 << QByteArray("  ABC") << 0;
    QTest::newRow("123 -2 too wide") << 0x123 << -2 << QByteArray("**") << -1;
    QTest::newRow("1FF -2 too wide") << 0x1FF << -2 << QByteArray("**") << -1;
    QTest::newRow("0 -2") << 0 << -2 << QByteArray("00") << 0;
    QTest::newRow("FFFF -4") << 0xFFFF << -4 << QByteArray("FFFF") << 0;
    QTest::newRow("FFFF 6") << 0xFFFF << 6 << QByteArray("  FFFF") << 0;
    QTest::newRow("10 1 too wide") << 0x10 << 1 << QByteArray("*") << -1;
    QTest::newRow("lower-case never") << 0xbeef << -4 << QByteArray("BEEF") << 0;
    QTest::newRow("width 0") << 0x12 << 0 << QByteArray() << -1;
}

void TestCodec::itascxr()
{
    QFETCH(int, value);
    QFETCH(int, width);
    QFETCH(QByteArray, expected);
    QFETCH(int, result);
    // Exactly |width| characters are written, no terminating NUL.
    char out[12];
    std::memset(out, '#', sizeof out);
    QCOMPARE(int(::itascxr(uint16_t(value), int16_t(width), out + 1)), result);
    QCOMPARE(QByteArray(out + 1, int(expected.size())), expected);
    QCOMPARE(out[0], '#');
    QCOMPARE(out[1 + expected.size()], '#');
}

// ---- hexadecimal text to integer ---------------------------------------------

void TestCodec::ascxti_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("limit");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("value"); // -1: output untouched
    QTest::addColumn<QByteArray>("textAfter");
    QTest::newRow("blank 1a blank") << QByteArray(" 1a ") << 4 << 0 << 0x1A << QByteArray(" 1A ");
    QTest::newRow("FFFF") << QByteArray("FFFF") << 4 << 0 << 0xFFFF << QByteArray("FFFF");
    QTest::newRow("12345 limit 5") << QByteArray("12345") << 5 << -2 << -1 << QByteArray("12345");
    QTest::newRow("12345 limit 4") << QByteArray("12345") << 4 << 0 << 0x1234 << QByteArray("12345");
    QTest::newRow("7 limit 2 ends at NUL") << QByteArray("7") << 2 << 0 << 7 << QByteArray("7");
    QTest::newRow("three blanks") << QByteArray("   ") << 3 << -1 << -1 << QByteArray("   ");
    QTest::newRow("two blanks") << QByteArray("  ") << 2 << -1 << -1 << QByteArray("  ");
    QTest::newRow("1G") << QByteArray("1G") << 2 << -1 << -1 << QByteArray("1G");
    QTest::newRow("0a limit 2") << QByteArray("0a") << 2 << 0 << 10 << QByteArray("0A");
    QTest::newRow("inner blank") << QByteArray("1 2") << 3 << -1 << -1 << QByteArray("1 2");
    QTest::newRow("empty") << QByteArray("") << 4 << -1 << -1 << QByteArray("");
    QTest::newRow("limit 0") << QByteArray("12") << 0 << -1 << -1 << QByteArray("12");
    QTest::newRow("negative limit") << QByteArray("12") << -3 << -1 << -1 << QByteArray("12");
    QTest::newRow("tab is no blank") << QByteArray("\t1") << 2 << -1 << -1 << QByteArray("\t1");
    QTest::newRow("five with blanks -2") << QByteArray(" 12345 ") << 7 << -2 << -1 << QByteArray(" 12345 ");
    QTest::newRow("four inside blanks")
        << QByteArray("  beef  ") << 8 << 0 << 0xBEEF << QByteArray("  BEEF  ");
    QTest::newRow("too many before bad char") << QByteArray("1G345") << 5 << -2 << -1 << QByteArray("1G345");
    QTest::newRow("upcased up to the bad char") << QByteArray("abG") << 3 << -1 << -1 << QByteArray("ABG");
    QTest::newRow("limit cuts before blank") << QByteArray("0f  x") << 4 << 0 << 0x0F << QByteArray("0F  x");
}

void TestCodec::ascxti()
{
    QFETCH(QByteArray, text);
    QFETCH(int, limit);
    QFETCH(int, result);
    QFETCH(int, value);
    QFETCH(QByteArray, textAfter);
    uint16_t out = 0xA5A5;
    QCOMPARE(int(::ascxti(text.data(), int16_t(limit), &out)), result);
    QCOMPARE(int(out), value < 0 ? 0xA5A5 : value);
    QCOMPARE(text, textAfter);
}

// ---- bit fields ----------------------------------------------------------------

void TestCodec::bitrd_data()
{
    QTest::addColumn<quint32>("word");
    QTest::addColumn<int>("lo");
    QTest::addColumn<int>("hi");
    QTest::addColumn<int>("expected");
    QTest::newRow("5 bit 0") << 5u << 0 << 0 << 1;
    QTest::newRow("5 bit 1") << 5u << 1 << 1 << 0;
    QTest::newRow("5 bit 2") << 5u << 2 << 2 << 1;
    QTest::newRow("5 bits 0-2") << 5u << 0 << 2 << 5;
    QTest::newRow("bit 8 is next byte") << 0x100u << 8 << 8 << 1;
    QTest::newRow("bit 31") << 0x80000000u << 31 << 31 << 1;
    QTest::newRow("middle nybble") << 0x00000A50u << 4 << 7 << 5;
    QTest::newRow("upper half") << 0x12345678u << 16 << 31 << 0x1234;
    QTest::newRow("whole word keeps 16 bits") << 0x12345678u << 0 << 31 << 0x5678;
}

void TestCodec::bitrd()
{
    QFETCH(quint32, word);
    QFETCH(int, lo);
    QFETCH(int, hi);
    QFETCH(int, expected);
    uint32_t w = word;
    QCOMPARE(int(::bitrd(&w, int16_t(lo), int16_t(hi))), expected);
    QCOMPARE(w, uint32_t(word));
}

void TestCodec::bitwt_data()
{
    QTest::addColumn<quint32>("word");
    QTest::addColumn<int>("lo");
    QTest::addColumn<int>("hi");
    QTest::addColumn<int>("value");
    QTest::addColumn<quint32>("expected");
    QTest::newRow("1 into bit 1 of 5") << 5u << 1 << 1 << 1 << 7u;
    QTest::newRow("0 into bits 0-2 of F") << 0x0Fu << 0 << 2 << 0 << 0x08u;
    QTest::newRow("value wider than field") << 0u << 4 << 7 << 0xFF << 0xF0u;
    QTest::newRow("bit 31") << 0u << 31 << 31 << 1 << 0x80000000u;
    QTest::newRow("sign-extended -1 fills word") << 0u << 0 << 31 << -1 << 0xFFFFFFFFu;
    QTest::newRow("sign-extended into upper half") << 0u << 16 << 31 << -32768 << 0x80000000u;
    QTest::newRow("upper bits kept") << 0xFFFF0000u << 0 << 7 << 0x12 << 0xFFFF0012u;
    QTest::newRow("clear one bit of many") << 0xFFFFFFFFu << 9 << 9 << 0 << 0xFFFFFDFFu;
}

void TestCodec::bitwt()
{
    QFETCH(quint32, word);
    QFETCH(int, lo);
    QFETCH(int, hi);
    QFETCH(int, value);
    QFETCH(quint32, expected);
    uint32_t w = word;
    QCOMPARE(int(::bitwt(&w, int16_t(lo), int16_t(hi), int16_t(value))), 0);
    QCOMPARE(w, uint32_t(expected));
}

void TestCodec::bitwtSetAndClearRestoresWord()
{
    const uint32_t patterns[] = {0u, 0xFFFFFFFFu, 0xA5A5A5A5u, 0x12345678u};
    for (uint32_t start : patterns) {
        for (int16_t bit = 0; bit < 32; ++bit) {
            uint32_t w = start;
            const bool was = (start >> bit) & 1u;
            ::bitwt(&w, bit, bit, 1);
            QCOMPARE(w, start | (1u << bit));
            QCOMPARE(int(::bitrd(&w, bit, bit)), 1);
            ::bitwt(&w, bit, bit, 0);
            QCOMPARE(w, start & ~(1u << bit));
            ::bitwt(&w, bit, bit, was ? 1 : 0);
            QCOMPARE(w, start);
        }
    }
}

QTEST_APPLESS_MAIN(TestCodec)
#include "tst_codec.moc"
